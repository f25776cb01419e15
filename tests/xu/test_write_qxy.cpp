// Chart writer: byte layouts of the version 3 binary form and the text form
// against hand-built expectations, separators by extension, the writer's
// failure reports, and round trips of every form through the reader.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/xu/qxy_collect.h"

namespace nodrix::testing {
namespace {

using P = QxyPoint;

class WriteQxy : public NodrixTest {};

// A two-column chart: a float column and an integer column, two rows.
ChartSpec sample_chart() {
    ChartSpec ch;
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

TEST_F(WriteQxy, BinaryVersion3ByteExact) {
    ASSERT_TRUE(write_file("one.qxy", 0, kQxyXY, {sample_chart()}));
    Bytes e = file_head_v3();
    put_sample_chart(e);
    EXPECT_EQ(read_bytes("one.qxy"), e.u8({0}));
    // Created for its owner only.
    namespace fs = std::filesystem;
    EXPECT_EQ(fs::status("one.qxy").permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);

    // Two charts: the second starts after one byte 0, the file ends with one.
    ASSERT_TRUE(write_file("two.qxy", 0, kQxyXY, {sample_chart(), sample_chart()}));
    put_sample_chart(e);
    EXPECT_EQ(read_bytes("two.qxy"), e.u8({0}));

    // A chart without columns closes its empty column list at once.
    ASSERT_TRUE(write_file("empty.qxy", 0, kQxyXY, {ChartSpec{}}));
    EXPECT_EQ(read_bytes("empty.qxy"), file_head_v3().u8({1}).i32({0, 0, 0, 0}).lp({""}).u8({2}).lp({"", ""})
                                           .u8({3}).f64({0.0, 0.0}).i32({0}).f64({0.0, 0.0, 0.0}).u8({0, 0, 0}));
}

TEST_F(WriteQxy, TextXYChartExact) {
    ASSERT_TRUE(write_file("chart.csv", 1, kQxyXY, {sample_chart()}));
    EXPECT_EQ(read_text("chart.csv"),
              "NodrixExpXY, 4\nType, 7\nChartType,2\nGraphStyle,-1\nSamplesNum,2\nColumnNum,2\nTitle,Q\nLabelY,BER\n"
              "MeasureY,\nColumnBegin\nType,3\nMinimum,-1.50000000000000000e+00\nMaximum,2.00000000000000000e+00\n"
              "StartingScale,1\nOrdering,5.00000000000000000e-01\nLabel,Time\nMeasure,ps\nColumnEnd\n"
              "ColumnBegin\nType,5\nMinimum,0\nMaximum,7\nStartingScale,0\nOrdering,0.00000000000000000e+00\n"
              "Label,Level\nMeasure,\nColumnEnd\n"
              "-1.50000000000000000e+00,7\n"
              "+2.00000000000000000e+00,0\n");
}

TEST_F(WriteQxy, TextSignalAndSpectrumHeaders) {
    struct Case {
        std::int32_t type, columns;
        const char* path;
        const char* text;
    };
    const Case cases[] = {
        {1, 1, "elt.TXT",
         "NodrixEltSgn\t 3\nSamplesNum\t1\nDelt\t5.00000000000000000e-01\nFsym\t1.00000000000000000e+01\n"
         "SamplesPerBit\t32\nMinimum\t-1.50000000000000000e+00\nMaximum\t1.50000000000000000e+00\n"
         "+1.50000000000000000e+00\n"},
        {2, 2, "opt.csv",
         "NodrixOptSgn, 4\nSamplesNum,1\nDelt,5.00000000000000000e-01\nFsym,1.00000000000000000e+01\n"
         "Tstart,-2.50000000000000000e+00\nPolarization,1\nMinimum,-1.50000000000000000e+00\n"
         "Maximum,1.50000000000000000e+00\n+1.50000000000000000e+00,-2.50000000000000000e-01\n"},
        {4, 1, "spr.prn",
         "NodrixExpSpr  2\nType  4\nSamplesNum 1\nDelt 5.00000000000000000e-01\nFsym 1.00000000000000000e+01\n"
         "FrequencyStep 1.25000000000000000e-01\nStartFrequency 1.93000000000000000e+02\n"
         "StopFrequency 1.94000000000000000e+02\nMinimum -1.50000000000000000e+00\n"
         "Maximum 1.50000000000000000e+00\n+1.50000000000000000e+00\n"},
        {6, 3, "sym",
         "NodrixLogSgn  3\nSamplesNum 1\nDelt 5.00000000000000000e-01\nNBitsPerSymbol 3\nMinimum 0\n"
         "Maximum 1\n0 1 0\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        ASSERT_TRUE(write_file(c.path, 1, c.type, {signal_chart(c.type, c.columns)}));
        EXPECT_EQ(read_text(c.path), c.text);
    }
}

TEST_F(WriteQxy, SeparatorByExtension) {
    const std::pair<const char*, int> cases[] = {
        {"a.csv", ','}, {"a.CSV", ','},  {"a.TXT", '\t'}, {"a.ssv", ':'},  {"a.prn", ' '},        {"a.dat", -1},
        {"noext", -1},  {"a.cs", -1},    {"a.text", -1},  {"a.", -1},     {"d.csv/plain", -1}, {"x.y.csv", ','},
    };
    std::filesystem::create_directory("d.csv");
    for (const auto& [path, sep] : cases) {
        SCOPED_TRACE(path);
        EXPECT_EQ(xu_QXYGetSepByExt(path), sep);
        const char written = sep < 0 ? ' ' : static_cast<char>(sep);
        ASSERT_TRUE(write_file(path, 1, kQxyXY, {}));
        EXPECT_EQ(read_text(path), std::string("NodrixExpXY") + written + " 4\nType" + written + " 7\n");
    }
    EXPECT_EQ(xu_QXYGetSepByExt(nullptr), -1);
}

// Runs `call`, expecting its result and exactly `text` on the standard error.
template <class Call>
void expect_report(Call call, int result, const std::string& text) {
    ::testing::internal::CaptureStderr();
    const int got = call();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), text);
    EXPECT_EQ(got, result);
}

TEST_F(WriteQxy, FailureReports) {
    expect_report([] { return xu_WriteQxyInit(nullptr, "x.qxy", 2) == nullptr; }, 1,
                  "Nodrix-E-Error: bad filetype parameter\n");  // neither binary nor text
    EXPECT_FALSE(std::filesystem::exists("x.qxy"));
    EXPECT_EQ(xu_WriteQxyInit(nullptr, "no/such/dir/x.qxy", 0), nullptr);
    EXPECT_EQ(xu_WriteQxyInit(nullptr, "no/such/dir/x.csv", 1), nullptr);

    // Text form: no header lines for codes above 8, and no chart header.
    QxyFileHeader fh;
    fh.words[0] = 9;
    QxyChartHeader h;
    h.ColumnNum = 2;
    XuWriteQxy* w = xu_WriteQxyInit(nullptr, "type9.csv", 1);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(xu_WriteQxyHeader(w, fh), 1);
    expect_report([&] { return xu_WriteQxyChartHeader(w, h); }, 0, "Nodrix-E-Invalid file type\n");
    EXPECT_EQ(xu_WriteQxyEnd(w), 1);
    EXPECT_EQ(read_text("type9.csv"), "");

    // Invalid point types of a column and of a row: the text form reports them,
    // the binary form's point writer too, and leaves the value out.
    fh.words[0] = kQxyXY;
    QxyPoint bad;
    bad.type = 9;
    const QxyPoint row[2] = {bad, P::of_int(3)};
    for (const int mode : {1, 0}) {
        SCOPED_TRACE(mode);
        const std::string report = mode == 1 ? "Nodrix-E-Invalid sample type\n" : "xu_write_qxy_point(): invalid type.\n";
        w = xu_WriteQxyInit(nullptr, mode == 1 ? "bad.csv" : "bad.qxy", mode);
        ASSERT_NE(w, nullptr);
        ASSERT_EQ(xu_WriteQxyHeader(w, fh), 1);
        h.ColumnNum = 2;
        ASSERT_EQ(xu_WriteQxyChartHeader(w, h), 1);
        expect_report([&] { return xu_WriteQxyChartColumn(w, column(0, 4, P{}, P{}, "", "")); }, -1, report);
        EXPECT_EQ(xu_WriteQxyChartColumn(w, column(2, kQxyDouble, P{}, P{}, "", "")), -1);  // outside the chart
        ASSERT_EQ(xu_WriteQxyChartColumn(w, column(0, kQxyDouble, P{}, P{}, "", "")), 1);
        ASSERT_EQ(xu_WriteQxyChartColumn(w, column(1, kQxyInt, P{}, P{}, "", "")), 1);
        expect_report([&] { return xu_WriteQxyChartData(w, row); }, -1, report);
        h.ColumnNum = -1;
        EXPECT_EQ(xu_WriteQxyChartHeader(w, h), 0);
        EXPECT_EQ(xu_WriteQxyEnd(w), 1);
    }
    // The binary row holds its mark and the integer only, then the final byte 0.
    const std::vector<unsigned char> b = read_bytes("bad.qxy");
    EXPECT_EQ(std::vector<unsigned char>(b.end() - 6, b.end()), (std::vector<unsigned char>{5, 3, 0, 0, 0, 0}));
    EXPECT_EQ(xu_WriteQxyEnd(nullptr), 0);
}

TEST_F(WriteQxy, TextsCutAt127Characters) {
    ChartSpec ch = sample_chart();
    qxy_set_text(ch.header.Title, std::string(300, 't'));
    EXPECT_EQ(std::strlen(ch.header.Title), 127u);
    // A field filled to its last byte without a NUL is still written cut.
    std::memset(ch.columns[0].Label, 'L', sizeof ch.columns[0].Label);
    for (const char* path : {"long.qxy", "long.csv"}) {
        SCOPED_TRACE(path);
        ASSERT_TRUE(write_file(path, std::string(path).ends_with(".qxy") ? 0 : 1, kQxyXY, {ch}));
        Collected got;
        ASSERT_EQ(parse_file(path, got), 0);
        ASSERT_EQ(got.charts.size(), 1u);
        EXPECT_EQ(std::string(got.charts[0].header.Title), std::string(127, 't'));
        EXPECT_EQ(std::string(got.charts[0].columns[0].Label), std::string(127, 'L'));
    }
}

// Every form the writer writes reads back with the same header fields (those
// the form carries; the others read as 0), columns and values.
TEST_F(WriteQxy, RoundTripEveryForm) {
    struct Case {
        const char* path;
        int mode;
        std::int32_t type, columns, version;
        const char* carried;  // D Delt, F Fsym, T Tstart, S SamplesPerBit, Q StopFrequency and FrequencyStep
    };
    const Case cases[] = {
        {"xy.qxy", 0, kQxyXY, 2, 3, "DFTSQ"}, {"xy.txt", 1, kQxyXY, 2, 4, ""},   {"xy.csv", 1, kQxyXY, 2, 4, ""},
        {"e.ssv", 1, 1, 1, 3, "DFS"},         {"o1.prn", 1, 2, 2, 4, "DFT"},     {"o2.dat", 1, 3, 4, 4, "DFT"},
        {"s4.csv", 1, 4, 1, 2, "DFTQ"},       {"s5.TXT", 1, 5, 1, 2, "DFTQ"},    {"l6.txt", 1, 6, 3, 3, "D"},
        {"sig.qsg", 0, 1, 1, 3, "DFTSQ"},     {"spr.qsp", 0, 4, 1, 3, "DFTSQ"},  {"sym.bxy", 0, 6, 3, 3, "DFTSQ"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const ChartSpec ch = c.type == kQxyXY ? sample_chart() : signal_chart(c.type, c.columns);
        ASSERT_TRUE(write_file(c.path, c.mode, c.type, {ch, ch}));
        ChartSpec want = ch;
        QxyChartHeader& h = want.header;
        const auto dropped = [&](char field) { return std::strchr(c.carried, field) == nullptr; };
        if (dropped('D')) h.Delt = 0.0;
        if (dropped('F')) h.Fsym = 0.0;
        if (dropped('T')) h.Tstart = 0.0;
        if (dropped('S')) h.SamplesPerBit = 0;
        if (dropped('Q')) h.StopFrequency = h.FrequencyStep = 0.0;
        Collected got;
        ASSERT_EQ(parse_file(c.path, got), 0);
        EXPECT_EQ(got.version, c.version);
        // A text optical signal file is typed by its chart's "Polarization".
        EXPECT_EQ(got.file.words[0], c.mode == 1 && c.type == 3 ? 2 : c.type);
        EXPECT_EQ(got.file.words[1], 5);
        EXPECT_EQ(got.file.words[4], 7);
        ASSERT_EQ(got.charts.size(), 2u);
        for (const CollectedChart& g : got.charts) EXPECT_EQ(describe(g), describe(want));
    }
}

// Values that need all 17 digits, extremes of the float and integer ranges,
// and rows far wider than the 126 characters of a short line buffer.
TEST_F(WriteQxy, WideRowsAndExactValues) {
    ChartSpec ch;
    ch.header.ColumnNum = 40;
    ch.header.SamplesNum = 3;
    const double values[] = {0.1, -1.0 / 3.0, 1e-300, -1.7976931348623157e308, 4.9e-324, 123456789.123456789};
    const std::int32_t ints[] = {0, -2147483647 - 1, 2147483647, -1};
    for (int k = 0; k < 40; ++k)
        ch.columns.push_back(k % 5 == 4 ? column(k, kQxyInt, P::of_int(-1), P::of_int(1), "c", "u")
                                        : column(k, kQxyDouble, P::of_double(-1.0), P::of_double(1.0), "c", "u"));
    for (int r = 0; r < 3; ++r) {
        std::vector<QxyPoint> row;
        for (int k = 0; k < 40; ++k)
            row.push_back(k % 5 == 4 ? P::of_int(ints[(r + k) % 4]) : P::of_double(values[(r + k) % 6]));
        ch.rows.push_back(row);
    }
    for (const char* path : {"wide.csv", "wide.prn", "wide.qxy"}) {
        SCOPED_TRACE(path);
        ASSERT_TRUE(write_file(path, std::string(path).ends_with(".qxy") ? 0 : 1, kQxyXY, {ch}));
        Collected got;
        ASSERT_EQ(parse_file(path, got), 0);
        ASSERT_EQ(got.charts.size(), 1u);
        EXPECT_EQ(describe(got.charts[0]), describe(ch));
    }
    const std::string text = read_text("wide.csv");
    EXPECT_GT(text.size() - text.rfind('\n', text.size() - 2), 800u);  // one row line is far wider than 126
}

}  // namespace
}  // namespace nodrix::testing
