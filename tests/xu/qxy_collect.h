// Test helper: collects every record the chart reader delivers, and writes
// charts through the chart writer from plain values.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "xu/pars_qxy.h"
#include "xu/write_qxy.h"

namespace nodrix::testing {

struct CollectedChart {
    QxyChartHeader header;
    std::vector<QxyColumn> columns;
    std::vector<std::vector<QxyPoint>> rows;
};

struct Collected {
    std::vector<int> kinds;
    std::int32_t version = -99;
    QxyFileHeader file{{0, 0, 0, 0, 0}};
    std::vector<CollectedChart> charts;
    int refuse_kind = 0;  // the callback refuses the first record of this kind
    std::int64_t refuse_after_rows = -1;  // ... or the row of this index
};

inline int collect_record(XuMsg*, int kind, const void* record, void* user) {
    auto* c = static_cast<Collected*>(user);
    c->kinds.push_back(kind);
    switch (kind) {
        case kQxyRecVersion: c->version = *static_cast<const std::int32_t*>(record); break;
        case kQxyRecFileHeader: c->file = *static_cast<const QxyFileHeader*>(record); break;
        case kQxyRecChartHeader: c->charts.push_back({*static_cast<const QxyChartHeader*>(record), {}, {}}); break;
        case kQxyRecColumn: c->charts.back().columns.push_back(*static_cast<const QxyColumn*>(record)); break;
        case kQxyRecRow: {
            const auto* row = static_cast<const QxyRow*>(record);
            EXPECT_EQ(row->index, static_cast<std::int64_t>(c->charts.back().rows.size()));
            c->charts.back().rows.emplace_back(row->points, row->points + row->count);
            if (row->index == c->refuse_after_rows) return -1;
            break;
        }
        default: ADD_FAILURE() << "unexpected record kind " << kind;
    }
    return kind == c->refuse_kind ? -1 : 0;
}

// Reads a file whole (chart < 0) or one chart; returns the reader's code.
inline int parse_file(const std::string& path, Collected& out, int chart = -1) {
    return xu_ParsQxy(nullptr, path.c_str(), collect_record, &out, chart);
}

// A chart to write: header, columns, rows of points.
struct ChartSpec {
    QxyChartHeader header;
    std::vector<QxyColumn> columns;
    std::vector<std::vector<QxyPoint>> rows;
};

inline QxyColumn column(std::int32_t index, std::uint8_t type, QxyPoint lo, QxyPoint hi, const char* label,
                        const char* measure, std::int32_t scale = 0, double ordering = 0.0) {
    QxyColumn c;
    c.Index = index;
    c.Type = type;
    c.Minimum = lo;
    c.Maximum = hi;
    c.StartingScale = scale;
    c.Ordering = ordering;
    qxy_set_text(c.Label, label);
    qxy_set_text(c.Measure, measure);
    return c;
}

// Writes a whole file with the chart writer; mode 0 binary, 1 text.
inline bool write_file(const std::string& path, int mode, std::int32_t type, const std::vector<ChartSpec>& charts) {
    XuWriteQxy* w = xu_WriteQxyInit(nullptr, path.c_str(), mode);
    if (w == nullptr) return false;
    QxyFileHeader fh;
    fh.words[0] = type;
    bool ok = xu_WriteQxyHeader(w, fh) == 1;
    for (const ChartSpec& ch : charts) {
        ok = ok && xu_WriteQxyChartHeader(w, ch.header) == 1;
        for (const QxyColumn& col : ch.columns) ok = ok && xu_WriteQxyChartColumn(w, col) == 1;
        for (const auto& row : ch.rows) ok = ok && xu_WriteQxyChartData(w, row.data()) == 1;
    }
    return xu_WriteQxyEnd(w) == 1 && ok;
}

inline void expect_point(const QxyPoint& got, const QxyPoint& want, const std::string& where) {
    EXPECT_EQ(got.type, want.type) << where;
    if (want.type == kQxyInt)
        EXPECT_EQ(got.i, want.i) << where;
    else
        EXPECT_EQ(got.d, want.d) << where;
}

}  // namespace nodrix::testing
