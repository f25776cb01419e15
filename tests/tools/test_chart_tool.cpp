// The nodrix-chart command: verbs, options, output texts and exit statuses.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <cstdlib>
#include <iterator>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "models/measurements/ber_charts.h"
#include "tests/xu/qxy_collect.h"
#include "tools/chart_tool.h"

namespace nodrix::testing {
namespace {

class ChartTool : public NodrixTest {};

struct Result {  // err: the tool's own diagnostics
    int status;
    std::string out, err;
    bool operator==(const Result&) const = default;
};
void PrintTo(const Result& r, std::ostream* os) { *os << r.status << ", out \"" << r.out << "\", err \"" << r.err << '"'; }

Result tool(std::vector<const char*> words) {
    words.insert(words.begin(), "nodrix-chart");
    std::ostringstream out, err;
    ::testing::internal::CaptureStderr();  // the message layer's lines: the reader's tests
    const int status = chart::chart_tool_main(static_cast<int>(words.size()), words.data(), out, err);
    ::testing::internal::GetCapturedStderr();
    return {status, out.str(), err.str()};
}

// Two XY charts: (time, level) with 3 rows, and one integer column with 2 rows.
std::vector<TestChart> two_charts() {
    TestChart a;
    a.header = QxyChartHeader{.GraphStyle = -1, .SamplesNum = 3, .ColumnNum = 2};
    qxy_set_text(a.header.Title, "Eye, channel 1");
    qxy_set_text(a.header.LabelY, "Level");
    qxy_set_text(a.header.MeasureY, "mA");
    a.columns = {column(0, kQxyDouble, P::of_double(0.0), P::of_double(2.0), "Time", "ps"),
                 column(1, kQxyDouble, P::of_double(-1.0), P::of_double(1.0), "Level, \"mean\"", "mA")};
    for (const auto& [t, v] : {std::pair{0.0, -0.5}, {1.0, 0.1}, {2.0, 0.75}})
        a.rows.push_back({P::of_double(t), P::of_double(v)});
    return {a, {.header = {.SamplesNum = 2, .ColumnNum = 1}, .columns = {column(0, kQxyInt, P::of_int(0), P::of_int(9), "", "")},
                .rows = {{P::of_int(4)}, {P::of_int(-2)}}}};
}

// Files left in the test's directory whose name holds `part`.
int files_named(const std::string& part) {
    int n = 0;
    for (const auto& e : std::filesystem::directory_iterator("."))
        if (e.path().filename().string().find(part) != std::string::npos) ++n;
    return n;
}

TEST_F(ChartTool, BadOptionValuesAreRefusedWithTheirReason) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {  // the file, chart and output taken, or why not
        {{"f.qxy"}, "f.qxy 0 "},
        {{"-c3", "f.qxy"}, "f.qxy 3 "},
        {{"f.qxy", "--chart=4", "--output=o.csv"}, "f.qxy 4 o.csv"},
        {{"f.qxy", "-o", "out.csv", "--chart", "1"}, "f.qxy 1 out.csv"},
        {{"f.qxy", "-c", "2x"}, "refused: chart number must be a whole number from 0, not \"2x\""},
        {{"f.qxy", "g.qxy"}, "refused: more than one file given (f.qxy, g.qxy)"},
    };
    for (const auto& [args, want] : cases) {
        chart::ToolOptions o;
        std::string error;
        const bool ok = chart::parse_tool_options(args, "co", o, error);
        EXPECT_EQ((ok ? o.file + " " + std::to_string(o.chart) + " " + o.output : "refused: ") + error, want);
    }
}

TEST_F(ChartTool, CsvQuotesLabelsKeepsEveryDigitAndAddsTheAxis) {
    ASSERT_TRUE(write_file("two.qxy", kQxyXY, two_charts()));
    EXPECT_EQ(tool({"csv", "two.qxy"}),
              (Result{0, "Time [ps],\"Level, \"\"mean\"\" [mA]\"\n0,-0.5\n1,0.10000000000000001\n2,0.75\n", ""}));
    EXPECT_EQ(tool({"csv", "two.qxy", "-c", "1"}), (Result{0, "value\n4\n-2\n", ""}));
    // Spectra and signals get their axis as the first column.
    ASSERT_TRUE(write_signal("o.qsg", {.type = 2, .columns = 2, .samples = 2, .delt = 0.25, .tstart = 10.0},
                             {1.0, -1.0, 2.0, -2.0}));
    EXPECT_EQ(tool({"csv", "o.qsg"}).out, "time [ps],re,im\n10,1,-1\n10.25,2,-2\n");
}

TEST_F(ChartTool, UnreadableInputsAndOutputOverTheInputAreRefused) {
    ASSERT_TRUE(write_file("two.qxy", kQxyXY, two_charts()));
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
    for (const auto& [words, err] : cases) EXPECT_EQ(tool(words), (Result{1, "", err}));
    const Result again = tool({"info", "two.qxy"});
    EXPECT_EQ(again.status, 0) << "the refused output left its input intact: " << again.err;
}

// The standard output on a full disk: the failure shows at the flush.
TEST_F(ChartTool, AFailedStandardOutputIsReported) {
    ASSERT_TRUE(write_file("two.qxy", kQxyXY, two_charts()));
    std::ofstream full("/dev/full");
    const char* words[] = {"nodrix-chart", "csv", "two.qxy"};
    std::ostringstream err;
    EXPECT_EQ(chart::chart_tool_main(3, words, full, err), 1);
    EXPECT_EQ(err.str(), "nodrix-chart: cannot write the output: No space left on device\n");
}

TEST_F(ChartTool, PlotLeavesACompleteImageAndNoPartFile) {
    ::unsetenv("NODRIX_GNUPLOT");
    ChartPoints ber, q;
    for (const auto& [t, v] : {std::pair{-40.0, 1e-6}, {0.0, 1e-12}, {40.0, 1e-7}}) ber.add(t, v);
    for (const auto& [t, v] : {std::pair{-40.0, 12.0}, {0.0, 17.5}}) q.add(t, v);
    ASSERT_TRUE(write_estimator_charts("est.qxy", kBerInstantChart, ber, &kQChart, &q));
    std::vector<double> eye;
    for (int i = 0; i < 40; ++i) eye.push_back((i / 8) % 3 == 0 ? 1.0 : 0.0);
    ASSERT_TRUE(write_signal("eye.qsg", {.samples = 40, .samples_per_bit = 8, .delt = 12.5}, eye));

    const std::pair<std::vector<const char*>, std::string> cases[] = {
        {{"plot", "est.qxy", "-o", "ber.png"}, "Wrote ber.png: chart 0 of 2, \"BER vs. Sampling Instant\"\n"},
        {{"plot", "eye.qsg", "-o", "eye.svg"}, "Wrote eye.svg: chart 0 of 1, \"Eye diagram: eye.qsg\"\n"},
    };
    for (const auto& [words, written] : cases) {
        const std::string output = words.back();
        EXPECT_EQ(tool(words), (Result{0, written, ""}));
        // The image drawn, whole (the tool checks that), is what was written: a
        // PNG's signature, the SVG's title.
        const std::string image = read_text(output);
        ASSERT_GT(image.size(), 100u) << output;
        EXPECT_NE(output.ends_with(".png") ? image.rfind("\x89PNG\r\n\x1A\n", 0) : image.find(">Eye diagram: eye.qsg</text>"),
                  std::string::npos) << output;
    }
    EXPECT_EQ(files_named(".part"), 0);  // no drawing file is left behind
}

TEST_F(ChartTool, PlotFailuresKeepAnEarlierImage) {
    ::unsetenv("NODRIX_GNUPLOT");
    ASSERT_TRUE(write_file("two.qxy", kQxyXY, two_charts()));
    ASSERT_TRUE(qsp1_write("empty.qsp", {}, std::vector<double>{}));
    write_text("old.png", "an older image");
    struct Case { const char* gnuplot; std::vector<const char*> words; int status; std::string err; };  // gnuplot: NODRIX_GNUPLOT
    const Case cases[] = {
        {nullptr, {"plot", "two.qxy"}, 2, "nodrix-chart plot: name the image with -o OUT.png or -o OUT.svg\n"},
        {nullptr, {"plot", "two.qxy", "-o", "a\nb.png"}, 2, "nodrix-chart plot: the image name holds a control character\n"},
        // Nothing to draw: gnuplot is not run.
        {nullptr, {"plot", "empty.qsp", "-o", "e.png"}, 1, "nodrix-chart: empty.qsp: chart 0 holds no rows to plot\n"},
        // gnuplot missing, failing, or not drawing: an image already there is left as it was.
        {"./no-such-dir/gnuplot", {"plot", "two.qxy", "-o", "old.png"}, 1,
         "nodrix-chart plot: cannot run ./no-such-dir/gnuplot: No such file or directory (install the package "
         "gnuplot-nox, or name the program in NODRIX_GNUPLOT)\n"},
        {"false", {"plot", "two.qxy", "-o", "old.png"}, 1, "nodrix-chart plot: false failed (exit status 1)\n"},
        {"true", {"plot", "two.qxy", "-o", "old.png"}, 1, "nodrix-chart plot: true ended without drawing the image\n"},
        {"./half-png", {"plot", "two.qxy", "-o", "old.png"}, 1,
         "nodrix-chart plot: ./half-png drew no whole image: the PNG image is cut short (it does not end with its "
         "IEND chunk)\n"},
    };
    // A drawing program that stops after the PNG signature.
    write_text("half-png", "#!/bin/sh\nprintf '\\211PNG\\r\\n\\032\\n'\n");
    std::filesystem::permissions("half-png", std::filesystem::perms::owner_all);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.err);
        if (c.gnuplot != nullptr) ::setenv("NODRIX_GNUPLOT", c.gnuplot, 1);
        EXPECT_EQ(tool(c.words), (Result{c.status, "", c.err}));
        ::unsetenv("NODRIX_GNUPLOT");
    }
    EXPECT_EQ(read_text("old.png"), "an older image");
    EXPECT_FALSE(std::filesystem::exists("e.png"));
    EXPECT_EQ(files_named(".part"), 0);
}

// An output that cannot take the file whole: a pipe (a device node is refused
// the same way), a full disk (images on one: the sweep's plots). Each is an
// error naming the file and why; the pipe is left as it was, and an earlier
// file under the name too, with no part file left.
TEST_F(ChartTool, AnOutputThatCannotTakeTheWholeFileIsAnErrorAndKeepsWhatWasThere) {
    ::unsetenv("NODRIX_GNUPLOT");
    std::vector<double> signal;
    for (int i = 0; i < 2000; ++i) signal.push_back(std::sin(0.01 * i) + 1e-3 * (i % 7));  // a CSV and images of tens of KiB
    ASSERT_TRUE(write_signal("s.qsg", {.samples = 2000, .samples_per_bit = 8, .delt = 1.0}, signal));
    for (const char* pipe : {"pipe.csv", "pipe.png"}) ASSERT_EQ(::mkfifo(pipe, 0644), 0);
    const SmallDisk disk("disk", 64, 8);
    const std::string refused = "it is not a regular file (a device, a pipe or a socket)";
    std::vector<std::pair<std::string, std::string>> cases = {{"pipe.csv", refused}, {"pipe.png", refused}};  // output, why
    if (disk.unavailable.empty()) {
        write_text("disk/old.png", "an older image");
        for (const char* full : {"disk/old.png", "disk/e.csv"}) cases.push_back({full, "No space left on device"});
    }
    for (const auto& [output, why] : cases)
        EXPECT_EQ(tool({output.ends_with(".csv") ? "csv" : "plot", "s.qsg", "-o", output.c_str()}),
                  (Result{1, "", "nodrix-chart: cannot write " + output + ": " + why + "\n"}));
    struct stat st {};
    EXPECT_TRUE(::stat("pipe.csv", &st) == 0 && S_ISFIFO(st.st_mode) && ::stat("pipe.png", &st) == 0 && S_ISFIFO(st.st_mode));
    EXPECT_EQ(files_named(".part"), 0);
    if (!disk.unavailable.empty()) GTEST_SKIP() << "the pipes were checked; " << disk.unavailable;
    EXPECT_EQ(read_text("disk/old.png"), "an older image");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator("disk"), std::filesystem::directory_iterator()), 2);
}

// A file cut where its form tells it (before a compact file's first chart)
// is damage; where it cannot tell, info says so.
TEST_F(ChartTool, ACutFileIsDamageWhereTheFormTellsAndInfoSaysWhereItCannot) {
    ChartPoints ber;
    for (const auto& [t, v] : {std::pair{-40.0, 1e-6}, {0.0, 1e-12}}) ber.add(t, v);
    ASSERT_TRUE(write_estimator_charts("one.qxy", kBerInstantChart, ber, nullptr, nullptr));
    ASSERT_TRUE(qsp1_write("s.qsp", {.frequency_step = 0.5, .start_frequency = 193.0}, std::vector<double>{1.0, 2.0}));
    ASSERT_TRUE(write_signal("u.qsg", {.samples = 0, .samples_per_bit = 2, .delt = 1.0}, {1.0, 0.0, 1.0}));
    const std::vector<unsigned char> one = read_bytes("one.qxy");
    write_bytes("head.qxy", {one.begin(), one.begin() + 36});
    const std::tuple<const char*, int, std::string> cases[] = {  // file, status, a line of info or the error
        {"one.qxy", 0, "Charts: 1 (the form does not record how many: a file cut between two charts reads as whole)\n"},
        {"s.qsp", 0, "Charts: 1\n"},
        {"u.qsg", 0, "  Rows: 3 (the header states no count: a file cut between two rows reads as whole)\n"},
        {"head.qxy", 1, "nodrix-chart: head.qxy: the file ends inside a chart or cannot be read (truncated or damaged)\n"},
    };
    for (const auto& [file, status, said] : cases) {
        const Result r = tool({"info", file});
        EXPECT_EQ(r.status, status) << file;
        EXPECT_NE((status == 0 ? r.out : r.err).find(said), std::string::npos) << r.out << r.err;
    }
}

}  // namespace
}  // namespace nodrix::testing
