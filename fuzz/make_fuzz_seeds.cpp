// Writes the seed corpus of the chart reader's fuzz target: a valid file of
// every form, each preceded by the byte that selects its extension.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "runtime/chart_compact.h"
#include "runtime/io_file.h"
#include "xu/write_qxy.h"

namespace {

using namespace nodrix;

// Extension index of the fuzz target.
int extension_index(const std::string& path) {
    static const char* const ext[8] = {"qxy", "qsg", "qsp", "bxy", "csv", "txt", "ssv", "dat"};
    const std::string e = path.substr(path.rfind('.') + 1);
    for (int k = 0; k < 8; ++k)
        if (e == ext[k]) return k;
    return 7;
}

void seed(const std::string& dir, const std::string& path, int n) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
    for (const int chart_bits : {0, 0x10}) {
        std::ofstream out(dir + "/seed_" + std::to_string(n) + "_" + std::to_string(chart_bits), std::ios::binary);
        out.put(static_cast<char>(extension_index(path) | chart_bits));
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    std::remove(path.c_str());
}

bool chart_library_file(const std::string& path, int mode, std::int32_t type, std::int32_t columns, int charts) {
    XuWriteQxy* w = xu_WriteQxyInit(nullptr, path.c_str(), mode);
    if (w == nullptr) return false;
    QxyFileHeader fh;
    fh.words[0] = type;
    xu_WriteQxyHeader(w, fh);
    for (int c = 0; c < charts; ++c) {
        QxyChartHeader h;
        h.SamplesNum = 3;
        h.ColumnNum = columns;
        h.Delt = 0.5;
        h.Fsym = 10.0;
        h.SamplesPerBit = 4;
        h.Tstart = 192.0;
        h.StopFrequency = 193.0;
        h.FrequencyStep = 0.5;
        qxy_set_text(h.Title, "title");
        qxy_set_text(h.LabelY, "level");
        qxy_set_text(h.MeasureY, "mA");
        xu_WriteQxyChartHeader(w, h);
        for (std::int32_t k = 0; k < columns; ++k) {
            QxyColumn col;
            col.Index = k;
            col.Type = (type == 6 || k == 2) ? kQxyInt : kQxyDouble;
            col.Minimum = col.Type == kQxyInt ? QxyPoint::of_int(-1) : QxyPoint::of_double(-1.5);
            col.Maximum = col.Type == kQxyInt ? QxyPoint::of_int(3) : QxyPoint::of_double(2.5);
            qxy_set_text(col.Label, "x");
            qxy_set_text(col.Measure, "ps");
            xu_WriteQxyChartColumn(w, col);
        }
        for (int r = 0; r < 3; ++r) {
            std::vector<QxyPoint> row;
            for (std::int32_t k = 0; k < columns; ++k)
                row.push_back((type == 6 || k == 2) ? QxyPoint::of_int(r) : QxyPoint::of_double(0.25 * r - k));
            xu_WriteQxyChartData(w, row.data());
        }
    }
    return xu_WriteQxyEnd(w) == 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: make_fuzz_seeds DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    int n = 0;
    const std::string tmp = dir + "/tmp_seed";
    // Version 3 binary charts and text charts of every type.
    struct Form {
        const char* ext;
        int mode;
        std::int32_t type;
        std::int32_t columns;
    };
    const Form forms[] = {{"qxy", 0, 7, 3}, {"bxy", 0, 1, 1}, {"csv", 1, 7, 3}, {"txt", 1, 1, 1}, {"ssv", 1, 2, 2},
                          {"dat", 1, 3, 4}, {"csv", 1, 4, 1}, {"txt", 1, 5, 1}, {"ssv", 1, 6, 2}};
    for (const Form& f : forms) {
        const std::string path = tmp + "." + f.ext;
        if (chart_library_file(path, f.mode, f.type, f.columns, 2)) seed(dir, path, n++);
    }
    // The compact forms of the models.
    const std::vector<double> x = {1.0, 2.0, 3.0}, y = {-1.0, 0.5, 2.0};
    std::int32_t id = qxy1_create(tmp + ".qxy");
    qxy1_write_chart(id, "Q", "t", "ps", "Q", "dB", x, y);
    qxy1_write_chart(id, "BER", "i", "mA", "log", "", x, y);
    qxy1_close(id);
    seed(dir, tmp + ".qxy", n++);
    Qsp1Header sp;
    sp.delt = 0.064;
    sp.frequency_step = 0.5;
    sp.start_frequency = 192.0;
    sp.stop_frequency = 193.0;
    qsp1_write(tmp + ".qsp", sp, y);
    seed(dir, tmp + ".qsp", n++);
    for (const std::int32_t type : {1, 3, 6}) {
        Qsg2Header sg;
        sg.type = type;
        sg.columns = type == 6 ? 2 : 1;
        sg.samples = 2;
        id = qsg2_create(tmp + ".qsg", sg);
        const std::int32_t width = type == 1 ? 1 : type == 3 ? 4 : 2;
        const std::vector<double> row(static_cast<std::size_t>(width), 0.5);
        qsg2_append(id, row);
        qsg2_append(id, row);
        io_close(id);
        seed(dir, tmp + ".qsg", n++);
    }
    // A version 1 signal, a container, and the older text XY chart.
    {
        std::ofstream f(tmp + ".qsg", std::ios::binary);
        const char magic[] = "NodrixSgn  1";
        f.write(magic, sizeof magic);
        const std::int32_t ints[] = {1, 1, 1, 2};
        f.write(reinterpret_cast<const char*>(ints), sizeof ints);
        const double d[] = {-1.0, 1.0, 0.5, 0.0, 10.0};
        f.write(reinterpret_cast<const char*>(d), sizeof d);
        const std::int32_t end = 0;
        f.write(reinterpret_cast<const char*>(&end), sizeof end);
        f.write(reinterpret_cast<const char*>(d), 8);
    }
    seed(dir, tmp + ".qsg", n++);
    {
        chart_library_file(tmp + ".bxy", 0, 8, 2, 1);
        std::ifstream in(tmp + ".bxy", std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), {});
        in.close();
        bytes.replace(0, 10, "QuarvinXY 3");  // the container's magic word
        std::ofstream(tmp + ".bxy", std::ios::binary) << bytes;
    }
    seed(dir, tmp + ".bxy", n++);
    {
        std::ofstream f(tmp + ".dat", std::ios::binary);
        f << "NodrixExpXY  3\r\nType  7\r\nSamplesNum 2\r\nMinimum -1\r\nMaximum 1\r\nTitle t\r\nLabelX x\r\n"
             "MeasureX ps\r\nLabelY y\r\nMeasureY mA\r\n+0 -1\r\n+1 +1\r\n";
    }
    seed(dir, tmp + ".dat", n++);
    std::printf("%d seed files in %s\n", 2 * n, dir.c_str());
    return 0;
}
