// Chart writers: the version 3 binary layout, round trips of every form through
// the reader, and wide rows. The models' files (the compact forms) are guarded
// byte for byte by the regression net.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/xu/qxy_collect.h"

namespace nodrix::testing {
namespace {

class WriteQxy : public NodrixTest {};

// A two-column chart: a float column and an integer column, two rows.
TestChart sample_chart() {
    TestChart ch;
    ch.header = QxyChartHeader{.ChartType = 2, .GraphStyle = -1, .SamplesNum = 2, .ColumnNum = 2, .Fsym = 10.0,
                               .Delt = 0.5, .SamplesPerBit = 32, .Tstart = 1.25, .StopFrequency = 194.0,
                               .FrequencyStep = 0.125};
    qxy_set_text(ch.header.Title, "Q");
    qxy_set_text(ch.header.LabelY, "BER");
    ch.columns = {column(0, kQxyDouble, P::of_double(-1.5), P::of_double(2.0), "Time", "ps", 1, 0.5),
                  column(1, kQxyInt, P::of_int(0), P::of_int(7), "Level", "")};
    ch.rows = {{P::of_double(-1.5), P::of_int(7)}, {P::of_double(2.0), P::of_int(0)}};
    return ch;
}

void put_sample_chart(Bytes& e) {
    e.u8({1}).i32({2, -1, 2, 2}).lp({"Q"}).u8({2}).lp({"BER", ""});
    e.u8({3}).f64({10.0, 0.5}).i32({32}).f64({1.25, 194.0, 0.125}).u8({0});
    e.u8({4}).i32({3}).f64({-1.5, 2.0}).i32({1}).f64({0.5}).lp({"Time", "ps"});
    e.u8({4}).i32({5, 0, 7, 0}).f64({0.0}).lp({"Level", ""}).u8({0});
    e.u8({5}).f64({-1.5}).i32({7}).u8({5}).f64({2.0}).i32({0});
}

Bytes file_head_v3() { return Bytes().sz({"NodrixXY 3"}).u8({1}).i32({7, 5, 16, 1, 7, 0}); }

TEST_F(WriteQxy, BinaryVersion3ByteExactAndOwnerOnly) {
    ASSERT_TRUE(write_file("one.qxy", kQxyXY, {sample_chart()}));
    Bytes e = file_head_v3();
    put_sample_chart(e);
    EXPECT_EQ(read_bytes("one.qxy"), e.u8({0}));
    // Created for its owner only.
    namespace fs = std::filesystem;
    EXPECT_EQ(fs::status("one.qxy").permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);

    // A chart without columns closes its empty column list at once.
    ASSERT_TRUE(write_file("empty.qxy", kQxyXY, {TestChart{}}));
    EXPECT_EQ(read_bytes("empty.qxy"), file_head_v3().u8({1}).i32({0, 0, 0, 0}).lp({""}).u8({2}).lp({"", ""})
                                           .u8({3}).f64({0.0, 0.0}).i32({0}).f64({0.0, 0.0, 0.0}).u8({0, 0, 0}));
}

// Every form the writer writes reads back with the same header fields (those
// the form carries; the others read as 0), columns and values.
TEST_F(WriteQxy, EveryFormReadsBackWithTheFieldsItCarries) {
    // carried: D Delt, F Fsym, T Tstart, S SamplesPerBit, Q StopFrequency and FrequencyStep
    struct Case { const char* path; std::int32_t type, columns, version; const char* carried; };
    const Case cases[] = {
        {"xy.qxy", kQxyXY, 2, 3, "DFTSQ"}, {"xy.csv", kQxyXY, 2, 4, ""}, {"e.ssv", 1, 1, 3, "DFS"},
        {"o2.dat", 3, 4, 4, "DFT"},        {"s4.csv", 4, 1, 2, "DFTQ"},  {"l6.txt", 6, 3, 3, "D"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const TestChart ch = c.type == kQxyXY ? sample_chart() : signal_chart(c.type, c.columns);
        ASSERT_TRUE(write_file(c.path, c.type, {ch, ch}));
        TestChart want = ch;
        QxyChartHeader& h = want.header;
        const auto dropped = [&](char field) { return std::strchr(c.carried, field) == nullptr; };
        if (dropped('D')) h.Delt = 0.0;
        if (dropped('F')) h.Fsym = 0.0;
        if (dropped('T')) h.Tstart = 0.0;
        if (dropped('S')) h.SamplesPerBit = 0;
        if (dropped('Q')) h.StopFrequency = h.FrequencyStep = 0.0;
        const Outcome r = run(c.path);
        ASSERT_EQ(r.code, 0);
        EXPECT_EQ(r.got.version, c.version);
        // A text optical signal file is typed by its chart's "Polarization".
        EXPECT_EQ(r.got.file.words[0], c.type == 3 ? 2 : c.type);
        EXPECT_EQ(r.got.file.words[1], 5);
        EXPECT_EQ(r.got.file.words[4], 7);
        ASSERT_EQ(r.got.charts.size(), 2u);
        for (const TestChart& g : r.got.charts) EXPECT_EQ(describe(g), describe(want));
    }
}

// Values that need all 17 digits, extremes of the float and integer ranges,
// rows far wider than the 126 characters of a short line buffer, and texts
// cut at 127 characters (also a field filled to its last byte without a NUL).
TEST_F(WriteQxy, WideRowsKeepAll17DigitsAndLongTextsAreCutAt127) {
    TestChart ch{.header = {.SamplesNum = 3, .ColumnNum = 40}};
    qxy_set_text(ch.header.Title, std::string(300, 't'));  // cut at 127 (the Python reader's test reads one back)
    const double values[] = {0.1, -1.0 / 3.0, 1e-300, -1.7976931348623157e308, 4.9e-324, 123456789.123456789};
    const std::int32_t ints[] = {0, -2147483647 - 1, 2147483647, -1};
    for (int k = 0; k < 40; ++k)
        ch.columns.push_back(k % 5 == 4 ? column(k, kQxyInt, P::of_int(-1), P::of_int(1), "c", "u")
                                        : column(k, kQxyDouble, P::of_double(-1.0), P::of_double(1.0), "c", "u"));
    ch.rows.resize(3);
    for (int r = 0; r < 3; ++r)
        for (int k = 0; k < 40; ++k)
            ch.rows[r].push_back(k % 5 == 4 ? P::of_int(ints[(r + k) % 4]) : P::of_double(values[(r + k) % 6]));
    TestChart want = ch;
    std::memset(ch.columns[0].Label, 'L', sizeof ch.columns[0].Label);
    qxy_set_text(want.columns[0].Label, std::string(127, 'L'));
    for (const char* path : {"wide.csv", "wide.prn", "wide.qxy"}) {
        ASSERT_TRUE(write_file(path, kQxyXY, {ch}));
        const Outcome r = run(path);
        ASSERT_EQ(r.code, 0) << path;
        ASSERT_EQ(r.got.charts.size(), 1u) << path;
        EXPECT_EQ(describe(r.got.charts[0]), describe(want)) << path;
    }
    const std::string text = read_text("wide.csv");
    EXPECT_GT(text.size() - text.rfind('\n', text.size() - 2), 800u);  // one row line is far wider than 126
}

}  // namespace
}  // namespace nodrix::testing
