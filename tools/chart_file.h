// Chart files in memory for the user tools: loads any form of the chart family
// through the chart reader, keeps per column its descriptor, the extremes of
// its data and (optionally) its values, and lays a chart out as a table of
// titled columns (with the time or frequency axis that signals and spectra
// leave implicit). The export and plot verbs share this table.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "xu/pars_qxy.h"
#include "xu/write_qxy.h"

namespace nodrix::chart {

struct ColumnData {
    QxyColumn descriptor;
    std::vector<double> values;  // one per row, when rows are kept
    std::int64_t finite = 0;     // rows with a finite value
    double data_min = 0.0;       // extremes of the finite values
    double data_max = 0.0;
};

struct Chart {
    int number = 0;  // position in the file, from 0
    QxyChartHeader header;
    std::vector<ColumnData> columns;
    std::int64_t rows = 0;  // rows read
};

struct ChartFile {
    std::string path;
    bool binary = false;
    std::int32_t version = 0;
    QxyFileHeader header{{0, 0, 0, 0, 0}};
    std::vector<Chart> charts;
};

// Reads a chart file: every chart (chart < 0) or only chart number `chart`.
// Rows are kept only when asked for. Returns the reader's code (0 success).
int load_chart_file(const std::string& path, int chart, bool keep_rows, ChartFile& out);

// What a reader code means, for a user.
std::string reader_failure(int code);

// True when the file's form states a range per column; the older forms state
// one range per chart, which the reader repeats on every column.
bool ranges_per_column(const ChartFile& file);

// Whether the file's form tells how many charts it holds: a compact spectrum
// or signal file holds exactly one (a file without it is damage the reader
// reports). The other forms do not record it: a file cut between two charts
// reads as a whole file of fewer charts.
bool chart_count_known(const ChartFile& file);
// Whether the form tells how many rows a chart holds (its header's count, or
// the end mark of a version 3 chart), so that a file cut between two rows is
// damage the reader reports; a header that states no count leaves the rows
// to be read to the end of the file.
bool row_count_known(const ChartFile& file, const Chart& chart);

// Name of a file-type code ("XY chart", "spectrum", ...).
std::string file_type_name(std::int32_t type);

// A column of a chart laid out as a table: either a column of the file or the
// implicit axis of a signal or spectrum (start + row * step).
struct TableColumn {
    std::string title;              // "label [unit]"
    bool integer = false;           // integer points
    const ColumnData* data = nullptr;  // null for the implicit axis
    double start = 0.0;
    double step = 0.0;
};

// Name of column k of a chart whose descriptor carries no label, by what the
// file type puts there ("signal", "re x", "spectrum", "bit 2", "value", ...).
std::string default_label(std::int32_t type, const Chart& chart, std::size_t k);

std::vector<TableColumn> chart_table(const ChartFile& file, const Chart& chart);
double table_value(const TableColumn& column, std::int64_t row);

}  // namespace nodrix::chart
