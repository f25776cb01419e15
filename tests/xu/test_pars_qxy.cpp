// Chart reader: the text forms' tolerances, chart positioning, row blocks,
// truncation at every byte, and damaged fields with their message and code.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
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
    std::int32_t header_end = 0, samples = 1, columns = 1, column_type = kQxyDouble;

    Bytes bytes() const {
        Bytes e;
        e.sz({magic}).u8({bom}).i32({7, 5, 16, 1, 7, header_end}).u8({chart_mark}).i32({0, -1, samples, columns});
        e.lp({"Q"}).u8({2}).lp({"Y", "u"}).u8({3}).f64({1.0, 2.0}).i32({3}).f64({4.0, 5.0, 6.0});
        e.u8({0, column_mark}).i32({column_type}).f64({1.5, 1.5}).i32({0}).f64({0.0}).lp({"x", "s"});
        return e.u8({columns_end, row_mark}).f64({1.5}).u8({0});
    }
};

// A version 2 signal file.
struct Sgn {
    std::int32_t type = 1, samples = 2, end = 0;
    std::vector<double> values = {0.5, -0.5};

    Bytes bytes() const {
        Bytes e;
        e.sz({"NodrixSgn  2"}).i32({type, 5, 16, 1, 7, 1, samples, 8}).f64({-0.5, 0.5, 0.25, 10.0, 193.1}).i32({end});
        for (const double v : values) e.f64({v});
        return e;
    }
};

// A version 1 spectrum file of two values.
struct Spr {
    std::int32_t header_end = 0;

    Bytes bytes() const {
        return Bytes().sz({"NodrixSpr  1"}).i32({4, 5, 16, 1, 7}).f64({0.064, 193.1}).i32({header_end, 2})
            .f64({0.01, 193.0, 193.01, -60.0, -3.0}).i32({0}).f64({-60.0, -3.0}).i32({0});
    }
};

// A version 1 XY file of one chart with two points; the chart starts at byte 36.
struct OldXY {
    std::int32_t type = 7;

    Bytes bytes() const {
        return Bytes().sz({"NodrixXY  1"}).i32({type, 5, 16, 1, 7, 0, 2}).f64({-1.0, 4.0})
            .sz({"Q chart", "Time", "ps", "Q", "dB"}).i32({0}).f64({0.0, -1.0, 1.0, 4.0}).i32({0});
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

// A text XY file of one float column and one row.
const std::string kTextXY =
    "NodrixExpXY, 4\nType, 7\nChartType,1\nGraphStyle,-1\nSamplesNum,1\nColumnNum,1\nTitle,T\nLabelY,Y\n"
    "MeasureY,u\nColumnBegin\nType,3\nMinimum,0\nMaximum,1\nStartingScale,0\nOrdering,0\nLabel,x\nMeasure,s\n"
    "ColumnEnd\n+1\n";

TEST_F(ParsQxy, RowsComeInBlocksOfTheAskedSizeInEveryForm) {
    TestChart ch{.header = {.SamplesNum = 2500, .ColumnNum = 2}};
    ch.columns = {column(0, kQxyDouble, P{}, P{}, "k", ""), column(1, kQxyInt, P{}, P{}, "n", "")};
    std::vector<double> y(2500);
    std::iota(y.begin(), y.end(), 0.0);
    for (const double k : y) ch.rows.push_back({P::of_double(k), P::of_int(static_cast<std::int32_t>(k))});
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
}

TEST_F(ParsQxy, EveryDamagedFieldGivesItsCodeAndMessageWithoutReadingPastIt) {
    struct Case { std::string name, content; int code; std::string err; };
    const auto bin = [](const Bytes& b) { return std::string(b.begin(), b.end()); };
    const auto xy = [](const std::string& from, const std::string& to) {
        std::string s = kTextXY;
        return s.replace(s.find(from), from.size(), to);
    };
    const std::string hdr = "Nodrix-E-Cannot read Header section\n";
    const std::string missing_key = "Nodrix-E-One/some parameter not found for header\n";
    const Case cases[] = {
        {"magic.qxy", bin(V3{.magic = "NodrixXQ 3"}.bytes()), -2, hdr},
        {"bom.qxy", bin(V3{.bom = 2}.bytes()), -2, "Nodrix-E-Byte Order invalid\n"},
        {"mark.qxy", bin(V3{.chart_mark = 7}.bytes()), -2, ""},
        {"coltype.qxy", bin(V3{.column_type = 4}.bytes()), -2, "Nodrix-E-Bad column type 4\n"},
        {"negsamples.qxy", bin(V3{.samples = -1}.bytes()), -2, ""},
        {"hugecols.qxy", bin(V3{.columns = 2147483647}.bytes()), -2, ""},
        {"fewcols.qxy", bin(V3{.columns = 2}.bytes()), -2, ""},
        {"container.bxy", bin(V3{.magic = "QuarvinXY 1"}.bytes()), 0, ""},  // read as version 3 whatever its version
        {"sgnend.qsg", bin(Sgn{.end = 9}.bytes()), -2, "Nodrix-E-Wrong Signal Termination\n"},
        {"sgnmany.qsg", bin(Sgn{.samples = 2147483647}.bytes()), -1, ""},
        {"sgntype.qsg", bin(Sgn{.type = 12}.bytes()), -2, "Nodrix-E-Bad file type\n"},
        {"sprhdr.qsp", bin(Spr{.header_end = 1}.bytes()), -2, "Nodrix-E-Wrong Spectrum Termination\n"},
        {"xytype.qxy", bin(OldXY{.type = 0}.bytes()), -2, "Nodrix-E-Bad file type\n"},
        {"missingkey.csv", xy("LabelY,Y", "Comment,none"), -1, missing_key},
        {"coltype.csv", xy("Type,3", "Type,9"), -2, "Nodrix-E-Bad column type 9\n"},
        {"container.csv", "QuarvinXY, 1\nSamplesNum,1\n+1\n", -2,
         "Nodrix-E-Unable to read column header for this ascii file type\n"},
        {"nolf.csv", xy("+1\n", "+1"), -1, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        write_text(c.name, c.content);
        const Outcome r = run(c.name);
        EXPECT_EQ(r.code, c.code);
        EXPECT_EQ(r.err, c.err);
    }
}

// Truncating a valid file at any byte gives -2 with its message inside the
// magic line, success only where the form cannot tell a cut (with the charts
// read so far), and -1 anywhere else.
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
        EXPECT_TRUE(at == clean.end() || r.got.charts.size() == at->second) << r.got.charts.size();
    }
    write_bytes(path, bytes);
    EXPECT_EQ(run(path).code, 0);
}

// A version 3 file ends with an end mark, and a compact spectrum holds one
// chart (a compact signal too: the Python tests cut one at every byte): a cut
// is found everywhere but just after the end mark between two version 3
// charts. A compact XY file, which holds one chart or more, and a text file,
// without an end mark, read as whole when cut after a chart (after the first,
// for the compact XY form).
TEST_F(ParsQxy, TruncationAtEveryByteIsAnErrorWhereTheFormTellsACut) {
    TestChart ch{.header = {.SamplesNum = 2, .ColumnNum = 2}};
    qxy_set_text(ch.header.Title, "t");
    ch.columns = {column(0, kQxyDouble, P{}, P{}, "a", "b"), column(1, kQxyInt, P{}, P{}, "c", "")};
    ch.rows = {{P::of_double(1.0), P::of_int(2)}, {P::of_double(3.0), P::of_int(4)}};
    ASSERT_TRUE(write_file("v3.qxy", kQxyXY, {ch, ch}));
    const std::vector<unsigned char> v3 = read_bytes("v3.qxy");
    const std::size_t head = 11 + 1 + 24, chart = (v3.size() - head - 2) / 2;
    check_truncations("t.qxy", v3, 11, {{head + chart + 1, 1}});

    ASSERT_TRUE(write_file("t.csv", kQxyXY, {ch, ch}));
    const std::string text = read_text("t.csv");
    const std::size_t text_head = text.find("ChartType"), text_chart = (text.size() - text_head) / 2;
    check_truncations("t.csv", {text.begin(), text.end()}, text_head, {{text_head, 0}, {text_head + text_chart, 1}});

    check_truncations("t2.qxy", OldXY::twice(), 12, {{OldXY{}.bytes().size(), 1}});
    check_truncations("t.qsp", Spr{}.bytes(), 13, {});
}

}  // namespace
}  // namespace nodrix::testing
