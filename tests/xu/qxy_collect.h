// Test helpers of the chart files: bytes built by hand, a reader callback that
// collects every record, and charts written through the chart writer.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <sstream>
#include <span>
#include <string>
#include <vector>

#include "runtime/io_file.h"
#include "tests/support/test_support.h"
#include "runtime/chart_compact.h"
#include "xu/pars_qxy.h"
#include "xu/write_qxy.h"

namespace nodrix::testing {

using P = QxyPoint;

// Little-endian file bytes, built field by field: bytes, int32, float64,
// NUL-terminated texts, length-prefixed texts (the length counts the NUL).
struct Bytes : std::vector<unsigned char> {
    Bytes& u8(std::initializer_list<int> v) { for (int b : v) push_back(static_cast<unsigned char>(b)); return *this; }
    Bytes& i32(std::initializer_list<std::int32_t> v) { for (auto x : v) put_i32(*this, x); return *this; }
    Bytes& f64(std::initializer_list<double> v) { for (double x : v) put_f64(*this, x); return *this; }
    Bytes& sz(std::initializer_list<std::string> v) { for (const auto& t : v) put_text(*this, t); return *this; }
    Bytes& lp(std::initializer_list<std::string> v) {
        for (const auto& t : v) i32({static_cast<std::int32_t>(t.size() + 1)}).sz({t});
        return *this;
    }
};

inline void write_bytes(const std::string& path, const std::vector<unsigned char>& b) {
    write_text(path, std::string(b.begin(), b.end()));
}

// A chart: header, columns, rows of points (as read back, or to write).
struct TestChart { QxyChartHeader header{}; std::vector<QxyColumn> columns{}; std::vector<std::vector<P>> rows{}; };

struct Collected { std::int32_t version = -99; QxyFileHeader file{{0, 0, 0, 0, 0}}; std::vector<TestChart> charts; };

inline int collect_record(XuMsg*, int kind, const void* record, void* user) {
    auto* c = static_cast<Collected*>(user);
    switch (kind) {
        case kQxyRecVersion: c->version = *static_cast<const std::int32_t*>(record); break;
        case kQxyRecFileHeader: c->file = *static_cast<const QxyFileHeader*>(record); break;
        case kQxyRecChartHeader: c->charts.push_back({*static_cast<const QxyChartHeader*>(record), {}, {}}); break;
        case kQxyRecColumn: c->charts.back().columns.push_back(*static_cast<const QxyColumn*>(record)); break;
        case kQxyRecRow: {
            const auto* row = static_cast<const QxyRow*>(record);
            EXPECT_EQ(row->index, static_cast<std::int64_t>(c->charts.back().rows.size()));
            c->charts.back().rows.emplace_back(row->points, row->points + row->count);
            break;
        }
        default: ADD_FAILURE() << "unexpected record kind " << kind;
    }
    return 0;
}

// Reads a file whole (chart < 0) or one chart: the reader's code, its
// message lines and the records.
struct Outcome { int code; std::string err; Collected got; };

inline Outcome run(const std::string& path, int chart = -1) {
    Outcome r;
    ::testing::internal::CaptureStderr();
    r.code = xu_ParsQxy(nullptr, path.c_str(), collect_record, &r.got, chart);
    r.err = ::testing::internal::GetCapturedStderr();
    return r;
}

inline QxyColumn column(std::int32_t index, std::uint8_t type, QxyPoint lo, QxyPoint hi, const char* label,
                        const char* measure, std::int32_t scale = 0, double ordering = 0.0) {
    QxyColumn c{.Index = index, .Type = type, .Minimum = lo, .Maximum = hi, .StartingScale = scale, .Ordering = ordering};
    qxy_set_text(c.Label, label);
    qxy_set_text(c.Measure, measure);
    return c;
}

// Writes a whole file with the chart writer: binary for names ending in .qxy,
// text otherwise.
inline bool write_file(const std::string& path, std::int32_t type, const std::vector<TestChart>& charts) {
    XuWriteQxy* w = xu_WriteQxyInit(nullptr, path.c_str(), path.ends_with(".qxy") ? 0 : 1);
    if (w == nullptr) return false;
    QxyFileHeader fh;
    fh.words[0] = type;
    bool ok = xu_WriteQxyHeader(w, fh) == 1;
    for (const TestChart& ch : charts) {
        ok = ok && xu_WriteQxyChartHeader(w, ch.header) == 1;
        for (const QxyColumn& col : ch.columns) ok = ok && xu_WriteQxyChartColumn(w, col) == 1;
        for (const auto& row : ch.rows) ok = ok && xu_WriteQxyChartData(w, row.data()) == 1;
    }
    return xu_WriteQxyEnd(w) == 1 && ok;
}

// Writes a version 2 signal file as the eye scope does: the header, then the
// values one at a time.
inline bool write_signal(const std::string& path, const Qsg2Header& h, const std::vector<double>& values) {
    const std::int32_t id = qsg2_create(path, h);
    bool ok = id > 0;
    for (std::size_t k = 0; ok && k < values.size(); ++k) ok = qsg2_append(id, std::span<const double>(&values[k], 1));
    return id > 0 && io_close(id) == 0 && ok;
}

// One chart of a signal, spectrum or XY type with `columns` float columns (or
// integer columns for type 6) and one row.
inline TestChart signal_chart(std::int32_t type, std::int32_t columns) {
    TestChart ch{.header = {.SamplesNum = 1, .ColumnNum = columns, .Fsym = 10.0, .Delt = 0.5, .SamplesPerBit = 32,
                            .Tstart = type == kQxySpectrum || type == kQxySpectrumText ? 193.0 : -2.5,
                            .StopFrequency = 194.0, .FrequencyStep = 0.125},
                 .rows = {{}}};
    const bool ints = type == kQxySymbolSignal;
    for (std::int32_t k = 0; k < columns; ++k) {
        ch.columns.push_back(ints ? column(k, kQxyInt, P::of_int(0), P::of_int(1), "", "")
                                  : column(k, kQxyDouble, P::of_double(-1.5), P::of_double(1.5), "", ""));
        ch.rows[0].push_back(ints ? P::of_int(k % 2) : P::of_double(k == 0 ? 1.5 : -0.25));
    }
    return ch;
}

// A chart as text, every field with its exact value and every point with its
// type, so that a chart read back is compared with the one expected at once.
inline std::string describe(const TestChart& c) {
    std::ostringstream s;
    s.precision(17);
    const auto point = [&](const QxyPoint& p) -> std::ostringstream& {
        s << ' ' << (p.type == kQxyInt ? "i" : p.type == kQxyDouble ? "d" : "?") << p.value();
        return s;
    };
    const QxyChartHeader& h = c.header;
    s << "header " << h.ChartType << ' ' << h.GraphStyle << ' ' << h.SamplesNum << ' ' << h.ColumnNum << " '"
      << h.Title << "' '" << h.LabelY << "' '" << h.MeasureY << "' " << h.Fsym << ' ' << h.Delt << ' '
      << h.SamplesPerBit << ' ' << h.Tstart << ' ' << h.StopFrequency << ' ' << h.FrequencyStep << '\n';
    for (const QxyColumn& k : c.columns) {
        s << "column " << k.Index << ' ' << static_cast<int>(k.Type);
        point(k.Minimum);
        point(k.Maximum) << ' ' << k.StartingScale << ' ' << k.Ordering << " '" << k.Label << "' '" << k.Measure
                         << "'\n";
    }
    for (const auto& row : c.rows) {
        s << "row";
        for (const QxyPoint& p : row) point(p);
        s << '\n';
    }
    return s.str();
}

}  // namespace nodrix::testing
