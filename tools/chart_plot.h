// Plots of charts: lays a chart of a chart file out as lines to draw (spectra
// against frequency, XY charts against their first column, signals against
// time, and an electrical signal with a bit rate as an eye diagram) and turns
// that layout into a gnuplot script. Both steps are pure: the script is text
// that holds its data inline, so it can be checked without running gnuplot.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tools/chart_file.h"
#include "tools/gnuplot_run.h"

namespace nodrix::chart {

// Image formats, chosen by the output file's extension.
enum class PlotFormat { kUnknown, kPng, kSvg };

// ".png" or ".svg" (any letter case); kUnknown otherwise.
PlotFormat plot_format_for(const std::string& output);

// One polyline; with `dy` (one per point), error bars of y +- dy.
struct PlotTrace {
    std::vector<double> x;
    std::vector<double> y;
    std::vector<double> dy;
};

// Lines drawn alike, with one entry in the key (none when the title is empty).
struct PlotSeries {
    std::string title;
    std::vector<PlotTrace> traces;
};

enum class PlotKind { kXY, kSpectrum, kSignal, kEye };

struct Plot {
    PlotKind kind = PlotKind::kXY;
    std::string title;
    std::string x_label;  // "label [unit]"
    std::string y_label;
    bool log_y = false;   // Y on a logarithmic scale
    bool log_x = false;   // X on a logarithmic scale
    bool key_below = false;  // the key under the plot rather than at its right
    std::vector<std::pair<double, std::string>> x_tics;  // labelled X positions instead of numbers
    bool x_range_set = false;  // the X range is fixed (the eye's two bit periods)
    double x_min = 0.0;
    double x_max = 0.0;
    std::string note;  // a line written in the plot (y_axis_note)
    std::vector<PlotSeries> series;
};

// Folds a sampled signal at `samples_per_bit` into traces of two bit periods:
// trace k holds samples 2k*spb .. 2(k+1)*spb (the last sample of a trace is the
// first of the next, so every transition at a trace boundary is drawn whole),
// on a time axis from 0 to 2 * spb * step. A trailing part of at least two
// samples is a shorter trace. Nothing for spb < 1 or fewer than two samples.
std::vector<PlotTrace> fold_eye(const std::vector<double>& values, std::int32_t samples_per_bit, double step);

// Whether Y goes on a logarithmic scale: all finite values positive and
// spanning more than two decades, or a BER axis (the label names a bit error
// rate) with at least one positive value.
bool log_scale_for(const std::string& y_label, const std::vector<PlotSeries>& series);

// What the plot must say of its Y axis, which the axis alone does not show:
// a BER axis that cannot be logarithmic (no value above 0) says so, and
// a chart whose every point has one value names it (a BER at the
// estimator's floor of 1e-40 as that floor). Empty otherwise.
std::string y_axis_note(const Plot& plot);

// Lays chart `chart` of `file` (read with its rows) out as a plot. `name` is
// the file's name for charts without a title of their own. False with `error`
// set when the chart holds nothing to draw.
bool build_plot(const ChartFile& file, const Chart& chart, const std::string& name, Plot& plot,
                std::string& error);

// The gnuplot script that draws `plot` in `format` on gnuplot's standard
// output: terminal, texts (as literal text: no markup, no substitution), axes,
// the data as inline data blocks (non-finite values, and non-positive ones on
// a logarithmic axis, written as NaN so they are left out; a third column of
// error bars for series whose traces have them), the plot command, and the
// closing of the output. A Y axis of one value is labelled with that value,
// and the plot's note is written at the top of the plotting area.
std::string gnuplot_script(const Plot& plot, PlotFormat format);

// Why an image is not whole, judged by its bytes: a PNG image starts with the
// PNG signature and ends with its IEND chunk; an SVG image starts with
// "<?xml" or "<svg" and ends with "</svg>" (blanks may follow). Empty when it
// is whole.
std::string image_fault(std::string_view image, PlotFormat format);

// What went wrong in a drawing by `program` (for a message of the caller's);
// empty when it ended well with a whole image in `format` on its standard
// output: "P ended without drawing the image", "P drew no whole image: ...",
// "cannot run P: REASON", "P failed (exit status N)", "P was ended by signal N".
std::string drawing_fault(const GnuplotRun& run, const std::string& program, PlotFormat format);

// A text as a gnuplot single-quoted string: quotes doubled, control characters
// and bytes that are not UTF-8 replaced, so the text stays one literal.
std::string gnuplot_quoted(const std::string& text);

}  // namespace nodrix::chart
