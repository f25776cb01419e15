// Reading speed of the chart reader on large files of the binary and text
// forms (an eye-scope signal of a long run holds about a million samples).
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "runtime/chart_compact.h"
#include "runtime/io_file.h"
#include "xu/pars_qxy.h"
#include "xu/write_qxy.h"
#include "xu/xu_msg.h"

namespace {

using namespace nodrix;

int count_rows(XuMsg*, int kind, const void*, void* user) {
    if (kind == kQxyRecRow) ++*static_cast<long*>(user);
    return 0;
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void time_read(const char* what, const std::string& path) {
    long rows = 0;
    const auto t0 = std::chrono::steady_clock::now();
    const int code = xu_ParsQxy(nullptr, path.c_str(), count_rows, &rows, -1);
    const double s = seconds_since(t0);
    std::printf("%-34s %8ld rows  %7.3f s  %6.2f Mrows/s  (code %d)\n", what, rows, s, rows / s / 1e6, code);
    std::remove(path.c_str());
}

}  // namespace

int main() {
    xu_MsgInit("bench", 0, nullptr, nullptr);
    constexpr int kRows = 1000000;

    Qsg2Header h;
    h.samples = kRows;
    const std::int32_t id = qsg2_create("bench_eye.qsg", h);
    for (int k = 0; k < kRows; ++k) {
        const double v = 0.001 * k;
        qsg2_append(id, std::span<const double>(&v, 1));
    }
    io_close(id);
    time_read("version 2 signal, 1 column", "bench_eye.qsg");

    for (const char* path : {"bench_xy.qxy", "bench_xy.csv"}) {
        XuWriteQxy* w = xu_WriteQxyInit(nullptr, path, std::string(path).ends_with(".qxy") ? 0 : 1);
        xu_WriteQxyHeader(w, QxyFileHeader{});
        QxyChartHeader ch;
        ch.SamplesNum = kRows;
        ch.ColumnNum = 2;
        xu_WriteQxyChartHeader(w, ch);
        for (std::int32_t k = 0; k < 2; ++k) {
            QxyColumn c;
            c.Index = k;
            xu_WriteQxyChartColumn(w, c);
        }
        for (int k = 0; k < kRows; ++k) {
            const QxyPoint row[2] = {QxyPoint::of_double(k), QxyPoint::of_double(0.5 * k)};
            xu_WriteQxyChartData(w, row);
        }
        xu_WriteQxyEnd(w);
        time_read(std::string(path).ends_with(".qxy") ? "version 3 binary XY, 2 columns" : "text XY (csv), 2 columns",
                  path);
    }
    return 0;
}
