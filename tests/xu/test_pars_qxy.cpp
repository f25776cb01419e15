// Chart reader: hand-built files of the forms and sections that only the reader
// meets, chart positioning, row blocks, truncation at every byte, and every
// failure with its message and code.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/xu/qxy_collect.h"

namespace nodrix::testing {
namespace {

class ParsQxy : public NodrixTest {};

// A version 3 file with one chart of one float column and one row (1.5);
// every field that the failure cases spoil can be set.
struct V3 {
    std::string magic = "NodrixXY 3";
    int bom = 1, chart_mark = 1, column_mark = 4, columns_end = 0, row_mark = 5;
    std::int32_t header_end = 0, samples = 1, columns = 1, title_length = 2, column_type = kQxyDouble;

    Bytes bytes() const {
        Bytes e;
        e.sz({magic}).u8({bom}).i32({7, 5, 16, 1, 7, header_end}).u8({chart_mark}).i32({0, -1, samples, columns});
        e.lp_n("Q", title_length).u8({2}).lp({"Y", "u"}).u8({3}).f64({1.0, 2.0}).i32({3}).f64({4.0, 5.0, 6.0});
        e.u8({0, column_mark}).i32({column_type}).f64({1.5, 1.5}).i32({0}).f64({0.0}).lp({"x", "s"});
        return e.u8({columns_end, row_mark}).f64({1.5}).u8({0});
    }
};

// A version 1 or 2 signal file.
struct Sgn {
    int version = 2;
    std::int32_t type = 1, stored_columns = 1, samples = 2, end = 0;
    std::vector<double> values = {0.5, -0.5};

    Bytes bytes() const {
        Bytes e;
        e.sz({"NodrixSgn  " + std::to_string(version)}).i32({type});
        if (version >= 2) e.i32({5, 16, 1, 7});
        e.i32({stored_columns, samples, 8}).f64({-0.5, 0.5, 0.25, 10.0, 193.1}).i32({end});
        for (const double v : values) e.f64({v});
        return e;
    }
};

// A version 1 spectrum file of two values.
struct Spr {
    std::int32_t header_end = 0, chart_end = 0, data_end = 0;

    Bytes bytes() const {
        return Bytes().sz({"NodrixSpr  1"}).i32({4, 5, 16, 1, 7}).f64({0.064, 193.1}).i32({header_end, 2})
            .f64({0.01, 193.0, 193.01, -60.0, -3.0}).i32({chart_end}).f64({-60.0, -3.0}).i32({data_end});
    }
};

// A version 1 XY file of one chart with two points; the chart starts at byte 36.
struct OldXY {
    std::int32_t type = 7, samples = 2, chart_header_end = 0, chart_end = 0;

    Bytes bytes() const {
        return Bytes().sz({"NodrixXY  1"}).i32({type, 5, 16, 1, 7, 0, samples}).f64({-1.0, 4.0})
            .sz({"Q chart", "Time", "ps", "Q", "dB"}).i32({chart_header_end}).f64({0.0, -1.0, 1.0, 4.0})
            .i32({chart_end});
    }
    // The file with its chart repeated, the second titled "S chart".
    static Bytes twice() {
        Bytes b = OldXY{}.bytes();
        const std::vector<unsigned char> chart(b.begin() + 36, b.end());
        b.insert(b.end(), chart.begin(), chart.end());
        b[36 + chart.size() + 20] = 'S';
        return b;
    }
};

const std::string kXYHead = "NodrixExpXY, 4\nType, 7\n";
const std::string kColumn =
    "ColumnBegin\nType,3\nMinimum,0\nMaximum,1\nStartingScale,0\nOrdering,0\nLabel,x\nMeasure,s\nColumnEnd\n";
std::string xy_chart(const std::string& title, int rows, int columns) {
    return "ChartType,1\nGraphStyle,-1\nSamplesNum," + std::to_string(rows) + "\nColumnNum," +
           std::to_string(columns) + "\nTitle," + title + "\nLabelY,Y\nMeasureY,u\n";
}
const std::string kOldTextXY =
    "NodrixExpXY  3\nType  7\nTitle Eye closure\nSamplesNum 2\nMinimum -1\nMaximum 1\nLabelX Time\nMeasureX ps\n"
    "LabelY Level\nMeasureY mA\n+0 -1\n+1 +1\n";

TEST_F(ParsQxy, VersionThreeOptionalSections) {
    // A header that ends after its title, and one that skips the labels.
    Bytes b = Bytes().sz({"NodrixXY 3"}).u8({1}).i32({7, 5, 16, 1, 7, 0});
    b.u8({1}).i32({4, 9, 1, 0}).lp({"bare"}).u8({0, 0, 5, 0});  // no columns, one empty row
    b.u8({1}).i32({0, 0, 0, 0}).lp({"timing only"}).u8({3}).f64({7.0, 7.0}).i32({8}).f64({9.0, 9.0, 9.0});
    write_bytes("opt.QXY", b.u8({0, 0, 0}));
    TestChart bare{.header = {.ChartType = 4, .GraphStyle = 9, .SamplesNum = 1}, .columns = {}, .rows = {{}}};
    TestChart timing{.header = {.Fsym = 7.0, .Delt = 7.0, .SamplesPerBit = 8, .Tstart = 9.0, .StopFrequency = 9.0,
                                .FrequencyStep = 9.0}};
    qxy_set_text(bare.header.Title, "bare");
    qxy_set_text(timing.header.Title, "timing only");
    expect_reads_as("opt.QXY", {bare, timing});
}

TEST_F(ParsQxy, SignalFiles) {
    // Columns follow the type (type 6: the stored count); version 1 holds the
    // type word alone.
    struct Case { int version; std::int32_t type, stored, columns; };
    for (const Case c : {Case{2, 1, 1, 1}, Case{2, 2, 9, 2}, Case{2, 3, 9, 4}, Case{2, 6, 3, 3}, Case{1, 1, 1, 1}}) {
        SCOPED_TRACE(c.type);
        Sgn s{.version = c.version, .type = c.type, .stored_columns = c.stored};
        s.values.assign(static_cast<std::size_t>(2 * c.columns), 0.0);
        s.values.back() = 0.75;
        write_bytes("sig.qsg", s.bytes());
        const Outcome r = run("sig.qsg");
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(r.got.version, c.version);
        EXPECT_EQ(r.got.file.words[0], c.type);
        ASSERT_EQ(r.got.charts.size(), 1u);
        const TestChart& g = r.got.charts[0];
        EXPECT_EQ(g.header.ColumnNum, c.columns);
        EXPECT_EQ(g.header.SamplesPerBit, 8);
        EXPECT_EQ(g.header.Fsym, 193.1);
        ASSERT_EQ(g.columns.size(), static_cast<std::size_t>(c.columns));
        EXPECT_EQ(g.columns.back().Minimum.d, -0.5);
        ASSERT_EQ(g.rows.size(), 2u);
        EXPECT_EQ(g.rows[1].back().d, 0.75);
    }
    // A signal whose header was never rewritten (count 0): rows up to the end.
    write_bytes("open.qsg", Sgn{.samples = 0, .values = {1.0, 2.0, 3.0}}.bytes());
    EXPECT_EQ(run("open.qsg").got.charts.at(0).rows.size(), 3u);
}

TEST_F(ParsQxy, TextForms) {
    // CR LF line ends, blank lines and header keywords in another order read
    // as the file of the writer does.
    ASSERT_TRUE(write_file("plain.csv", kQxyXY, {signal_chart(kQxyXY, 2)}));
    std::string crlf = read_text("plain.csv");
    const std::string key = "ColumnNum,2\n";
    crlf.erase(crlf.find(key), key.size());
    crlf.insert(crlf.find("ChartType"), "  \n" + key);
    for (std::size_t at = crlf.find('\n'); at != std::string::npos; at = crlf.find('\n', at + 2)) crlf.insert(at, "\r");
    write_text("crlf.csv", crlf);
    Outcome r = run("plain.csv");
    ASSERT_EQ(r.code, 0) << r.err;
    expect_reads_as("crlf.csv", r.got.charts);

    // The older text XY chart (version 3): two columns made by the reader.
    write_text("old.prn", kOldTextXY);
    r = run("old.prn");
    ASSERT_EQ(r.code, 0) << r.err;
    ASSERT_EQ(r.got.charts.size(), 1u);
    const TestChart& old = r.got.charts[0];
    EXPECT_STREQ(old.header.Title, "Eye closure");
    EXPECT_STREQ(old.columns.at(0).Label, "Time");
    EXPECT_STREQ(old.columns.at(1).Measure, "mA");
    EXPECT_EQ(old.columns[1].Maximum.d, 1.0);
    EXPECT_EQ(old.rows.at(0).at(1).d, -1.0);

    // Rows of unknown count (SamplesNum 0) end at the next chart header.
    write_text("open.csv", kXYHead + xy_chart("empty", 0, 0) + xy_chart("open", 0, 1) + kColumn + "1\n2\n-3\n" +
                               xy_chart("last", 1, 1) + kColumn + "7\n");
    r = run("open.csv");
    ASSERT_EQ(r.code, 0) << r.err;
    ASSERT_EQ(r.got.charts.size(), 3u);
    EXPECT_EQ(r.got.charts[0].rows.size(), 0u);
    EXPECT_EQ(r.got.charts[1].rows.size(), 3u);
    EXPECT_EQ(r.got.charts[1].rows[2][0].d, -3.0);
    EXPECT_STREQ(r.got.charts[2].header.Title, "last");
    EXPECT_EQ(r.got.charts[2].rows[0][0].d, 7.0);
}

// Files of the writer (and an older text XY chart) with one header line
// changed: "SampleNum" is accepted for signal files only; a "Polarization"
// other than 1 or 2 is a format error.
TEST_F(ParsQxy, SampleNumAndPolarization) {
    struct Case { std::int32_t type, columns; std::string from, to; int code; };
    const Case cases[] = {
        {1, 1, "SamplesNum", "SampleNum", 0},         {2, 2, "SamplesNum", "SampleNum", 0},
        {6, 2, "SamplesNum", "SampleNum", 0},         {4, 1, "SamplesNum", "SampleNum", -1},
        {7, 2, "SamplesNum", "SampleNum", -1},        {0, 2, "SamplesNum", "SampleNum", -1},  // older text XY
        {3, 4, "Polarization 2", "Polarization 3", -2}, {3, 4, "Polarization 2", "Polarization 0", -2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.type) + " " + c.to);
        if (c.type == 0) write_text("h.prn", kOldTextXY);
        else ASSERT_TRUE(write_file("h.prn", c.type, {signal_chart(c.type, c.columns)}));
        std::string text = read_text("h.prn");
        text.replace(text.find(c.from), c.from.size(), c.to);
        write_text("h.prn", text);
        const Outcome r = run("h.prn");
        EXPECT_EQ(r.code, c.code);
        EXPECT_EQ(r.err, c.code == -1 ? "Nodrix-E-One/some parameter not found for header\n" : "");
        if (c.code == 0) {
            ASSERT_EQ(r.got.charts.size(), 1u);
            EXPECT_EQ(r.got.charts[0].header.SamplesNum, 1);
            EXPECT_EQ(r.got.charts[0].rows.size(), 1u);
        }
    }
}

// Reading one chart by its number gives that chart alone, after the header
// records, in every form; a number past the last chart reads none.
TEST_F(ParsQxy, ChartByNumber) {
    std::vector<TestChart> two(2), signals;
    for (int k = 0; k < 2; ++k) {
        two[k].header = {.SamplesNum = 1 + k, .ColumnNum = 1};
        qxy_set_text(two[k].header.Title, k == 0 ? "first" : "second");
        two[k].columns = {column(0, kQxyDouble, P{}, P{}, "", "")};
        for (int j = 0; j <= k; ++j) two[k].rows.push_back({P::of_double(10.0 * k + j)});
    }
    ASSERT_TRUE(write_file("two.qxy", kQxyXY, two));
    ASSERT_TRUE(write_file("two.csv", kQxyXY, two));
    write_bytes("two_old.qxy", OldXY::twice());
    TestChart sig = signal_chart(kQxyElectricalSignal, 1);
    sig.rows.clear();
    for (int k = 0; k < 3; ++k) {
        sig.header.SamplesNum = k + 1;
        sig.rows.push_back({P::of_double(k)});
        signals.push_back(sig);
    }
    ASSERT_TRUE(write_file("three.ssv", kQxyElectricalSignal, signals));

    for (const char* path : {"two.qxy", "two.csv", "two_old.qxy", "three.ssv"}) {
        SCOPED_TRACE(path);
        const Outcome all = run(path);
        ASSERT_EQ(all.code, 0) << all.err;
        const int count = static_cast<int>(all.got.charts.size());
        ASSERT_EQ(count, path[1] == 'h' ? 3 : 2);
        for (int n = 0; n < count; ++n) {
            const Outcome one = run(path, n);
            ASSERT_EQ(one.code, 0) << one.err;
            ASSERT_EQ(one.got.charts.size(), 1u);
            EXPECT_EQ(describe(one.got.charts[0]), describe(all.got.charts[static_cast<std::size_t>(n)]));
            EXPECT_EQ(one.got.kinds[0], kQxyRecVersion);
            EXPECT_EQ(one.got.kinds[1], kQxyRecFileHeader);
        }
        const Outcome none = run(path, count);
        EXPECT_EQ(none.code, 0);
        EXPECT_TRUE(none.got.charts.empty());
    }
    EXPECT_STREQ(run("two.qxy", 1).got.charts[0].header.Title, "second");
    EXPECT_STREQ(run("two_old.qxy", 1).got.charts[0].header.Title, "S chart");
    EXPECT_EQ(run("three.ssv", 2).got.charts[0].rows.size(), 3u);
}

TEST_F(ParsQxy, RowsInBlocksOfAThousand) {
    std::vector<double> y(2500);
    TestChart ch{.header = {.SamplesNum = 2500, .ColumnNum = 2}};
    ch.columns = {column(0, kQxyDouble, P{}, P{}, "k", ""), column(1, kQxyInt, P{}, P{}, "n", "")};
    for (int k = 0; k < 2500; ++k) {
        ch.rows.push_back({P::of_double(k), P::of_int(k)});
        y[static_cast<std::size_t>(k)] = k;
    }
    ASSERT_TRUE(write_file("big3.qxy", kQxyXY, {ch}));
    ASSERT_TRUE(write_file("big.csv", kQxyXY, {ch}));
    write_bytes("big.qsg", Sgn{.samples = 2500, .values = y}.bytes());

    for (const char* path : {"big3.qxy", "big.csv", "big.qsg"}) {
        SCOPED_TRACE(path);
        Collected got;
        XuParsQxy* c = xu_ParsQxyInit(nullptr, path, collect_record, &got);
        ASSERT_NE(c, nullptr);
        ASSERT_EQ(xu_ParsQxyHeader(c), 0);
        ASSERT_EQ(xu_ParsQxyChartHeader(c), 1);
        for (const int n : {1000, 1000, 500, 0}) EXPECT_EQ(xu_ParsQxyChartData(c, 1000), n);
        EXPECT_EQ(xu_ParsQxyChartHeader(c), 0);
        EXPECT_EQ(xu_ParsQxyEnd(c), 0);
        ASSERT_EQ(got.charts.size(), 1u);
        ASSERT_EQ(got.charts[0].rows.size(), 2500u);
        EXPECT_EQ(got.charts[0].rows[2499].back().value(), 2499.0);
    }

    // A chart header read in the middle of a chart skips the rest of its rows;
    // positioning again goes back to the start.
    Collected got;
    XuParsQxy* c = xu_ParsQxyInit(nullptr, "big3.qxy", collect_record, &got);
    ASSERT_NE(c, nullptr);
    ASSERT_EQ(xu_ParsQxyHeader(c), 0);
    ASSERT_EQ(xu_ParsQxyChartHeader(c), 1);
    EXPECT_EQ(xu_ParsQxyChartData(c, 10), 10);
    EXPECT_EQ(xu_ParsQxyChartHeader(c), 0);
    EXPECT_EQ(got.charts[0].rows.size(), 10u);
    EXPECT_EQ(xu_ParsQxyChartSetPos(c, 0), 0);
    EXPECT_EQ(xu_ParsQxyChartHeader(c), 1);
    EXPECT_EQ(got.charts.size(), 2u);
    EXPECT_EQ(xu_ParsQxyEnd(c), 0);
}

TEST_F(ParsQxy, RecordOrderAndCallbackRefusal) {
    write_bytes("a.qxy", V3{}.bytes());
    Collected all;
    ASSERT_EQ(parse_file("a.qxy", all), 0);
    EXPECT_EQ(all.kinds, (std::vector<int>{1, 2, 3, 6, 7}));
    for (const int kind : {1, 2, 3, 6, 7}) {
        Collected got;
        got.refuse_kind = kind;
        EXPECT_EQ(parse_file("a.qxy", got), -3) << kind;
        EXPECT_EQ(got.kinds.back(), kind);
    }
    write_text("xy.csv", kXYHead + xy_chart("T", 2, 1) + kColumn + "+0\n+1\n");
    Collected got;
    got.refuse_after_rows = 0;
    EXPECT_EQ(parse_file("xy.csv", got), -3);
    EXPECT_EQ(got.charts[0].rows.size(), 1u);
}

// Each failure gives its code and exactly its message (or none); a few odd
// files that read without failure stand among them.
TEST_F(ParsQxy, FailureTable) {
    std::filesystem::create_directory("dir.qxy");
    struct Case { std::string name, content; int code; std::string err; };  // content "-": not written
    const auto bin = [](const Bytes& b) { return std::string(b.begin(), b.end()); };
    const auto v3 = [&](auto change) {
        V3 v;
        change(v);
        return bin(v.bytes());
    };
    // A valid text XY chart of one float column and one row, with substitutions.
    const auto xy = [](std::vector<std::pair<std::string, std::string>> subs) {
        std::string s = kXYHead + xy_chart("T", 1, 1) + kColumn + "+1\n";
        for (const auto& [from, to] : subs) s.replace(s.find(from), from.size(), to);
        return s;
    };
    const std::string hdr = "Nodrix-E-Cannot read Header section\n";
    const std::string missing_key = "Nodrix-E-One/some parameter not found for header\n";
    const Case cases[] = {
        {"missing.qxy", "-", -2, "Nodrix-E-File missing.qxy not found\n"},
        {"missing.csv", "-", -2, "Nodrix-E-File missing.csv not found\n"},
        {"dir.qxy", "-", -2, "Nodrix-E-File dir.qxy not found\n"},
        {"magic.qxy", v3([](V3& v) { v.magic = "NodrixXQ 3"; }), -2, hdr},
        {"nonul.qsg", std::string(300, 'A'), -2, hdr},
        {"magic.csv", "Hello, 4\n", -2, hdr},
        {"notype.csv", "NodrixExpXY, 4\nTipe, 7\n", -2, hdr},
        {"bom.qxy", v3([](V3& v) { v.bom = 2; }), -2, "Nodrix-E-Byte Order invalid\n"},
        {"hdrend.qxy", v3([](V3& v) { v.header_end = 5; }), -2, ""},
        {"mark.qxy", v3([](V3& v) { v.chart_mark = 7; }), -2, ""},
        {"colmark.qxy", v3([](V3& v) { v.column_mark = 2; }), -2, ""},
        {"colend.qxy", v3([](V3& v) { v.columns_end = 4; }), -2, ""},
        {"rowmark.qxy", v3([](V3& v) { v.row_mark = 9; }), -2, ""},
        {"coltype.qxy", v3([](V3& v) { v.column_type = 4; }), -2, "Nodrix-E-Bad column type 4\n"},
        {"negsamples.qxy", v3([](V3& v) { v.samples = -1; }), -2, ""},
        {"negcols.qxy", v3([](V3& v) { v.columns = -4; }), -2, ""},
        {"manycols.qxy", v3([](V3& v) { v.columns = kQxyMaxColumns + 1; }), -2, ""},
        {"hugecols.qxy", v3([](V3& v) { v.columns = 2147483647; }), -2, ""},
        {"fewcols.qxy", v3([](V3& v) { v.columns = 2; }), -2, ""},
        {"hugesamples.qxy", v3([](V3& v) { v.samples = 2147483647; }), 0, ""},  // the end mark closes the chart
        {"container.bxy", v3([](V3& v) { v.magic = "QuarvinXY 1"; }), 0, ""},  // read as version 3 whatever its version
        {"empty.dat", "QuarvinXY  1\n", 0, ""},  // a text container without charts
        {"hugetext.qxy", v3([](V3& v) { v.title_length = 2147483647; }), -2, ""},
        {"zerotext.qxy", v3([](V3& v) { v.title_length = 0; }), -2, ""},
        {"shorttext.qxy", v3([](V3& v) { v.title_length = 1; }), -2, ""},
        {"sgnend.qsg", bin(Sgn{.end = 9}.bytes()), -2, "Nodrix-E-Wrong Signal Termination\n"},
        {"sgncols.qsg", bin(Sgn{.type = 6, .stored_columns = 0}.bytes()), -2, ""},
        {"sgnhuge.qsg", bin(Sgn{.type = 6, .stored_columns = 1000000000}.bytes()), -2, ""},
        {"sgnneg.qsg", bin(Sgn{.samples = -2}.bytes()), -2, ""},
        {"sgnmany.qsg", bin(Sgn{.samples = 2147483647}.bytes()), -1, ""},
        {"sgntype.qsg", bin(Sgn{.type = 12}.bytes()), -2, "Nodrix-E-Bad file type\n"},
        {"sprhdr.qsp", bin(Spr{.header_end = 1}.bytes()), -2, "Nodrix-E-Wrong Spectrum Termination\n"},
        {"sprchart.qsp", bin(Spr{.chart_end = -1}.bytes()), -2, "Nodrix-E-Wrong Spectrum Termination\n"},
        {"sprdata.qsp", bin(Spr{.data_end = 7}.bytes()), -2, ""},
        {"xyhdr.qxy", bin(OldXY{.chart_header_end = 3}.bytes()), -2, ""},
        {"xyend.qxy", bin(OldXY{.chart_end = 3}.bytes()), -2, ""},
        {"xyneg.qxy", bin(OldXY{.samples = -1}.bytes()), -2, ""},
        {"xyhuge.qxy", bin(OldXY{.samples = 2147483647}.bytes()), -1, ""},
        {"xytype.qxy", bin(OldXY{.type = 0}.bytes()), -2, "Nodrix-E-Bad file type\n"},
        {"missingkey.csv", xy({{"LabelY,Y", "Comment,none"}}), -1, missing_key},
        {"novalue.csv", xy({{"SamplesNum,1", "SamplesNum,"}}), -2, ""},
        {"badnumber.csv", xy({{"SamplesNum,1", "SamplesNum,1x"}}), -2, ""},
        {"bigcount.csv", xy({{"SamplesNum,1", "SamplesNum,99999999999"}}), -2, ""},
        {"negcount.csv", xy({{"SamplesNum,1", "SamplesNum,-3"}}), -2, ""},
        {"hugecolumns.csv", xy({{"ColumnNum,1", "ColumnNum,100000000"}}), -2, ""},
        {"nobegin.csv", xy({{"ColumnBegin", "ColumnStart"}}), -2, ""},
        {"noend.csv", xy({{"ColumnEnd", "ColumnStop"}}), -2, ""},
        {"coltype.csv", xy({{"Type,3", "Type,9"}}), -2, "Nodrix-E-Bad column type 9\n"},
        {"intminmax.csv", xy({{"Type,3", "Type,5"}, {"Minimum,0", "Minimum,0.5"}}), -2, ""},
        {"colkey.csv", xy({{"Maximum,1", "Maxi,1"}}), -1, missing_key},
        {"container.csv", "QuarvinXY, 1\nSamplesNum,1\n+1\n", -2,
         "Nodrix-E-Unable to read column header for this ascii file type\n"},
        {"spr12.csv", "NodrixExpSpr, 2\nType,12\nSamplesNum,1\n", -2, "Nodrix-E-Bad file type\n"},
        {"wide.csv", xy({{"+1\n", "+1,+2\n"}}), -2, ""},
        {"narrow.csv", xy({{"ColumnNum,1", "ColumnNum,2"}, {"ColumnEnd\n", "ColumnEnd\n" + kColumn}}), -2, ""},
        {"word.csv", xy({{"+1\n", "+1x\n"}}), -2, ""},
        {"introw.csv", xy({{"Type,3", "Type,5"}, {"+1\n", "1.5\n"}}), -2, ""},
        {"nolf.csv", xy({{"+1\n", "+1"}}), -1, ""},
        {"fewrows.csv", xy({{"+1\n", ""}}), -1, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.content != "-") write_text(c.name, c.content);
        const Outcome r = run(c.name);
        EXPECT_EQ(r.code, c.code);
        EXPECT_EQ(r.err, c.err);
    }
}

// Truncating a valid file at any byte gives -2 with its message inside the
// magic line, success at the end of a chart (with the charts read so far),
// and -1 anywhere else.
void check_truncations(const std::string& path, const std::vector<unsigned char>& bytes, std::size_t magic_end,
                       const std::vector<std::pair<std::size_t, std::size_t>>& clean) {
    SCOPED_TRACE(path);
    for (std::size_t n = 0; n < bytes.size(); ++n) {
        SCOPED_TRACE(n);
        write_bytes(path, std::vector<unsigned char>(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n)));
        const Outcome r = run(path);
        const auto at = std::find_if(clean.begin(), clean.end(), [n](const auto& c) { return c.first == n; });
        EXPECT_EQ(r.code, n < magic_end ? -2 : at == clean.end() ? -1 : 0);
        EXPECT_EQ(r.err, n < magic_end ? "Nodrix-E-Cannot read Header section\n" : "");
        if (at != clean.end()) {
            EXPECT_EQ(r.got.charts.size(), at->second);
        }
    }
    write_bytes(path, bytes);
    EXPECT_EQ(run(path).code, 0);
}

TEST_F(ParsQxy, TruncationAtEveryByte) {
    TestChart ch{.header = {.SamplesNum = 2, .ColumnNum = 2}};
    qxy_set_text(ch.header.Title, "t");
    ch.columns = {column(0, kQxyDouble, P{}, P{}, "a", "b"), column(1, kQxyInt, P{}, P{}, "c", "")};
    ch.rows = {{P::of_double(1.0), P::of_int(2)}, {P::of_double(3.0), P::of_int(4)}};
    ASSERT_TRUE(write_file("v3.qxy", kQxyXY, {ch, ch}));
    const std::vector<unsigned char> v3 = read_bytes("v3.qxy");
    const std::size_t head = 11 + 1 + 24, chart = (v3.size() - head - 2) / 2;
    check_truncations("t.qxy", v3, 11, {{head, 0}, {head + chart, 1}, {head + chart + 1, 1}, {v3.size() - 1, 2}});

    ASSERT_TRUE(write_file("t.csv", kQxyXY, {ch, ch}));
    const std::string text = read_text("t.csv");
    const std::size_t text_head = text.find("ChartType"), text_chart = (text.size() - text_head) / 2;
    check_truncations("t.csv", {text.begin(), text.end()}, text_head, {{text_head, 0}, {text_head + text_chart, 1}});

    check_truncations("t2.qxy", OldXY::twice(), 12, {{36, 0}, {OldXY{}.bytes().size(), 1}});
    check_truncations("t.qsp", Spr{}.bytes(), 13, {{53, 0}});
    check_truncations("t.qsg", Sgn{}.bytes(), 13, {{33, 0}});
}

}  // namespace
}  // namespace nodrix::testing
