// The plot choices that can go wrong silently (format, eye folding, log axis,
// quoting of texts into the script) and the gnuplot pipe's faults; the drawing
// itself is checked by the chart tool's plot test.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "tests/xu/qxy_collect.h"
#include "tools/chart_plot.h"
#include "tools/gnuplot_run.h"

namespace nodrix::testing {
namespace {

using chart::GnuplotRun;
using chart::PlotFormat;
using Lines = std::vector<std::string>;

class ChartPlot : public NodrixTest {};

// Traces of exactly two bits: 17 samples at 4 per bit make two whole traces,
// 18 leave a trailing two-sample trace; without a bit length or with one
// sample there is nothing to fold. 
TEST_F(ChartPlot, EyeFoldingKeepsTheTrailingPartialTrace) {
    EXPECT_EQ(chart::fold_eye(std::vector<double>(17, 1.0), 4, 1.0).size(), 2u);
    const auto traces = chart::fold_eye(std::vector<double>(18, 1.0), 4, 1.0);
    ASSERT_EQ(traces.size(), 3u);
    EXPECT_EQ(traces[2].x.size(), 2u);
    EXPECT_TRUE(chart::fold_eye(std::vector<double>(18, 1.0), 0, 1.0).empty());
    EXPECT_TRUE(chart::fold_eye(std::vector<double>{1.0}, 4, 1.0).empty());
}

TEST_F(ChartPlot, TextsCannotBreakOutOfTheirQuotes) {
    // Quotes doubled; line breaks and control characters blanked; backquotes
    // and macro marks kept as text (gnuplot substitutes neither inside single
    // quotes); valid UTF-8 kept, stray bytes replaced.
    const std::pair<std::string, std::string> cases[] = {
        {"plain", "'plain'"},          {"it's", "'it''s'"},        {"a\nb\rc\td", "'a b c d'"},
        {"`rm x` @m \\n", "'`rm x` @m \\n'"}, {"1 \xC2\xB5s", "'1 \xC2\xB5s'"}, {"bad \xFF\xC2 end", "'bad ?\? end'"},
        {"\xE2\x82", "'?\?'"},         {"\xED\xA0\x80", "'?\?\?'"},  // a surrogate
        {"", "''"},
    };
    for (const auto& [text, quoted] : cases) EXPECT_EQ(chart::gnuplot_quoted(text), quoted) << text;
}

// A chart of one value still shows it: its Y axis has a tic at the value and
// the plot names it (a BER at the estimator's floor as that floor); a BER
// axis with no value above 0 stays linear and says why.
TEST_F(ChartPlot, AChartOfOneValueNamesItAndALinearBerAxisSaysWhy) {
    struct Case { std::string label; std::vector<double> y; bool log; std::string note, tic; };
    const Case cases[] = {
        {"BER", {9.99994610111476e-41, 9.99994610111476e-41}, true,
         "BER 9.99995e-41 at every point: the estimator's floor (the BER is lower)",
         "set ytics add ('9.99995e-41' 9.999946101e-41)\n"},
        {"Q [dB]", {40.0, 40.0}, false, "every point at 40", "set ytics add ('40' 40)\n"},
        {"ch1_ber_fixed", {-1.0, -1.0}, false, "linear BER axis: no BER above 0 to draw on a logarithmic one",
         "set ytics add ('-1' -1)\n"},
        {"BER", {1e-12, 1e-9}, true, "", ""},
    };
    for (const Case& c : cases) {
        chart::Plot plot{.y_label = c.label, .series = {{"", {chart::PlotTrace{{1.0, 2.0}, c.y, {}}}}}};
        plot.log_y = chart::log_scale_for(plot.y_label, plot.series);
        EXPECT_EQ(plot.log_y, c.log) << c.label;
        plot.note = chart::y_axis_note(plot);
        EXPECT_EQ(plot.note, c.note) << c.label;
        const std::string script = chart::gnuplot_script(plot, PlotFormat::kPng);
        const std::string label = "set label 1 " + chart::gnuplot_quoted(c.note) + " at graph 0.5, graph 0.94 center front\n";
        EXPECT_EQ(script.find(label) != std::string::npos, !c.note.empty()) << script;
        // The exact tic, or none at all.
        EXPECT_EQ(script.find(c.tic.empty() ? "set ytics add" : c.tic) != std::string::npos, !c.tic.empty()) << script;
    }
}

// An image is whole from its first byte to its last (a PNG cut short: the
// chart tool's plot failures).
TEST_F(ChartPlot, OnlyAWholeImageIsTakenForOne) {
    const std::tuple<std::string, PlotFormat, std::string> cases[] = {
        {"<?xml version=\"1.0\"?>\n<svg>\n</svg>\n\n", PlotFormat::kSvg, ""},
        {"<svg>\n<g>\n</g>\n</sv", PlotFormat::kSvg, "the SVG image is cut short (it does not end with </svg>)"},
        {"\x89PNG\r\n", PlotFormat::kSvg, "it is no SVG image"},
        {"<svg></svg>", PlotFormat::kPng, "it is no PNG image"},
    };
    for (const auto& [image, format, fault] : cases) EXPECT_EQ(chart::image_fault(image, format), fault) << image;
}

// A missing or failing program: the chart tool's plot failures.
TEST_F(ChartPlot, GnuplotPipeNeitherStallsNorDiesOfABrokenPipe) {
    // A program that ends without reading a long script: the rest is dropped
    // and this process goes on (no broken-pipe signal).
    GnuplotRun r = chart::run_gnuplot("true", std::string(4 << 20, '#'));
    EXPECT_EQ(r.outcome, GnuplotRun::kDone);
    EXPECT_EQ(r.messages, "");
    // A long script read whole while the program writes back as much: neither
    // side stalls on a full pipe. gnuplot prints to its error stream, draws
    // to its standard output.
    std::string script;
    for (int k = 0; k < 20000; ++k) script += "print 'line " + std::to_string(k) + "'\n";
    r = chart::run_gnuplot("gnuplot", script);
    EXPECT_EQ(r.outcome, GnuplotRun::kDone) << r.reason;
    EXPECT_EQ(r.output, "");
    EXPECT_EQ(r.messages.substr(0, 7), "line 0\n");
    EXPECT_EQ(r.messages.substr(r.messages.size() - 11), "line 19999\n");
}

}  // namespace
}  // namespace nodrix::testing
