#include "tools/chart_file.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>

namespace nodrix::chart {
namespace {

struct Loader {
    ChartFile* file;
    bool keep_rows;
    int first_number;
};

int on_record(XuMsg*, int kind, const void* record, void* user) {
    auto* l = static_cast<Loader*>(user);
    ChartFile& f = *l->file;
    switch (kind) {
        case kQxyRecVersion:
            f.version = *static_cast<const std::int32_t*>(record);
            break;
        case kQxyRecFileHeader:
            f.header = *static_cast<const QxyFileHeader*>(record);
            break;
        case kQxyRecChartHeader: {
            Chart c;
            c.number = l->first_number + static_cast<int>(f.charts.size());
            c.header = *static_cast<const QxyChartHeader*>(record);
            f.charts.push_back(std::move(c));
            break;
        }
        case kQxyRecColumn: {
            ColumnData d;
            d.descriptor = *static_cast<const QxyColumn*>(record);
            f.charts.back().columns.push_back(std::move(d));
            break;
        }
        case kQxyRecRow: {
            const auto* row = static_cast<const QxyRow*>(record);
            Chart& c = f.charts.back();
            ++c.rows;
            const std::size_t n = std::min(c.columns.size(), static_cast<std::size_t>(row->count));
            for (std::size_t k = 0; k < n; ++k) {
                ColumnData& d = c.columns[k];
                const double v = row->points[k].value();
                if (l->keep_rows) d.values.push_back(v);
                if (!std::isfinite(v)) continue;
                if (d.finite == 0 || v < d.data_min) d.data_min = v;
                if (d.finite == 0 || v > d.data_max) d.data_max = v;
                ++d.finite;
            }
            break;
        }
        default:
            break;
    }
    return 0;
}

bool has_extension(const std::string& path, const char* const* list) {
    const auto slash = path.rfind('/');
    const auto dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return false;
    std::string ext = path.substr(dot + 1);
    for (char& ch : ext) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    for (const char* const* e = list; *e != nullptr; ++e)
        if (ext == *e) return true;
    return false;
}

std::string titled(const std::string& label, const std::string& unit) {
    return unit.empty() ? label : label + " [" + unit + "]";
}

}  // namespace

int load_chart_file(const std::string& path, int chart, bool keep_rows, ChartFile& out) {
    static const char* const kBinary[] = {"qxy", "qsg", "qsp", "bxy", nullptr};
    out = ChartFile{};
    out.path = path;
    out.binary = has_extension(path, kBinary);
    Loader loader{&out, keep_rows, chart < 0 ? 0 : chart};
    return xu_ParsQxy(nullptr, path.c_str(), on_record, &loader, chart);
}

std::string reader_failure(int code) {
    switch (code) {
        case kQxyReadError: return "the file ends inside a chart or cannot be read (truncated or damaged)";
        case kQxyFormatError: return "not a chart file of a known form, or a damaged one (format error)";
        case kQxyRefused: return "reading was stopped";
        default: return "unexpected reader result " + std::to_string(code);
    }
}

bool ranges_per_column(const ChartFile& file) {
    const std::int32_t type = file.header.words[0];
    if (file.binary) return file.version >= 3 || type == kQxyContainer;
    return type == kQxyXY && file.version > 3;
}

namespace {

// The compact binary forms the models write (versions 1 and 2).
bool compact(const ChartFile& file) { return file.binary && file.version < 3 && file.header.words[0] != kQxyContainer; }

}  // namespace

bool chart_count_known(const ChartFile& file) { return compact(file) && file.header.words[0] != kQxyXY; }

bool row_count_known(const ChartFile& file, const Chart& chart) {
    const std::int32_t type = file.header.words[0];
    if (file.binary && !compact(file)) return true;
    if (compact(file) && (type == kQxyXY || type == kQxySpectrum || type == kQxySpectrumText)) return true;
    return chart.header.SamplesNum > 0;
}

std::string file_type_name(std::int32_t type) {
    switch (type) {
        case kQxyElectricalSignal: return "electrical signal";
        case kQxyOpticalSignal1: return "optical signal, one polarisation";
        case kQxyOpticalSignal2: return "optical signal, two polarisations";
        case kQxySpectrum: return "spectrum";
        case kQxySpectrumText: return "spectrum (text form)";
        case kQxySymbolSignal: return "multi-level signal";
        case kQxyXY: return "XY chart";
        case kQxyContainer: return "chart container";
        default: return "unknown type";
    }
}

std::string default_label(std::int32_t type, const Chart& chart, std::size_t k) {
    static const char* const kOptical2[] = {"re x", "im x", "re y", "im y"};
    switch (type) {
        case kQxyElectricalSignal: return "signal";
        case kQxyOpticalSignal1: return k == 0 ? "re" : "im";
        case kQxyOpticalSignal2: return k < 4 ? kOptical2[k] : "column " + std::to_string(k);
        case kQxySpectrum:
        case kQxySpectrumText: return "spectrum";
        case kQxySymbolSignal: return "bit " + std::to_string(k);
        default: return chart.columns.size() == 1 ? "value" : "column " + std::to_string(k);
    }
}

std::vector<TableColumn> chart_table(const ChartFile& file, const Chart& chart) {
    std::vector<TableColumn> table;
    std::int32_t type = file.header.words[0];
    // A text optical signal file is typed by its chart's column count.
    if (type == kQxyOpticalSignal1 && chart.header.ColumnNum == 4) type = kQxyOpticalSignal2;
    const QxyChartHeader& h = chart.header;
    const bool spectrum = type == kQxySpectrum || type == kQxySpectrumText;
    const bool signal = type == kQxyElectricalSignal || type == kQxyOpticalSignal1 ||
                        type == kQxyOpticalSignal2 || type == kQxySymbolSignal;
    if (spectrum && h.FrequencyStep != 0.0) {
        table.push_back({"frequency [THz]", false, nullptr, h.Tstart, h.FrequencyStep});
    } else if (signal && h.Delt != 0.0) {
        table.push_back({"time [ps]", false, nullptr, h.Tstart, h.Delt});
    }
    for (std::size_t k = 0; k < chart.columns.size(); ++k) {
        const QxyColumn& d = chart.columns[k].descriptor;
        std::string title;
        if (d.Label[0] != '\0' || d.Measure[0] != '\0')
            title = titled(d.Label[0] != '\0' ? d.Label : default_label(type, chart, k), d.Measure);
        else if (chart.columns.size() == 1 && (h.LabelY[0] != '\0' || h.MeasureY[0] != '\0'))
            title = titled(h.LabelY[0] != '\0' ? h.LabelY : default_label(type, chart, k), h.MeasureY);
        else
            title = default_label(type, chart, k);
        table.push_back({title, d.Type == kQxyInt, &chart.columns[k], 0.0, 0.0});
    }
    return table;
}

double table_value(const TableColumn& column, std::int64_t row) {
    if (column.data == nullptr) return column.start + static_cast<double>(row) * column.step;
    const auto k = static_cast<std::size_t>(row);
    return k < column.data->values.size() ? column.data->values[k] : std::nan("");
}

}  // namespace nodrix::chart
