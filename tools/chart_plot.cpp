#include "tools/chart_plot.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>

namespace nodrix::chart {
namespace {

// Charts with at most this many rows are drawn with their points marked.
constexpr std::int64_t kMarkedPointsLimit = 200;

std::string trimmed(const char* text) {
    std::string s(text);
    const auto first = s.find_first_not_of(" \t");
    if (first == std::string::npos) return std::string();
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

std::string titled(const std::string& label, const std::string& unit) {
    return unit.empty() ? label : label + " [" + unit + "]";
}

std::string lower(std::string s) {
    for (char& ch : s) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return s;
}

// Whether a label names a bit error rate: the word "BER" (in any case, not
// part of a longer word) or the words "bit error rate" / "bit error ratio".
bool says_ber(const std::string& label) {
    const std::string s = lower(label);
    if (s.find("bit error rat") != std::string::npos) return true;
    for (std::size_t at = s.find("ber"); at != std::string::npos; at = s.find("ber", at + 1)) {
        const bool before = at == 0 || !std::isalnum(static_cast<unsigned char>(s[at - 1]));
        const bool after = at + 3 >= s.size() || !std::isalnum(static_cast<unsigned char>(s[at + 3]));
        if (before && after) return true;
    }
    return false;
}

// The effective file type: a text optical signal file is typed by its chart's
// column count.
std::int32_t chart_type(const ChartFile& file, const Chart& chart) {
    const std::int32_t type = file.header.words[0];
    if (type == kQxyOpticalSignal1 && chart.header.ColumnNum == 4) return kQxyOpticalSignal2;
    return type;
}

// Title of a column: its own label and unit, trimmed; the chart's Y label and
// unit for the only column of a chart; the name of what the file type puts in
// the column when it carries no label.
std::string column_title(std::int32_t type, const Chart& chart, std::size_t k) {
    const QxyColumn& d = chart.columns[k].descriptor;
    std::string label = trimmed(d.Label);
    std::string unit = trimmed(d.Measure);
    if (label.empty() && unit.empty() && chart.columns.size() == 1) {
        label = trimmed(chart.header.LabelY);
        unit = trimmed(chart.header.MeasureY);
    }
    if (label.empty()) label = default_label(type, chart, k);
    return titled(label, unit);
}

bool any_finite(const std::vector<PlotSeries>& series) {
    for (const PlotSeries& s : series)
        for (const PlotTrace& t : s.traces)
            for (std::size_t i = 0; i < t.x.size() && i < t.y.size(); ++i)
                if (std::isfinite(t.x[i]) && std::isfinite(t.y[i])) return true;
    return false;
}

PlotTrace column_against(const std::vector<double>& x, const std::vector<double>& y) {
    PlotTrace t;
    t.x = x;
    t.y = y;
    t.y.resize(x.size(), std::nan(""));
    return t;
}

std::vector<double> axis_values(std::int64_t rows, double start, double step) {
    std::vector<double> x(static_cast<std::size_t>(rows));
    for (std::int64_t r = 0; r < rows; ++r) x[static_cast<std::size_t>(r)] = start + static_cast<double>(r) * step;
    return x;
}

// Smallest and largest finite value of one coordinate over every drawn point
// (on a logarithmic axis only positive values count).
struct Extent {
    bool any = false;
    double lo = 0.0;
    double hi = 0.0;
};

Extent extent(const Plot& plot, bool of_y) {
    Extent e;
    for (const PlotSeries& s : plot.series)
        for (const PlotTrace& t : s.traces)
            for (std::size_t i = 0; i < t.x.size() && i < t.y.size(); ++i) {
                if (!std::isfinite(t.x[i]) || !std::isfinite(t.y[i])) continue;
                if (plot.log_y && t.y[i] <= 0.0) continue;
                const double v = of_y ? t.y[i] : t.x[i];
                if (!e.any || v < e.lo) e.lo = v;
                if (!e.any || v > e.hi) e.hi = v;
                e.any = true;
            }
    return e;
}

std::string data_number(double v) {
    if (!std::isfinite(v)) return "NaN";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.10g", v);
    return buf;
}

// A range that gnuplot can draw around a single value.
std::string range_around(double v, bool log) {
    double lo;
    double hi;
    if (log) {
        lo = v / 2.0;
        hi = v * 2.0;
    } else {
        const double d = v == 0.0 ? 1.0 : std::fabs(v) * 0.1;
        lo = v - d;
        hi = v + d;
    }
    return "[" + data_number(lo) + ":" + data_number(hi) + "]";
}

// Decodes the length of a valid UTF-8 sequence at s[i] (0 when invalid).
std::size_t utf8_length(const std::string& s, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = byte(i);
    std::size_t n;
    std::uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) n = 2, cp = c & 0x1F;
    else if (c >= 0xE0 && c <= 0xEF) n = 3, cp = c & 0x0F;
    else if (c >= 0xF0 && c <= 0xF4) n = 4, cp = c & 0x07;
    else return 0;
    if (i + n > s.size()) return 0;
    for (std::size_t k = 1; k < n; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    // Overlong forms, surrogates and values above the last code point.
    if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return n;
}

}  // namespace

PlotFormat plot_format_for(const std::string& output) {
    const auto slash = output.rfind('/');
    const auto dot = output.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return PlotFormat::kUnknown;
    const std::string ext = lower(output.substr(dot + 1));
    if (ext == "png") return PlotFormat::kPng;
    if (ext == "svg") return PlotFormat::kSvg;
    return PlotFormat::kUnknown;
}

std::vector<PlotTrace> fold_eye(const std::vector<double>& values, std::int32_t samples_per_bit, double step) {
    std::vector<PlotTrace> traces;
    if (samples_per_bit < 1 || values.size() < 2) return traces;
    const std::size_t span = 2 * static_cast<std::size_t>(samples_per_bit);  // samples in two bit periods
    for (std::size_t first = 0; first + 1 < values.size(); first += span) {
        const std::size_t last = std::min(first + span, values.size() - 1);
        PlotTrace t;
        for (std::size_t j = first; j <= last; ++j) {
            t.x.push_back(static_cast<double>(j - first) * step);
            t.y.push_back(values[j]);
        }
        traces.push_back(std::move(t));
    }
    return traces;
}

bool log_scale_for(const std::string& y_label, const std::vector<PlotSeries>& series) {
    bool any = false;
    bool all_positive = true;
    double lo = 0.0;
    double hi = 0.0;
    for (const PlotSeries& s : series)
        for (const PlotTrace& t : s.traces)
            for (const double v : t.y) {
                if (!std::isfinite(v)) continue;
                if (v <= 0.0) {
                    all_positive = false;
                    continue;
                }
                if (!any || v < lo) lo = v;
                if (!any || v > hi) hi = v;
                any = true;
            }
    if (!any) return false;
    if (says_ber(y_label)) return true;
    return all_positive && hi > 100.0 * lo;
}

std::string y_axis_note(const Plot& plot) {
    bool any = false;
    bool positive = false;
    bool constant = true;
    double first = 0.0;
    for (const PlotSeries& s : plot.series)
        for (const PlotTrace& t : s.traces)
            for (std::size_t i = 0; i < t.x.size() && i < t.y.size(); ++i) {
                if (!std::isfinite(t.x[i]) || !std::isfinite(t.y[i])) continue;
                if (!any) first = t.y[i];
                constant = constant && t.y[i] == first;
                positive = positive || t.y[i] > 0.0;
                any = true;
            }
    if (!any) return "";
    const bool ber = says_ber(plot.y_label);
    if (ber && !plot.log_y && !positive)
        return "linear BER axis: no BER above 0 to draw on a logarithmic one";
    if (!constant) return "";
    char value[32];
    std::snprintf(value, sizeof value, "%.6g", first);
    // The estimator floors a BER at 1e-40 (single precision: 9.99995e-41).
    if (ber && first > 0.0 && first <= 1.000001e-40) return "BER " + std::string(value) + " at every point: the estimator's floor (the BER is lower)";
    return "every point at " + std::string(value);
}

namespace {

// A spectrum: the analyser's power spectral density against frequency, or
// against the point number when the chart carries no frequency grid.
void spectrum_plot(const Chart& chart, const std::string& name, Plot& plot) {
    const QxyChartHeader& h = chart.header;
    plot.kind = PlotKind::kSpectrum;
    if (plot.title.empty()) plot.title = "Spectrum: " + name;
    const bool stepped = std::isfinite(h.FrequencyStep) && h.FrequencyStep != 0.0 && std::isfinite(h.Tstart);
    plot.x_label = stepped ? "frequency [THz]" : "point";
    const std::vector<double> x = stepped ? axis_values(chart.rows, h.Tstart, h.FrequencyStep)
                                          : axis_values(chart.rows, 0.0, 1.0);
    const QxyColumn& d = chart.columns[0].descriptor;
    const std::string label = trimmed(d.Label);
    const std::string unit = trimmed(d.Measure);
    // The analyser stores the power spectral density in decibels.
    plot.y_label = label.empty() && unit.empty() ? "power spectral density [dB]"
                                                 : titled(label.empty() ? "power" : label, unit);
    plot.series.push_back({"", {column_against(x, chart.columns[0].values)}});
}

// A signal with a bit rate: its eye diagram over two bit periods.
void eye_plot(std::int32_t type, const Chart& chart, const std::string& name, bool timed, Plot& plot) {
    const QxyChartHeader& h = chart.header;
    plot.kind = PlotKind::kEye;
    if (plot.title.empty()) plot.title = "Eye diagram: " + name;
    plot.x_label = timed ? "time [ps]" : "time [samples]";
    plot.y_label = column_title(type, chart, 0);
    const double step = timed ? h.Delt : 1.0;
    plot.series.push_back({"", fold_eye(chart.columns[0].values, h.SamplesPerBit, step)});
    plot.x_range_set = true;
    plot.x_min = 0.0;
    plot.x_max = 2.0 * h.SamplesPerBit * step;
}

// The Y axis of several columns: a single series lends its title to the
// axis; several keep theirs in the key and the axis takes the chart's Y label.
void label_y_axis(const QxyChartHeader& h, Plot& plot) {
    if (plot.series.size() == 1) {
        plot.y_label = plot.series[0].title;
        plot.series[0].title.clear();
    } else {
        plot.y_label = titled(trimmed(h.LabelY), trimmed(h.MeasureY));
    }
}

// Signals without a bit rate, and the field components of optical signals,
// against time.
void signal_plot(std::int32_t type, const Chart& chart, const std::string& name, bool timed, Plot& plot) {
    const QxyChartHeader& h = chart.header;
    plot.kind = PlotKind::kSignal;
    if (plot.title.empty()) plot.title = "Signal: " + name;
    plot.x_label = timed ? "time [ps]" : "sample";
    const std::vector<double> x = timed ? axis_values(chart.rows, std::isfinite(h.Tstart) ? h.Tstart : 0.0, h.Delt)
                                        : axis_values(chart.rows, 0.0, 1.0);
    for (std::size_t k = 0; k < chart.columns.size(); ++k)
        plot.series.push_back({column_title(type, chart, k), {column_against(x, chart.columns[k].values)}});
    label_y_axis(h, plot);
}

// XY charts: every further column against the first; a single column against
// its row number.
void xy_plot(std::int32_t type, const Chart& chart, const std::string& name, Plot& plot) {
    plot.kind = PlotKind::kXY;
    if (plot.title.empty()) plot.title = name;
    std::size_t first_y = 1;
    std::vector<double> x;
    if (chart.columns.size() == 1) {
        first_y = 0;
        plot.x_label = "row";
        x = axis_values(chart.rows, 0.0, 1.0);
    } else {
        plot.x_label = column_title(type, chart, 0);
        x = chart.columns[0].values;
    }
    for (std::size_t k = first_y; k < chart.columns.size(); ++k)
        plot.series.push_back({column_title(type, chart, k), {column_against(x, chart.columns[k].values)}});
    label_y_axis(chart.header, plot);
    plot.log_y = log_scale_for(plot.y_label, plot.series);
    plot.note = y_axis_note(plot);
}

}  // namespace

bool build_plot(const ChartFile& file, const Chart& chart, const std::string& name, Plot& plot,
                std::string& error) {
    plot = Plot{};
    const std::int32_t type = chart_type(file, chart);
    const QxyChartHeader& h = chart.header;
    const bool spectrum = type == kQxySpectrum || type == kQxySpectrumText;
    const bool signal = type == kQxyElectricalSignal || type == kQxyOpticalSignal1 ||
                        type == kQxyOpticalSignal2 || type == kQxySymbolSignal;
    const std::string nth = "chart " + std::to_string(chart.number);
    if (chart.rows == 0 || chart.columns.empty()) {
        error = nth + " holds no rows to plot";
        return false;
    }
    plot.title = trimmed(h.Title);
    const bool timed = std::isfinite(h.Delt) && h.Delt > 0.0;
    if (spectrum)
        spectrum_plot(chart, name, plot);
    else if (signal && chart.columns.size() == 1 && h.SamplesPerBit >= 1 && chart.rows >= 2)
        eye_plot(type, chart, name, timed, plot);
    else if (signal)
        signal_plot(type, chart, name, timed, plot);
    else
        xy_plot(type, chart, name, plot);
    if (!any_finite(plot.series)) {
        error = nth + " holds no finite values to plot";
        return false;
    }
    return true;
}

std::string gnuplot_quoted(const std::string& text) {
    std::string q = "'";
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '\'') {
            q += "''";
            ++i;
        } else if (c < 0x20 || c == 0x7F) {
            q += ' ';
            ++i;
        } else if (c < 0x80) {
            q += static_cast<char>(c);
            ++i;
        } else if (const std::size_t n = utf8_length(text, i); n > 0) {
            q.append(text, i, n);
            i += n;
        } else {
            q += '?';
            ++i;
        }
    }
    return q + "'";
}

namespace {

// One data block per series ($d0, $d1, ...); traces are separated by a blank
// line, which gnuplot draws as separate lines. `bars[k]`: series k has a
// third column of error bars.
std::string data_blocks(const Plot& plot, const std::vector<bool>& bars) {
    std::string s;
    for (std::size_t k = 0; k < plot.series.size(); ++k) {
        s += "$d" + std::to_string(k) + " << EOD\n";
        const std::vector<PlotTrace>& traces = plot.series[k].traces;
        for (std::size_t t = 0; t < traces.size(); ++t) {
            if (t > 0) s += "\n";
            const PlotTrace& tr = traces[t];
            for (std::size_t i = 0; i < tr.x.size() && i < tr.y.size(); ++i) {
                const double y = plot.log_y && tr.y[i] <= 0.0 ? std::nan("") : tr.y[i];
                const double x = plot.log_x && tr.x[i] <= 0.0 ? std::nan("") : tr.x[i];
                s += data_number(x) + " " + data_number(y);
                if (bars[k]) s += " " + data_number(i < tr.dy.size() ? tr.dy[i] : 0.0);
                s += "\n";
            }
        }
        s += "EOD\n";
    }
    return s;
}

}  // namespace

std::string gnuplot_script(const Plot& plot, PlotFormat format) {
    std::string s;
    s += "# Drawn by nodrix-chart\n";
    s += "set encoding utf8\n";
    if (format == PlotFormat::kSvg) {
        s += "set terminal svg noenhanced size 1000,700 background '#ffffff'\n";
    } else {
        // The cairo terminal draws smoother lines; the plain one is the fallback.
        s += "if (strstrt(' '.GPVAL_TERMINALS.' ', ' pngcairo ') > 0) {\n"
             "    set terminal pngcairo noenhanced size 1000,700\n"
             "} else {\n"
             "    set terminal png noenhanced size 1000,700\n"
             "}\n";
    }
    s += "set output\n";  // the standard output: the caller writes the image
    s += "set title " + gnuplot_quoted(plot.title) + "\n";
    s += "set xlabel " + gnuplot_quoted(plot.x_label) + "\n";
    s += "set ylabel " + gnuplot_quoted(plot.y_label) + "\n";
    s += "set grid\n";
    if (plot.log_y) s += "set logscale y 10\nset format y '%.0e'\n";
    if (plot.log_x) s += "set logscale x 10\n";
    if (!plot.x_tics.empty()) {
        s += "set xtics (";
        for (std::size_t k = 0; k < plot.x_tics.size(); ++k)
            s += (k > 0 ? ", " : "") + gnuplot_quoted(plot.x_tics[k].second) + " " + data_number(plot.x_tics[k].first);
        s += ")\n";
    }

    const Extent ex = extent(plot, false);
    const Extent ey = extent(plot, true);
    if (plot.x_range_set)
        s += "set xrange [" + data_number(plot.x_min) + ":" + data_number(plot.x_max) + "]\n";
    else if (ex.any && ex.lo == ex.hi)
        s += "set xrange " + range_around(ex.lo, false) + "\n";
    if (ey.any && ey.lo == ey.hi) {
        // One value: its range, and a tic that names it.
        char value[32];
        std::snprintf(value, sizeof value, "%.6g", ey.lo);
        s += "set yrange " + range_around(ey.lo, plot.log_y) + "\n";
        s += "set ytics add (" + gnuplot_quoted(value) + " " + data_number(ey.lo) + ")\n";
    }
    if (!plot.note.empty()) s += "set label 1 " + gnuplot_quoted(plot.note) + " at graph 0.5, graph 0.94 center front\n";

    bool keyed = false;
    for (const PlotSeries& series : plot.series) keyed = keyed || !series.title.empty();
    s += keyed ? (plot.key_below ? "set key below\n" : "set key outside right top\n") : "unset key\n";

    std::vector<bool> bars(plot.series.size(), false);
    for (std::size_t k = 0; k < plot.series.size(); ++k)
        for (const PlotTrace& t : plot.series[k].traces) bars[k] = bars[k] || !t.dy.empty();
    s += data_blocks(plot, bars);

    std::int64_t points = 0;
    for (const PlotSeries& series : plot.series)
        for (const PlotTrace& t : series.traces) points = std::max(points, static_cast<std::int64_t>(t.x.size()));
    std::string style;
    if (plot.kind == PlotKind::kEye)
        style = "with lines lw 1 lc rgb '#801F4E9A'";  // half transparent: dense traces show darker
    else if (plot.kind == PlotKind::kXY && points <= kMarkedPointsLimit)
        style = "with linespoints lw 1.5 pt 7 ps 0.6";
    else
        style = "with lines lw 1.2";
    s += "plot ";
    for (std::size_t k = 0; k < plot.series.size(); ++k) {
        if (k > 0) s += ", \\\n     ";
        const std::string& title = plot.series[k].title;
        const std::string drawn = bars[k] ? "using 1:2:3 with yerrorlines lw 1.5 pt 7 ps 0.6" : "using 1:2 " + style;
        s += "$d" + std::to_string(k) + " " + drawn + " " +
             (title.empty() ? std::string("notitle") : "title " + gnuplot_quoted(title));
    }
    s += "\nunset output\n";
    return s;
}

std::string image_fault(std::string_view image, PlotFormat format) {
    if (format == PlotFormat::kPng) {
        static constexpr std::string_view kSignature("\x89PNG\r\n\x1A\n", 8);
        // An IEND chunk: no data, its type, and the CRC of the type.
        static constexpr std::string_view kEnd("\0\0\0\0IEND\xAE\x42\x60\x82", 12);
        if (!image.starts_with(kSignature)) return "it is no PNG image";
        if (!image.ends_with(kEnd)) return "the PNG image is cut short (it does not end with its IEND chunk)";
        return "";
    }
    if (!image.starts_with("<?xml") && !image.starts_with("<svg")) return "it is no SVG image";
    const std::size_t last = image.find_last_not_of(" \t\r\n");
    if (last == std::string_view::npos || !image.substr(0, last + 1).ends_with("</svg>"))
        return "the SVG image is cut short (it does not end with </svg>)";
    return "";
}

std::string drawing_fault(const GnuplotRun& run, const std::string& program, PlotFormat format) {
    switch (run.outcome) {
        case GnuplotRun::kDone:
            if (run.output.empty()) return program + " ended without drawing the image";
            if (const std::string fault = image_fault(run.output, format); !fault.empty())
                return program + " drew no whole image: " + fault;
            return "";
        case GnuplotRun::kNotFound:
            return "cannot run " + program + ": " + run.reason +
                   " (install the package gnuplot-nox, or name the program in NODRIX_GNUPLOT)";
        case GnuplotRun::kCannotStart: return "cannot run " + program + ": " + run.reason;
        case GnuplotRun::kFailed: return program + " failed (exit status " + std::to_string(run.status) + ")";
        case GnuplotRun::kSignalled: return program + " was ended by signal " + std::to_string(run.status);
    }
    return program + " ended in an unknown way";
}

}  // namespace nodrix::chart
