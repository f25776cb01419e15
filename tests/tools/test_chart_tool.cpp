// The nodrix-chart command: verbs, options, output texts and exit statuses.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "models/measurements/ber_charts.h"
#include "tests/xu/qxy_collect.h"
#include "tools/chart_tool.h"

namespace nodrix::testing {
namespace {

class ChartTool : public NodrixTest {};

struct Result {
    int status;
    std::string out;
    std::string err;      // the tool's own diagnostics
    std::string stderr_;  // lines of the message layer
};

Result tool(std::vector<const char*> words) {
    words.insert(words.begin(), "nodrix-chart");
    std::ostringstream out, err;
    Result r;
    ::testing::internal::CaptureStderr();
    r.status = chart::chart_tool_main(static_cast<int>(words.size()), words.data(), out, err);
    r.stderr_ = ::testing::internal::GetCapturedStderr();
    r.out = out.str();
    r.err = err.str();
    return r;
}

// Two XY charts: (time, level) with 3 rows, and one integer column with 2 rows.
std::vector<TestChart> two_charts() {
    TestChart a, b;
    a.header = QxyChartHeader{.GraphStyle = -1, .SamplesNum = 3, .ColumnNum = 2};
    qxy_set_text(a.header.Title, "Eye, channel 1");
    qxy_set_text(a.header.LabelY, "Level");
    qxy_set_text(a.header.MeasureY, "mA");
    a.columns = {column(0, kQxyDouble, P::of_double(0.0), P::of_double(2.0), "Time", "ps"),
                 column(1, kQxyDouble, P::of_double(-1.0), P::of_double(1.0), "Level, \"mean\"", "mA")};
    for (const auto& [t, v] : {std::pair{0.0, -0.5}, {1.0, 0.1}, {2.0, 0.75}})
        a.rows.push_back({P::of_double(t), P::of_double(v)});
    b.header = QxyChartHeader{.SamplesNum = 2, .ColumnNum = 1};
    b.columns = {column(0, kQxyInt, P::of_int(0), P::of_int(9), "", "")};
    b.rows = {{P::of_int(4)}, {P::of_int(-2)}};
    return {a, b};
}

// Files left in the test's directory whose name holds `part`.
int files_named(const std::string& part) {
    int n = 0;
    for (const auto& e : std::filesystem::directory_iterator("."))
        if (e.path().filename().string().find(part) != std::string::npos) ++n;
    return n;
}

TEST_F(ChartTool, HelpAndUsage) {
    struct Case { std::vector<const char*> words; int status; std::string out, err; };  // how out and err begin
    const Case cases[] = {
        {{"--help"}, 0, "Usage: nodrix-chart COMMAND FILE [OPTIONS]\n", ""},
        {{}, 2, "", "Usage: nodrix-chart"},
        {{"plotx", "a.qxy"}, 2, "", "nodrix-chart: unknown command \"plotx\" (nodrix-chart --help lists them)\n"},
        {{"csv", "--help"}, 0, "Usage: nodrix-chart csv FILE [-c N] [-o OUT]\n", ""},
        {{"plot", "--help"}, 0, "Usage: nodrix-chart plot FILE [-c N] -o OUT.png|OUT.svg\n", ""},
        {{"info"}, 2, "", "nodrix-chart info: no file given\n"},
        {{"info", "a.qxy", "-o", "x.csv"}, 2, "", "nodrix-chart info: option -o does not apply here\n"},
    };
    for (const Case& c : cases) {
        const Result r = tool(c.words);
        EXPECT_EQ(r.status, c.status) << c.err;
        EXPECT_EQ(r.out.rfind(c.out, 0), 0u) << r.out;
        EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << r.err;
        EXPECT_EQ(r.out.empty(), c.out.empty());
        EXPECT_EQ(r.err.empty(), c.err.empty());
    }
    // The help lists every command.
    const std::string help = tool({"--help"}).out;
    for (const char* line : {"\n  info FILE ", "\n  csv FILE [-c N] [-o OUT] ",
                             "\n  plot FILE [-c N] -o OUT.png|OUT.svg  draw one chart as a PNG or SVG image"})
        EXPECT_NE(help.find(line), std::string::npos) << line;
}

TEST_F(ChartTool, OptionParsing) {
    struct Case { std::vector<std::string> args; int chart; std::string text; };  // chart -1: refused, text the error
    const Case cases[] = {
        {{"f.qxy"}, 0, ""},
        {{"f.qxy", "-c", "2"}, 2, ""},
        {{"-c3", "f.qxy"}, 3, ""},
        {{"f.qxy", "--chart=4", "--output=o.csv"}, 4, "o.csv"},
        {{"f.qxy", "-o", "out.csv", "--chart", "1"}, 1, "out.csv"},
        {{"f.qxy", "-c"}, -1, "option -c needs a value"},
        {{"f.qxy", "-c", "-1"}, -1, "chart number must be a whole number from 0, not \"-1\""},
        {{"f.qxy", "-c", "2x"}, -1, "chart number must be a whole number from 0, not \"2x\""},
        {{"f.qxy", "-c", "99999999999"}, -1, "chart number must be a whole number from 0, not \"99999999999\""},
        {{"f.qxy", "-z"}, -1, "unknown option -z"},
        {{"f.qxy", "g.qxy"}, -1, "more than one file given (f.qxy, g.qxy)"},
        {{"f.qxy", "--output="}, -1, "option -o needs a file name"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.back());
        chart::ToolOptions o;
        std::string error;
        EXPECT_EQ(chart::parse_tool_options(c.args, "co", o, error), c.chart >= 0);
        EXPECT_EQ(error, c.chart >= 0 ? "" : c.text);
        if (c.chart < 0) continue;
        EXPECT_EQ(o.file, "f.qxy");
        EXPECT_EQ(o.chart, c.chart);
        EXPECT_EQ(o.output, c.text);
    }
}

TEST_F(ChartTool, InfoOfAVersion3File) {
    ASSERT_TRUE(write_file("two.qxy", 0, kQxyXY, two_charts()));
    const Result r = tool({"info", "two.qxy"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "File: two.qxy\nForm: binary, version 3\nFile type: 7 (XY chart)\nCharts: 2\n\n"
              "Chart 0: \"Eye, channel 1\"\n"
              "  Y: Level [mA]\n"
              "  Rows: 3\n"
              "  Columns: 2\n"
              "  Column 0: Time [ps], float, stated range 0 .. 2, data range 0 .. 2\n"
              "  Column 1: Level, \"mean\" [mA], float, stated range -1 .. 1, data range -0.5 .. 0.75\n"
              "\n"
              "Chart 1: (no title)\n"
              "  Rows: 2\n"
              "  Columns: 1\n"
              "  Column 0: (no label), integer, stated range 0 .. 9, data range -2 .. 4\n");

    // The text form tells the same, with its own form line.
    ASSERT_TRUE(write_file("two.txt", 1, kQxyXY, two_charts()));
    const Result t = tool({"info", "two.txt"});
    EXPECT_EQ(t.status, 0) << t.err;
    EXPECT_EQ(t.out.substr(0, t.out.find("File type")), "File: two.txt\nForm: text, version 4\n");
    EXPECT_EQ(t.out.substr(t.out.find("Charts")), r.out.substr(r.out.find("Charts")));
}

TEST_F(ChartTool, InfoOfSpectrumAndSignal) {
    const Qsp1Header h{.delt = 0.0640443, .fsym = 193.1, .frequency_step = 0.5, .start_frequency = 192.0,
                       .stop_frequency = 193.0, .minimum = -70.0, .maximum = -3.0};
    ASSERT_TRUE(qsp1_write("s.qsp", h, std::vector<double>{-70.0, -3.0, -20.0}));
    Result r = tool({"info", "s.qsp"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "File: s.qsp\nForm: binary, version 1\nFile type: 4 (spectrum)\nCharts: 1\n\n"
              "Chart 0: (no title)\n"
              "  Rows: 3\n"
              "  Columns: 1\n"
              "  Axis: frequency [THz] from 192 in steps of 0.5\n"
              "  Frequencies: 192 to 193 THz\n"
              "  Fsym: 193.1\n"
              "  Stated range of the chart's values: -70 .. -3\n"
              "  Column 0: (no label), float, data range -70 .. -3\n");

    // An eye-scope signal: its time axis; with a header that states more
    // samples than the file holds, it is reported as damaged.
    Qsg2Header s{.samples = 2, .samples_per_bit = 4, .delt = 0.25, .tstart = 10.0, .fsym = 10.0};
    ASSERT_TRUE(write_signal("e.qsg", s, {1.0, 2.0}));
    r = tool({"info", "e.qsg"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("File type: 1 (electrical signal)\n"), std::string::npos);
    EXPECT_NE(r.out.find("  Axis: time [ps] from 10 in steps of 0.25\n  Fsym: 10\n  Samples per bit: 4\n"),
              std::string::npos);
    s.samples = 5;
    ASSERT_TRUE(write_signal("e.qsg", s, {1.0, 2.0}));
    r = tool({"info", "e.qsg"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "nodrix-chart: e.qsg: the file ends inside a chart or cannot be read (truncated or damaged)\n");
}

TEST_F(ChartTool, CsvOfOneChart) {
    ASSERT_TRUE(write_file("two.qxy", 0, kQxyXY, two_charts()));
    Result r = tool({"csv", "two.qxy"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Time [ps],\"Level, \"\"mean\"\" [mA]\"\n0,-0.5\n1,0.10000000000000001\n2,0.75\n");
    r = tool({"csv", "two.qxy", "-c", "1"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "value\n4\n-2\n");
    r = tool({"csv", "-o", "chart.csv", "two.qxy", "-c1"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(read_text("chart.csv"), "value\n4\n-2\n");

    // Spectra and signals get their axis as the first column.
    ASSERT_TRUE(qsp1_write("s.qsp", {.frequency_step = 0.5, .start_frequency = 192.0},
                           std::vector<double>{-70.0, -3.0, -20.0}));
    EXPECT_EQ(tool({"csv", "s.qsp"}).out, "frequency [THz],spectrum\n192,-70\n192.5,-3\n193,-20\n");
    ASSERT_TRUE(write_signal("o.qsg", {.type = 2, .columns = 2, .samples = 2, .delt = 0.25, .tstart = 10.0},
                             {1.0, -1.0, 2.0, -2.0}));
    EXPECT_EQ(tool({"csv", "o.qsg"}).out, "time [ps],re,im\n10,1,-1\n10.25,2,-2\n");
}

TEST_F(ChartTool, UnreadableFiles) {
    ASSERT_TRUE(write_file("two.qxy", 0, kQxyXY, two_charts()));
    std::filesystem::create_directory("d.qxy");
    write_text("notes.txt", "just some notes\n");
    const std::pair<std::vector<const char*>, std::string> cases[] = {
        {{"info", "none.qxy"}, "nodrix-chart: none.qxy: no such file\n"},
        {{"csv", "d.qxy"}, "nodrix-chart: d.qxy: is a directory, not a chart file\n"},
        {{"info", "notes.txt"},
         "nodrix-chart: notes.txt: not a chart file of a known form, or a damaged one (format error)\n"},
        {{"csv", "two.qxy", "-c", "5"}, "nodrix-chart: two.qxy: no chart 5 (the file holds 2 charts, numbered from 0)\n"},
        {{"csv", "two.qxy", "-o", "no/such/dir/out.csv"},
         "nodrix-chart: cannot write no/such/dir/out.csv: No such file or directory\n"},
        // A device may never end: refused at once instead of read for ever.
        {{"info", "/dev/zero"}, "nodrix-chart: /dev/zero: is not a regular file, not a chart file\n"},
        {{"csv", "two.qxy", "-o", "two.qxy"}, "nodrix-chart: two.qxy is the chart file itself; write the CSV elsewhere\n"},
    };
    for (const auto& [words, err] : cases) {
        const Result r = tool(words);
        EXPECT_EQ(r.status, 1) << err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, err);
    }
    EXPECT_EQ(tool({"info", "notes.txt"}).stderr_, "Nodrix-E-Cannot read Header section\n");
    EXPECT_EQ(read_bytes("two.qxy").size(), std::filesystem::file_size("two.qxy"));
    const Result again = tool({"info", "two.qxy"});
    EXPECT_EQ(again.status, 0) << "the refused output left its input intact: " << again.err;
}

TEST_F(ChartTool, CsvReportsDamageAnywhereInTheFile) {
    // Two estimator charts; the second one cut short.
    ChartPoints ber, q;
    for (int k = 0; k < 20; ++k) ber.add(k, 1e-9), q.add(k, 6.0);
    ASSERT_TRUE(write_estimator_charts("est.qxy", kBerInstantChart, ber, &kQChart, &q));
    std::filesystem::resize_file("est.qxy", std::filesystem::file_size("est.qxy") - 40);
    const Result r = tool({"csv", "est.qxy", "-c", "0"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "nodrix-chart: est.qxy: the file ends inside a chart or cannot be read (truncated or damaged)\n");
}

TEST_F(ChartTool, InfoStatesTheOneRangeOfAnEstimatorChartForTheChart) {
    ChartPoints ber;
    for (const auto& [t, v] : {std::pair{-40.0, 1e-6}, {0.0, 1e-12}, {40.0, 1e-7}}) ber.add(t, v);
    ASSERT_TRUE(write_estimator_charts("est.qxy", kBerInstantChart, ber, nullptr, nullptr));
    const Result r = tool({"info", "est.qxy"});
    EXPECT_EQ(r.status, 0) << r.err;
    // The file holds the range of the BER values once; the time column is not given it.
    EXPECT_NE(r.out.find("  Stated range of the chart's values: 1e-12 .. 1e-06\n  Column 0: time [ps], float, data "
                         "range -40 .. 40\n"),
              std::string::npos)
        << r.out;
}

TEST_F(ChartTool, FailedWritesAreReportedAndLeaveNoPartialFile) {
    ASSERT_TRUE(write_file("two.qxy", 0, kQxyXY, two_charts()));
    // The standard output on a full disk: the failure shows at the flush.
    std::ofstream full("/dev/full");
    const char* words[] = {"nodrix-chart", "csv", "two.qxy"};
    std::ostringstream err;
    EXPECT_EQ(chart::chart_tool_main(3, words, full, err), 1);
    EXPECT_EQ(err.str(), "nodrix-chart: cannot write the output: No space left on device\n");
    // A file that cannot grow past 10 bytes stands for a full disk: the export
    // fails, and neither a partial out.csv nor its part file is left.
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit small{10, 10};
        ::setrlimit(RLIMIT_FSIZE, &small);
        std::ostringstream o, e;
        const char* w[] = {"nodrix-chart", "csv", "two.qxy", "-o", "out.csv"};
        const int status = chart::chart_tool_main(5, w, o, e);
        ::_exit(status == 1 && e.str() == "nodrix-chart: cannot write out.csv: File too large\n" ? 0 : 10 + status);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(files_named("out.csv"), 0);
}

TEST_F(ChartTool, PlotDrawsEachFormWithGnuplot) {
    ::unsetenv("NODRIX_GNUPLOT");
    ChartPoints ber, q;
    for (const auto& [t, v] : {std::pair{-40.0, 1e-6}, {0.0, 1e-12}, {40.0, 1e-7}}) ber.add(t, v);
    for (const auto& [t, v] : {std::pair{-40.0, 12.0}, {0.0, 17.5}}) q.add(t, v);
    ASSERT_TRUE(write_estimator_charts("est.qxy", kBerInstantChart, ber, &kQChart, &q));
    ASSERT_TRUE(qsp1_write("s.qsp", {.frequency_step = 0.5, .start_frequency = 192.0},
                           std::vector<double>{-70.0, -3.0, -20.0}));
    std::vector<double> eye;
    for (int i = 0; i < 40; ++i) eye.push_back((i / 8) % 3 == 0 ? 1.0 : 0.0);
    ASSERT_TRUE(write_signal("eye.qsg", {.samples = 40, .samples_per_bit = 8, .delt = 12.5}, eye));

    const unsigned char png_signature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    struct Case { std::vector<const char*> words; const char* title; const char* written; };
    const Case cases[] = {
        {{"plot", "est.qxy", "-o", "ber.png"}, "BER vs. Sampling Instant",
         "Wrote ber.png: chart 0 of 2, \"BER vs. Sampling Instant\"\n"},
        {{"plot", "est.qxy", "-c", "1", "-o", "q.SVG"}, "Q vs. Sampling Instant",
         "Wrote q.SVG: chart 1 of 2, \"Q vs. Sampling Instant\"\n"},
        {{"plot", "s.qsp", "-o", "s.svg"}, "Spectrum: s.qsp", "Wrote s.svg: chart 0 of 1, \"Spectrum: s.qsp\"\n"},
        {{"plot", "eye.qsg", "-o", "eye.svg"}, "Eye diagram: eye.qsg",
         "Wrote eye.svg: chart 0 of 1, \"Eye diagram: eye.qsg\"\n"},
    };
    for (const Case& c : cases) {
        const std::string output = c.words.back();
        SCOPED_TRACE(output);
        const Result r = tool(c.words);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out, c.written);
        const std::vector<unsigned char> bytes = read_bytes(output);
        ASSERT_GT(bytes.size(), 100u);
        if (output.ends_with(".png")) {
            EXPECT_TRUE(std::equal(std::begin(png_signature), std::end(png_signature), bytes.begin()));
        } else {
            const std::string svg(bytes.begin(), bytes.end());
            EXPECT_EQ(svg.rfind("<?xml version=\"1.0\"", 0), 0u);
            EXPECT_NE(svg.find("<svg"), std::string::npos);
            EXPECT_NE(svg.find(std::string(">") + c.title + "</text>"), std::string::npos);
            EXPECT_EQ(svg.substr(svg.find_last_not_of("\n") - 5, 6), "</svg>");
        }
    }
    EXPECT_EQ(files_named(".part"), 0);  // no drawing file is left behind
}

TEST_F(ChartTool, PlotFailures) {
    ::unsetenv("NODRIX_GNUPLOT");
    ASSERT_TRUE(write_file("two.qxy", 0, kQxyXY, two_charts()));
    ASSERT_TRUE(qsp1_write("empty.qsp", {}, std::vector<double>{}));
    ASSERT_TRUE(qsp1_write("nan.qsp", {.frequency_step = 0.5}, std::vector<double>{std::nan(""), INFINITY}));
    write_text("old.png", "an older image");
    struct Case { const char* gnuplot; std::vector<const char*> words; int status; std::string err; };  // gnuplot: NODRIX_GNUPLOT
    const Case cases[] = {
        {nullptr, {"plot", "two.qxy"}, 2, "nodrix-chart plot: name the image with -o OUT.png or -o OUT.svg\n"},
        {nullptr, {"plot", "two.qxy", "-o", "a.jpg"}, 2,
         "nodrix-chart plot: a.jpg: the image name must end in .png or .svg\n"},
        {nullptr, {"plot", "two.qxy", "-o", "png"}, 2, "nodrix-chart plot: png: the image name must end in .png or .svg\n"},
        {nullptr, {"plot", "two.qxy", "-o", "a\nb.png"}, 2, "nodrix-chart plot: the image name holds a control character\n"},
        {nullptr, {"plot", "none.qxy", "-o", "a.png"}, 1, "nodrix-chart: none.qxy: no such file\n"},
        {nullptr, {"plot", "two.qxy", "-c", "2", "-o", "a.png"}, 1,
         "nodrix-chart: two.qxy: no chart 2 (the file holds 2 charts, numbered from 0)\n"},
        {nullptr, {"plot", "two.qxy", "-o", "no/such/dir/a.png"}, 1,
         "nodrix-chart: cannot write no/such/dir/a.png: No such file or directory\n"},
        // Nothing to draw: gnuplot is not run.
        {nullptr, {"plot", "empty.qsp", "-o", "e.png"}, 1, "nodrix-chart: empty.qsp: chart 0 holds no rows to plot\n"},
        {nullptr, {"plot", "nan.qsp", "-o", "e.png"}, 1,
         "nodrix-chart: nan.qsp: chart 0 holds no finite values to plot\n"},
        // gnuplot missing, failing, or not drawing: an image already there is left as it was.
        {"./no-such-dir/gnuplot", {"plot", "two.qxy", "-o", "old.png"}, 1,
         "nodrix-chart plot: cannot run ./no-such-dir/gnuplot: No such file or directory (install the package "
         "gnuplot-nox, or name the program in NODRIX_GNUPLOT)\n"},
        {"false", {"plot", "two.qxy", "-o", "old.png"}, 1, "nodrix-chart plot: false failed (exit status 1)\n"},
        {"true", {"plot", "two.qxy", "-o", "old.png"}, 1, "nodrix-chart plot: true ended without drawing the image\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.err);
        if (c.gnuplot != nullptr) ::setenv("NODRIX_GNUPLOT", c.gnuplot, 1);
        const Result r = tool(c.words);
        ::unsetenv("NODRIX_GNUPLOT");
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(read_text("old.png"), "an older image");
    EXPECT_FALSE(std::filesystem::exists("e.png"));
    EXPECT_EQ(files_named(".part"), 0);
}

}  // namespace
}  // namespace nodrix::testing
