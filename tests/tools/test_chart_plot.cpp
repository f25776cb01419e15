// Plot layout of each chart form and the gnuplot script made from it, checked
// without running gnuplot; then gnuplot (and stand-ins for it) run on a script.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "models/measurements/ber_charts.h"
#include "tests/xu/qxy_collect.h"
#include "tools/chart_file.h"
#include "tools/chart_plot.h"
#include "tools/gnuplot_run.h"

namespace nodrix::testing {
namespace {

using chart::GnuplotRun;
using chart::PlotFormat;
using Lines = std::vector<std::string>;

class ChartPlot : public NodrixTest {};

// Reads chart `n` of a file and lays it out.
chart::Plot plot_of(const std::string& path, int n = 0) {
    chart::ChartFile f;
    EXPECT_EQ(chart::load_chart_file(path, -1, true, f), 0);
    chart::Plot p;
    std::string error;
    EXPECT_LT(static_cast<std::size_t>(n), f.charts.size());
    if (static_cast<std::size_t>(n) < f.charts.size()) {
        EXPECT_TRUE(chart::build_plot(f, f.charts[static_cast<std::size_t>(n)], path, p, error)) << error;
    }
    return p;
}

// Expects each of `lines` as a whole line of the script.
void expect_lines(const std::string& script, const Lines& lines) {
    for (const std::string& line : lines)
        EXPECT_NE(("\n" + script).find("\n" + line + "\n"), std::string::npos) << line << "\n" << script;
}

// The lines of a script's data block `name` ("$d0"), blank lines kept.
Lines data_block(const std::string& script, const std::string& name) {
    Lines lines;
    const auto at = script.find(name + " << EOD\n");
    if (at == std::string::npos) return lines;
    std::istringstream in(script.substr(at));
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line) && line != "EOD") lines.push_back(line);
    return lines;
}

TEST_F(ChartPlot, FormatByExtension) {
    const std::pair<const char*, PlotFormat> cases[] = {
        {"a.png", PlotFormat::kPng},   {"dir/A.PNG", PlotFormat::kPng},   {"x.svg", PlotFormat::kSvg},
        {"x.Svg", PlotFormat::kSvg},   {"x.jpg", PlotFormat::kUnknown},   {"png", PlotFormat::kUnknown},
        {"d.png/x", PlotFormat::kUnknown}, {"x.png.bak", PlotFormat::kUnknown}, {"", PlotFormat::kUnknown},
    };
    for (const auto& [name, format] : cases) EXPECT_EQ(chart::plot_format_for(name), format) << name;
}

// Traces of exactly two bits: 17 samples at 4 per bit make two whole traces,
// 18 leave a trailing two-sample trace; without a bit length or with one
// sample there is nothing to fold. (Trace contents: EyeDiagramAndSignalScripts.)
TEST_F(ChartPlot, EyeFoldingEdges) {
    EXPECT_EQ(chart::fold_eye(std::vector<double>(17, 1.0), 4, 1.0).size(), 2u);
    const auto traces = chart::fold_eye(std::vector<double>(18, 1.0), 4, 1.0);
    ASSERT_EQ(traces.size(), 3u);
    EXPECT_EQ(traces[2].x.size(), 2u);
    EXPECT_TRUE(chart::fold_eye(std::vector<double>(18, 1.0), 0, 1.0).empty());
    EXPECT_TRUE(chart::fold_eye(std::vector<double>{1.0}, 4, 1.0).empty());
}

TEST_F(ChartPlot, LogScaleChoice) {
    struct Case { const char* label; std::vector<double> y; bool log; };
    const Case cases[] = {
        {"Q [dB]", {1.0, 10.0, 100.5}, true},           // positive, more than two decades
        {"Q [dB]", {1.0, 10.0, 100.0}, false},          // exactly two decades
        {"Q [dB]", {-1.0, 1.0, 1000.0}, false},         // not all positive
        {"Q [dB]", {0.0, 1e-3, 1.0}, false},            // a zero
        {"Q [dB]", {1e-3, std::nan(""), 1.0}, true},    // non-finite values do not count
        {"BER", {1e-3, 2e-3}, true},                    // a BER axis, whatever the span
        {"bit error rate", {0.1, 0.2}, true},
        {"Bit Error Ratio", {0.1, 0.2}, true},
        {"BER", {0.0, 1e-9}, true},                     // log, the zero is left out
        {"log10(BER)", {-9.0, -3.0}, false},            // nothing positive to show
        {"Fiber loss [dB]", {0.2, 0.25}, false},        // "ber" inside a word
    };
    for (const Case& c : cases) {
        std::vector<chart::PlotSeries> series{{"", {{std::vector<double>(c.y.size(), 0.0), c.y, {}}}}};
        EXPECT_EQ(chart::log_scale_for(c.label, series), c.log) << c.label << " " << c.y[0];
    }
}

TEST_F(ChartPlot, SpectrumAndEstimatorScripts) {
    ASSERT_TRUE(qsp1_write("s.qsp", {.fsym = 193.1, .frequency_step = 0.5, .start_frequency = 192.0},
                           std::vector<double>{-70.0, -3.25, -20.0}));
    const chart::Plot p = plot_of("s.qsp");
    EXPECT_EQ(p.kind, chart::PlotKind::kSpectrum);
    std::string s = chart::gnuplot_script(p, PlotFormat::kPng, "out/s.png");
    expect_lines(s, {"set output 'out/s.png'", "    set terminal pngcairo noenhanced size 1000,700",
                     "set title 'Spectrum: s.qsp'", "set xlabel 'frequency [THz]'",
                     "set ylabel 'power spectral density [dB]'", "unset key",
                     "plot $d0 using 1:2 with lines lw 1.2 notitle"});
    EXPECT_EQ(s.find("logscale"), std::string::npos);
    EXPECT_EQ(data_block(s, "$d0"), (Lines{"192 -70", "192.5 -3.25", "193 -20"}));
    EXPECT_TRUE(s.ends_with("\nunset output\n"));

    // The estimator's own chart texts: blank-padded labels, a blank unit; a
    // zero BER cannot sit on a logarithmic axis.
    ChartPoints ber, q, th;
    for (const auto& [t, v] : {std::pair{-40.0, 1e-12}, {0.0, 3e-13}, {40.0, 0.0}}) ber.add(t, v);
    for (const auto& [t, v] : {std::pair{-40.0, 12.0}, {0.0, 17.5}}) q.add(t, v);
    ASSERT_TRUE(write_estimator_charts("est.qxy", kBerInstantChart, ber, &kQChart, &q));
    const chart::Plot b = plot_of("est.qxy", 0);
    EXPECT_EQ(b.kind, chart::PlotKind::kXY);
    EXPECT_EQ(b.title, "BER vs. Sampling Instant");
    EXPECT_EQ(b.x_label, "time [ps]");
    EXPECT_EQ(b.y_label, "BER");
    EXPECT_TRUE(b.log_y);
    s = chart::gnuplot_script(b, PlotFormat::kSvg, "b.svg");
    expect_lines(s, {"set terminal svg noenhanced size 1000,700 background '#ffffff'", "set logscale y 10",
                     "plot $d0 using 1:2 with linespoints lw 1.5 pt 7 ps 0.6 notitle"});
    EXPECT_EQ(data_block(s, "$d0"), (Lines{"-40 1e-12", "0 3e-13", "40 NaN"}));
    const chart::Plot c = plot_of("est.qxy", 1);
    EXPECT_EQ(c.title, "Q vs. Sampling Instant");
    EXPECT_EQ(c.y_label, "Q [dB]");
    EXPECT_FALSE(c.log_y);
    s = chart::gnuplot_script(c, PlotFormat::kPng, "q.png");
    EXPECT_EQ(s.find("logscale"), std::string::npos);
    EXPECT_EQ(data_block(s, "$d0"), (Lines{"-40 12", "0 17.5"}));
    // The threshold chart: a unit "a.u." on X.
    for (const auto& [t, v] : {std::pair{0.1, 1e-3}, {0.2, 1e-9}}) th.add(t, v);
    ASSERT_TRUE(write_estimator_charts("th.qxy", kBerThresholdChart, th, nullptr, nullptr));
    const chart::Plot d = plot_of("th.qxy");
    EXPECT_EQ(d.x_label, "Threshold Level [a.u.]");
    EXPECT_TRUE(d.log_y);
}

TEST_F(ChartPlot, EyeDiagramAndSignalScripts) {
    // An eye-scope file: 4 samples per bit, 25 ps apart, 21 samples, folded
    // into traces of two bit periods from 0 to 200 ps (0..8, 8..16, 16..20).
    std::vector<double> v;
    for (int i = 0; i < 21; ++i) v.push_back((i / 4) % 2 == 0 ? 1.0 + 0.01 * i : 0.1);
    ASSERT_TRUE(write_signal("eye.qsg", {.samples = 21, .samples_per_bit = 4, .delt = 25.0, .fsym = 193.1}, v));
    const chart::Plot p = plot_of("eye.qsg");
    EXPECT_EQ(p.kind, chart::PlotKind::kEye);
    const std::string s = chart::gnuplot_script(p, PlotFormat::kPng, "eye.png");
    expect_lines(s, {"set title 'Eye diagram: eye.qsg'", "set xlabel 'time [ps]'", "set ylabel 'signal'",
                     "set xrange [0:200]", "plot $d0 using 1:2 with lines lw 1 lc rgb '#801F4E9A' notitle"});
    const Lines eye = data_block(s, "$d0");
    ASSERT_EQ(eye.size(), 9u + 1 + 9 + 1 + 5);
    EXPECT_EQ(eye[8], "200 1.08");  // the first trace ends on the second's first sample
    EXPECT_EQ(eye[9], "");
    EXPECT_EQ(eye[10], "0 1.08");
    EXPECT_EQ(eye.back(), "100 0.1");

    // Without a bit rate the signal is drawn against time from its start.
    ASSERT_TRUE(write_signal("raw.qsg", {.samples = 3, .delt = 25.0, .tstart = 1000.0}, {0.5, 0.25, 0.125}));
    const chart::Plot r = plot_of("raw.qsg");
    EXPECT_EQ(r.kind, chart::PlotKind::kSignal);
    EXPECT_EQ(r.title, "Signal: raw.qsg");
    EXPECT_EQ(data_block(chart::gnuplot_script(r, PlotFormat::kPng, "r.png"), "$d0"),
              (Lines{"1000 0.5", "1025 0.25", "1050 0.125"}));

    // The text form: an electrical signal at 2 samples per bit, 50 ps apart,
    // folds into traces 0..4 and 4..5.
    write_text("elt.prn",
               "NodrixEltSgn  3\nSamplesNum 6\nDelt 50\nFsym 10\nSamplesPerBit 2\nMinimum 0\nMaximum 1\n"
               "+0\n+1\n+1\n+0\n+0\n+1\n");
    const chart::Plot e = plot_of("elt.prn");
    EXPECT_EQ(e.kind, chart::PlotKind::kEye);
    EXPECT_EQ(data_block(chart::gnuplot_script(e, PlotFormat::kSvg, "e.svg"), "$d0"),
              (Lines{"0 0", "50 1", "100 1", "150 0", "200 0", "", "0 0", "50 1"}));
}

TEST_F(ChartPlot, SeveralColumnsAndFlatData) {
    // A version 3 chart of three columns: two curves against the first, keyed.
    TestChart ch{.header = {.SamplesNum = 2, .ColumnNum = 3}};
    qxy_set_text(ch.header.Title, "  Power after 'span' 1  ");
    qxy_set_text(ch.header.LabelY, "Power");
    qxy_set_text(ch.header.MeasureY, "dBm");
    ch.columns = {column(0, kQxyDouble, P{}, P{}, "length", "km"), column(1, kQxyDouble, P{}, P{}, "channel 1", "dBm"),
                  column(2, kQxyDouble, P{}, P{}, "channel 2", "dBm")};
    for (const double x : {0.0, 60.0}) ch.rows.push_back({P::of_double(x), P::of_double(3.0), P::of_double(-x / 10)});
    ASSERT_TRUE(write_file("c.qxy", kQxyXY, {ch}));
    const chart::Plot p = plot_of("c.qxy");
    const std::string s = chart::gnuplot_script(p, PlotFormat::kPng, "it's.png");
    expect_lines(s, {"set output 'it''s.png'", "set title 'Power after ''span'' 1'", "set xlabel 'length [km]'",
                     "set ylabel 'Power [dBm]'", "set key outside right top",
                     "plot $d0 using 1:2 with linespoints lw 1.5 pt 7 ps 0.6 title 'channel 1 [dBm]', \\\n"
                     "     $d1 using 1:2 with linespoints lw 1.5 pt 7 ps 0.6 title 'channel 2 [dBm]'"});
    EXPECT_EQ(data_block(s, "$d0"), (Lines{"0 3", "60 3"}));
    EXPECT_EQ(data_block(s, "$d1"), (Lines{"0 -0", "60 -6"}));
    // Channel 1 alone would be flat: gnuplot is given a range around it.
    chart::Plot flat = p;
    flat.series.pop_back();
    expect_lines(chart::gnuplot_script(flat, PlotFormat::kPng, "f.png"), {"set yrange [2.7:3.3]"});
}

TEST_F(ChartPlot, TextsStayLiteral) {
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

TEST_F(ChartPlot, GnuplotRun) {
    // gnuplot's print writes to its error stream: both outputs are collected.
    GnuplotRun r = chart::run_gnuplot("gnuplot", "print sprintf('six times seven is %d', 6*7)\n");
    EXPECT_EQ(r.outcome, GnuplotRun::kDone) << r.reason << r.messages;
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.messages, "six times seven is 42\n");
    // An error in the script: a non-zero status and gnuplot's report.
    r = chart::run_gnuplot("gnuplot", "plot $nothing using 1:2\n");
    EXPECT_EQ(r.outcome, GnuplotRun::kFailed);
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.messages.find("line"), std::string::npos) << r.messages;
    r = chart::run_gnuplot("no-such-gnuplot-program", "plot x\n");
    EXPECT_EQ(r.outcome, GnuplotRun::kNotFound);
    EXPECT_EQ(r.reason, "No such file or directory");
    r = chart::run_gnuplot("false", "plot x\n");
    EXPECT_EQ(r.outcome, GnuplotRun::kFailed);
    EXPECT_EQ(r.status, 1);
    // A program that ends without reading a long script: the rest is dropped
    // and this process goes on (no broken-pipe signal).
    r = chart::run_gnuplot("true", std::string(4 << 20, '#'));
    EXPECT_EQ(r.outcome, GnuplotRun::kDone);
    EXPECT_EQ(r.messages, "");
    // A long script read whole while the program writes back as much: neither
    // side stalls on a full pipe.
    std::string script;
    for (int k = 0; k < 20000; ++k) script += "print 'line " + std::to_string(k) + "'\n";
    r = chart::run_gnuplot("gnuplot", script);
    EXPECT_EQ(r.outcome, GnuplotRun::kDone);
    EXPECT_EQ(r.messages.substr(0, 7), "line 0\n");
    EXPECT_EQ(r.messages.substr(r.messages.size() - 11), "line 19999\n");
}

}  // namespace
}  // namespace nodrix::testing
