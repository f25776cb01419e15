// Writes, through the chart library writer, a chart file of every version 3
// binary and text form into a directory, for the Python reader's round trips:
//   write_chart_forms DIR
// Each file holds two charts (one for the signal types, which hold one) with
// integer and float columns, values that need all 17 digits, infinities and
// NaN, and texts with commas and quotes or longer than a text may hold.
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "xu/write_qxy.h"

namespace {

using namespace nodrix;

struct Form {
    const char* name;  // the file name, its extension choosing the form
    std::int32_t type;
    std::int32_t columns;
    int charts;
};

QxyPoint value(std::int32_t type, std::int32_t column, int row) {
    if (type == kQxySymbolSignal || column == 2) return QxyPoint::of_int(row % 2 == 0 ? -row : 2147483647 - row);
    const double values[] = {0.1, -2.5e-300, 1.0 / 3.0, std::numeric_limits<double>::infinity(),
                             std::nan(""), 123456.789, -0.0};
    return QxyPoint::of_double(values[(row + 3 * column) % 7] * (column + 1));
}

bool write(const std::string& path, const Form& f) {
    XuWriteQxy* w = xu_WriteQxyInit(nullptr, path.c_str(), path.ends_with(".qxy") ? 0 : 1);
    if (w == nullptr) return false;
    QxyFileHeader header;
    header.words[0] = f.type;
    bool ok = xu_WriteQxyHeader(w, header) == 1;
    for (int c = 0; c < f.charts; ++c) {
        QxyChartHeader h;
        h.ChartType = 2;
        h.GraphStyle = -1;
        h.SamplesNum = 5 + c;
        h.ColumnNum = f.columns;
        h.Delt = 0.1 + c;
        h.Fsym = 193.1;
        h.SamplesPerBit = 4;
        h.Tstart = 192.75;
        h.StopFrequency = 193.5;
        h.FrequencyStep = 0.15625;
        qxy_set_text(h.Title, c == 0 ? "Q, \"best\" instant" : std::string(140, 't'));
        qxy_set_text(h.LabelY, f.columns == 1 ? "level" : "");
        qxy_set_text(h.MeasureY, f.columns == 1 ? "mA" : "");
        ok = ok && xu_WriteQxyChartHeader(w, h) == 1;
        for (std::int32_t k = 0; k < f.columns; ++k) {
            QxyColumn col;
            col.Index = k;
            col.Type = value(f.type, k, 0).type;
            col.Minimum = col.Type == kQxyInt ? QxyPoint::of_int(-7) : QxyPoint::of_double(-1.5);
            col.Maximum = col.Type == kQxyInt ? QxyPoint::of_int(7) : QxyPoint::of_double(2.5);
            col.StartingScale = k;
            col.Ordering = 0.5 * k;
            qxy_set_text(col.Label, k == 1 ? "" : "x, \"k\"");
            qxy_set_text(col.Measure, k == 0 ? "ps" : "");
            ok = ok && xu_WriteQxyChartColumn(w, col) == 1;
        }
        for (int r = 0; r < h.SamplesNum; ++r) {
            std::vector<QxyPoint> row;
            for (std::int32_t k = 0; k < f.columns; ++k) row.push_back(value(f.type, k, r));
            ok = ok && xu_WriteQxyChartData(w, row.data()) == 1;
        }
    }
    return xu_WriteQxyEnd(w) == 1 && ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: write_chart_forms DIR\n");
        return 2;
    }
    const Form forms[] = {
        {"xy.qxy", kQxyXY, 3, 2},         {"xy.csv", kQxyXY, 3, 2},          {"xy.TXT", kQxyXY, 1, 2},
        {"electrical.ssv", 1, 1, 1},      {"optical.prn", 2, 2, 1},          {"optical2.dat", 3, 4, 1},
        {"spectrum.csv", 4, 1, 1},        {"spectrum5.txt", 5, 1, 1},        {"symbols.csv", 6, 3, 1},
        {"electrical.qxy", 1, 1, 1},
    };
    for (const Form& f : forms) {
        const std::string path = std::string(argv[1]) + "/" + f.name;
        if (!write(path, f)) {
            std::fprintf(stderr, "write_chart_forms: cannot write %s\n", path.c_str());
            return 1;
        }
    }
    return 0;
}
