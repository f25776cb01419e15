// The nodrix-chart command: verbs, options, output texts and exit statuses.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "models/measurements/ber_charts.h"
#include "runtime/io_file.h"
#include "tests/support/test_support.h"
#include "tools/chart_file.h"
#include "tools/chart_tool.h"
#include "xu/chart_compact.h"
#include "xu/write_qxy.h"

namespace nodrix::testing {
namespace {

using chart::chart_tool_main;
using chart::ToolOptions;

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
    r.status = chart_tool_main(static_cast<int>(words.size()), words.data(), out, err);
    r.stderr_ = ::testing::internal::GetCapturedStderr();
    r.out = out.str();
    r.err = err.str();
    return r;
}

// Two XY charts in the version 3 form: (time, level) with 3 rows, and one
// integer column with 2 rows.
void write_two_charts(const std::string& path, int mode) {
    XuWriteQxy* w = xu_WriteQxyInit(nullptr, path.c_str(), mode);
    ASSERT_NE(w, nullptr);
    ASSERT_EQ(xu_WriteQxyHeader(w, QxyFileHeader{}), 1);
    QxyChartHeader h;
    h.SamplesNum = 3;
    h.ColumnNum = 2;
    h.GraphStyle = -1;
    qxy_set_text(h.Title, "Eye, channel 1");
    qxy_set_text(h.LabelY, "Level");
    qxy_set_text(h.MeasureY, "mA");
    ASSERT_EQ(xu_WriteQxyChartHeader(w, h), 1);
    QxyColumn c0;
    c0.Index = 0;
    c0.Minimum = QxyPoint::of_double(0.0);
    c0.Maximum = QxyPoint::of_double(2.0);
    qxy_set_text(c0.Label, "Time");
    qxy_set_text(c0.Measure, "ps");
    QxyColumn c1 = c0;
    c1.Index = 1;
    c1.Minimum = QxyPoint::of_double(-1.0);
    c1.Maximum = QxyPoint::of_double(1.0);
    qxy_set_text(c1.Label, "Level, \"mean\"");
    qxy_set_text(c1.Measure, "mA");
    ASSERT_EQ(xu_WriteQxyChartColumn(w, c0), 1);
    ASSERT_EQ(xu_WriteQxyChartColumn(w, c1), 1);
    const double rows[3][2] = {{0.0, -0.5}, {1.0, 0.1}, {2.0, 0.75}};
    for (const auto& r : rows) {
        const QxyPoint p[2] = {QxyPoint::of_double(r[0]), QxyPoint::of_double(r[1])};
        ASSERT_EQ(xu_WriteQxyChartData(w, p), 1);
    }
    QxyChartHeader h2;
    h2.SamplesNum = 2;
    h2.ColumnNum = 1;
    ASSERT_EQ(xu_WriteQxyChartHeader(w, h2), 1);
    QxyColumn n;
    n.Type = kQxyInt;
    n.Minimum = QxyPoint::of_int(0);
    n.Maximum = QxyPoint::of_int(9);
    ASSERT_EQ(xu_WriteQxyChartColumn(w, n), 1);
    for (const std::int32_t v : {4, -2}) {
        const QxyPoint p = QxyPoint::of_int(v);
        ASSERT_EQ(xu_WriteQxyChartData(w, &p), 1);
    }
    ASSERT_EQ(xu_WriteQxyEnd(w), 1);
}

TEST_F(ChartTool, HelpAndUsage) {
    Result r = tool({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Usage: nodrix-chart COMMAND FILE [OPTIONS]"), std::string::npos);
    EXPECT_NE(r.out.find("\n  info FILE"), std::string::npos);
    EXPECT_NE(r.out.find("\n  csv FILE [-c N] [-o OUT]"), std::string::npos);
    EXPECT_NE(r.out.find("\n  plot FILE [-c N] -o OUT.png|OUT.svg  draw one chart as a PNG or SVG image"),
              std::string::npos);
    EXPECT_EQ(r.err, "");

    r = tool({});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("Usage: nodrix-chart"), std::string::npos);

    r = tool({"plotx", "a.qxy"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "nodrix-chart: unknown command \"plotx\" (nodrix-chart --help lists them)\n");

    r = tool({"csv", "--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("Usage: nodrix-chart csv FILE [-c N] [-o OUT]\n", 0), 0u);

    r = tool({"info"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind("nodrix-chart info: no file given\n", 0), 0u);

    r = tool({"info", "a.qxy", "-o", "x.csv"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind("nodrix-chart info: option -o does not apply here\n", 0), 0u);
}

TEST_F(ChartTool, OptionParsing) {
    struct Case {
        std::vector<std::string> args;
        bool ok;
        int chart;
        std::string output;
        std::string error;
    };
    const Case cases[] = {
        {{"f.qxy"}, true, 0, "", ""},
        {{"f.qxy", "-c", "2"}, true, 2, "", ""},
        {{"-c3", "f.qxy"}, true, 3, "", ""},
        {{"f.qxy", "--chart=4", "--output=o.csv"}, true, 4, "o.csv", ""},
        {{"f.qxy", "-o", "out.csv", "--chart", "1"}, true, 1, "out.csv", ""},
        {{"f.qxy", "-c"}, false, 0, "", "option -c needs a value"},
        {{"f.qxy", "-c", "-1"}, false, 0, "", "chart number must be a whole number from 0, not \"-1\""},
        {{"f.qxy", "-c", "2x"}, false, 0, "", "chart number must be a whole number from 0, not \"2x\""},
        {{"f.qxy", "-c", "99999999999"}, false, 0, "",
         "chart number must be a whole number from 0, not \"99999999999\""},
        {{"f.qxy", "-z"}, false, 0, "", "unknown option -z"},
        {{"f.qxy", "g.qxy"}, false, 0, "", "more than one file given (f.qxy, g.qxy)"},
        {{"f.qxy", "--output="}, false, 0, "", "option -o needs a file name"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.size() > 1 ? c.args[1] : c.args[0]);
        ToolOptions o;
        std::string error;
        EXPECT_EQ(chart::parse_tool_options(c.args, "co", o, error), c.ok);
        EXPECT_EQ(error, c.error);
        if (c.ok) {
            EXPECT_EQ(o.file, "f.qxy");
            EXPECT_EQ(o.chart, c.chart);
            EXPECT_EQ(o.output, c.output);
        }
    }
}

TEST_F(ChartTool, InfoOfAVersion3File) {
    write_two_charts("two.qxy", 0);
    const Result r = tool({"info", "two.qxy"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "File: two.qxy\n"
              "Form: binary, version 3\n"
              "File type: 7 (XY chart)\n"
              "Charts: 2\n"
              "\n"
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
    write_two_charts("two.txt", 1);
    const Result t = tool({"info", "two.txt"});
    EXPECT_EQ(t.status, 0) << t.err;
    EXPECT_EQ(t.out.substr(0, t.out.find("File type")), "File: two.txt\nForm: text, version 4\n");
    EXPECT_EQ(t.out.substr(t.out.find("Charts")), r.out.substr(r.out.find("Charts")));
}

TEST_F(ChartTool, InfoOfSpectrumAndSignal) {
    Qsp1Header h;
    h.delt = 0.0640443;
    h.fsym = 193.1;
    h.frequency_step = 0.5;
    h.start_frequency = 192.0;
    h.stop_frequency = 193.0;
    h.minimum = -70.0;
    h.maximum = -3.0;
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
              "  Column 0: (no label), float, stated range -70 .. -3, data range -70 .. -3\n");

    // An eye-scope signal: its time axis; with a header that states more
    // samples than the file holds, it is reported as damaged.
    Qsg2Header s;
    s.samples = 2;
    s.samples_per_bit = 4;
    s.delt = 0.25;
    s.tstart = 10.0;
    s.fsym = 10.0;
    const std::int32_t id = qsg2_create("e.qsg", s);
    ASSERT_GT(id, 0);
    ASSERT_TRUE(qsg2_append(id, std::vector<double>{1.0}));
    ASSERT_TRUE(qsg2_append(id, std::vector<double>{2.0}));
    ASSERT_EQ(io_close(id), 0);
    r = tool({"info", "e.qsg"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("File type: 1 (electrical signal)\n"), std::string::npos);
    EXPECT_NE(r.out.find("  Axis: time [ps] from 10 in steps of 0.25\n  Fsym: 10\n  Samples per bit: 4\n"),
              std::string::npos);
    s.samples = 5;
    ASSERT_TRUE(qsg2_rewrite_header("e.qsg", s));
    r = tool({"info", "e.qsg"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "nodrix-chart: e.qsg: the file ends inside a chart or cannot be read (truncated or damaged)\n");
}

TEST_F(ChartTool, CsvOfOneChart) {
    write_two_charts("two.qxy", 0);
    Result r = tool({"csv", "two.qxy"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "Time [ps],\"Level, \"\"mean\"\" [mA]\"\n"
              "0,-0.5\n"
              "1,0.10000000000000001\n"
              "2,0.75\n");
    r = tool({"csv", "two.qxy", "-c", "1"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "value\n4\n-2\n");

    r = tool({"csv", "-o", "chart.csv", "two.qxy", "-c1"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(read_text("chart.csv"), "value\n4\n-2\n");

    // Spectra and signals get their axis as the first column.
    Qsp1Header h;
    h.frequency_step = 0.5;
    h.start_frequency = 192.0;
    ASSERT_TRUE(qsp1_write("s.qsp", h, std::vector<double>{-70.0, -3.0, -20.0}));
    r = tool({"csv", "s.qsp"});
    EXPECT_EQ(r.out, "frequency [THz],spectrum\n192,-70\n192.5,-3\n193,-20\n");

    Qsg2Header s;
    s.type = 2;
    s.samples = 2;
    s.delt = 0.25;
    s.tstart = 10.0;
    const std::int32_t id = qsg2_create("o.qsg", s);
    ASSERT_GT(id, 0);
    ASSERT_TRUE(qsg2_append(id, std::vector<double>{1.0, -1.0}));
    ASSERT_TRUE(qsg2_append(id, std::vector<double>{2.0, -2.0}));
    ASSERT_EQ(io_close(id), 0);
    r = tool({"csv", "o.qsg"});
    EXPECT_EQ(r.out, "time [ps],re,im\n10,1,-1\n10.25,2,-2\n");
}

TEST_F(ChartTool, UnreadableFiles) {
    Result r = tool({"info", "none.qxy"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "nodrix-chart: none.qxy: no such file\n");

    std::filesystem::create_directory("d.qxy");
    r = tool({"csv", "d.qxy"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "nodrix-chart: d.qxy: is a directory, not a chart file\n");

    write_text("notes.txt", "just some notes\n");
    r = tool({"info", "notes.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.stderr_, "Nodrix-E-Cannot read Header section\n");
    EXPECT_EQ(r.err, "nodrix-chart: notes.txt: not a chart file of a known form, or a damaged one (format error)\n");

    write_two_charts("two.qxy", 0);
    r = tool({"csv", "two.qxy", "-c", "5"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "nodrix-chart: two.qxy: no chart 5 (the file holds 2 charts, numbered from 0)\n");

    r = tool({"csv", "two.qxy", "-o", "no/such/dir/out.csv"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "nodrix-chart: cannot write no/such/dir/out.csv\n");
}

// Files left in the test's directory whose name holds `part`.
int files_named(const std::string& part) {
    int n = 0;
    for (const auto& e : std::filesystem::directory_iterator("."))
        if (e.path().filename().string().find(part) != std::string::npos) ++n;
    return n;
}

// Sets NODRIX_GNUPLOT for one scope.
class GnuplotProgram {
public:
    explicit GnuplotProgram(const char* program) { ::setenv("NODRIX_GNUPLOT", program, 1); }
    ~GnuplotProgram() { ::unsetenv("NODRIX_GNUPLOT"); }
};

TEST_F(ChartTool, PlotDrawsEachFormWithGnuplot) {
    ::unsetenv("NODRIX_GNUPLOT");
    ChartPoints ber;
    ber.add(-40.0, 1e-6);
    ber.add(0.0, 1e-12);
    ber.add(40.0, 1e-7);
    ChartPoints q;
    q.add(-40.0, 12.0);
    q.add(0.0, 17.5);
    ASSERT_TRUE(write_estimator_charts("est.qxy", kBerInstantChart, ber, &kQChart, &q));
    Qsp1Header h;
    h.frequency_step = 0.5;
    h.start_frequency = 192.0;
    ASSERT_TRUE(qsp1_write("s.qsp", h, std::vector<double>{-70.0, -3.0, -20.0}));
    Qsg2Header g;
    g.samples = 40;
    g.samples_per_bit = 8;
    g.delt = 12.5;
    const std::int32_t id = qsg2_create("eye.qsg", g);
    ASSERT_GT(id, 0);
    for (int i = 0; i < 40; ++i) ASSERT_TRUE(qsg2_append(id, std::vector<double>{(i / 8) % 3 == 0 ? 1.0 : 0.0}));
    ASSERT_EQ(io_close(id), 0);

    const unsigned char png_signature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    struct Case {
        std::vector<const char*> words;
        const char* output;
        const char* title;
        const char* written;
    };
    const Case cases[] = {
        {{"plot", "est.qxy", "-o", "ber.png"}, "ber.png", "BER vs. Sampling Instant",
         "Wrote ber.png: chart 0 of 2, \"BER vs. Sampling Instant\"\n"},
        {{"plot", "est.qxy", "-c", "1", "-o", "q.SVG"}, "q.SVG", "Q vs. Sampling Instant",
         "Wrote q.SVG: chart 1 of 2, \"Q vs. Sampling Instant\"\n"},
        {{"plot", "s.qsp", "-o", "s.svg"}, "s.svg", "Spectrum: s.qsp",
         "Wrote s.svg: chart 0 of 1, \"Spectrum: s.qsp\"\n"},
        {{"plot", "eye.qsg", "-o", "eye.svg"}, "eye.svg", "Eye diagram: eye.qsg",
         "Wrote eye.svg: chart 0 of 1, \"Eye diagram: eye.qsg\"\n"},
        {{"plot", "eye.qsg", "-o", "eye.png"}, "eye.png", "",
         "Wrote eye.png: chart 0 of 1, \"Eye diagram: eye.qsg\"\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.output);
        const Result r = tool(c.words);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out, c.written);
        const std::vector<unsigned char> bytes = read_bytes(c.output);
        ASSERT_GT(bytes.size(), 100u);
        if (std::string(c.output).find(".png") != std::string::npos) {
            EXPECT_TRUE(std::equal(std::begin(png_signature), std::end(png_signature), bytes.begin()));
        } else {
            const std::string svg(bytes.begin(), bytes.end());
            EXPECT_EQ(svg.rfind("<?xml version=\"1.0\"", 0), 0u);
            EXPECT_NE(svg.find("<svg"), std::string::npos);
            EXPECT_NE(svg.find(std::string(">") + c.title + "</text>"), std::string::npos);
            EXPECT_EQ(svg.substr(svg.find_last_not_of("\n") - 5, 6), "</svg>");
        }
    }
    // No drawing file is left behind.
    EXPECT_EQ(files_named(".part"), 0);
}

TEST_F(ChartTool, PlotFailures) {
    ::unsetenv("NODRIX_GNUPLOT");
    write_two_charts("two.qxy", 0);
    struct Case {
        std::vector<const char*> words;
        int status;
        std::string err;
    };
    const Case cases[] = {
        {{"plot", "two.qxy"}, 2, "nodrix-chart plot: name the image with -o OUT.png or -o OUT.svg\n"},
        {{"plot", "two.qxy", "-o", "a.jpg"}, 2, "nodrix-chart plot: a.jpg: the image name must end in .png or .svg\n"},
        {{"plot", "two.qxy", "-o", "png"}, 2, "nodrix-chart plot: png: the image name must end in .png or .svg\n"},
        {{"plot", "two.qxy", "-o", "a\nb.png"}, 2, "nodrix-chart plot: the image name holds a control character\n"},
        {{"plot", "none.qxy", "-o", "a.png"}, 1, "nodrix-chart: none.qxy: no such file\n"},
        {{"plot", "two.qxy", "-c", "2", "-o", "a.png"}, 1,
         "nodrix-chart: two.qxy: no chart 2 (the file holds 2 charts, numbered from 0)\n"},
        {{"plot", "two.qxy", "-o", "no/such/dir/a.png"}, 1,
         "nodrix-chart: cannot write no/such/dir/a.png: No such file or directory\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.err);
        const Result r = tool(c.words);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
    }
    Result r = tool({"plot", "--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("Usage: nodrix-chart plot FILE [-c N] -o OUT.png|OUT.svg\n", 0), 0u);

    // gnuplot missing, or failing: status 1, and an image already there is
    // left as it was.
    write_text("old.png", "an older image");
    {
        GnuplotProgram missing("./no-such-dir/gnuplot");
        r = tool({"plot", "two.qxy", "-o", "old.png"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err,
                  "nodrix-chart plot: cannot run ./no-such-dir/gnuplot: No such file or directory (install the "
                  "package gnuplot-nox, or name the program in NODRIX_GNUPLOT)\n");
    }
    {
        GnuplotProgram failing("false");
        r = tool({"plot", "two.qxy", "-o", "old.png"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "nodrix-chart plot: false failed (exit status 1)\n");
    }
    {
        // A program that succeeds without drawing anything.
        GnuplotProgram idle("true");
        r = tool({"plot", "two.qxy", "-o", "old.png"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "nodrix-chart plot: true ended without drawing the image\n");
    }
    EXPECT_EQ(read_text("old.png"), "an older image");
    EXPECT_EQ(files_named(".part"), 0);

    // A chart without rows: nothing is run.
    Qsp1Header h;
    ASSERT_TRUE(qsp1_write("empty.qsp", h, std::vector<double>{}));
    r = tool({"plot", "empty.qsp", "-o", "e.png"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "nodrix-chart: empty.qsp: chart 0 holds no rows to plot\n");
    EXPECT_FALSE(std::filesystem::exists("e.png"));
}

}  // namespace
}  // namespace nodrix::testing
