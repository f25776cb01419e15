// Chart writers: byte layouts of the version 3 binary form, the text forms and
// the compact version 1/2 forms of the models against hand-built expectations,
// separators by extension, failure reports, and round trips through the reader.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/xu/qxy_collect.h"

namespace nodrix::testing {
namespace {

class WriteQxy : public NodrixTest {};
class ChartCompact : public NodrixTest {};

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

TEST_F(WriteQxy, BinaryVersion3ByteExact) {
    ASSERT_TRUE(write_file("one.qxy", kQxyXY, {sample_chart()}));
    Bytes e = file_head_v3();
    put_sample_chart(e);
    EXPECT_EQ(read_bytes("one.qxy"), e.u8({0}));
    // Created for its owner only.
    namespace fs = std::filesystem;
    EXPECT_EQ(fs::status("one.qxy").permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);

    // Two charts: the second starts after one byte 0, the file ends with one.
    ASSERT_TRUE(write_file("two.qxy", kQxyXY, {sample_chart(), sample_chart()}));
    put_sample_chart(e);
    EXPECT_EQ(read_bytes("two.qxy"), e.u8({0}));

    // A chart without columns closes its empty column list at once.
    ASSERT_TRUE(write_file("empty.qxy", kQxyXY, {TestChart{}}));
    EXPECT_EQ(read_bytes("empty.qxy"), file_head_v3().u8({1}).i32({0, 0, 0, 0}).lp({""}).u8({2}).lp({"", ""})
                                           .u8({3}).f64({0.0, 0.0}).i32({0}).f64({0.0, 0.0, 0.0}).u8({0, 0, 0}));
}

TEST_F(WriteQxy, TextFormsExact) {
    struct Case { std::int32_t type, columns; const char* path; const char* text; };
    const Case cases[] = {
        {kQxyXY, 0, "chart.csv",
         "NodrixExpXY, 4\nType, 7\nChartType,2\nGraphStyle,-1\nSamplesNum,2\nColumnNum,2\nTitle,Q\nLabelY,BER\n"
         "MeasureY,\nColumnBegin\nType,3\nMinimum,-1.50000000000000000e+00\nMaximum,2.00000000000000000e+00\n"
         "StartingScale,1\nOrdering,5.00000000000000000e-01\nLabel,Time\nMeasure,ps\nColumnEnd\n"
         "ColumnBegin\nType,5\nMinimum,0\nMaximum,7\nStartingScale,0\nOrdering,0.00000000000000000e+00\n"
         "Label,Level\nMeasure,\nColumnEnd\n-1.50000000000000000e+00,7\n+2.00000000000000000e+00,0\n"},
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
        ASSERT_TRUE(write_file(c.path, c.type, {c.type == kQxyXY ? sample_chart() : signal_chart(c.type, c.columns)}));
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
        const TestChart ch = c.type == kQxyXY ? sample_chart() : signal_chart(c.type, c.columns);
        ASSERT_TRUE(write_file(c.path, c.mode, c.type, {ch, ch}));
        TestChart want = ch;
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
        for (const TestChart& g : got.charts) EXPECT_EQ(describe(g), describe(want));
    }
}

// Values that need all 17 digits, extremes of the float and integer ranges,
// rows far wider than the 126 characters of a short line buffer, and texts
// cut at 127 characters (also a field filled to its last byte without a NUL).
TEST_F(WriteQxy, WideRowsExactValuesAndLongTexts) {
    TestChart ch{.header = {.SamplesNum = 3, .ColumnNum = 40}};
    qxy_set_text(ch.header.Title, std::string(300, 't'));
    EXPECT_EQ(std::strlen(ch.header.Title), 127u);
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
    TestChart want = ch;
    std::memset(ch.columns[0].Label, 'L', sizeof ch.columns[0].Label);
    qxy_set_text(want.columns[0].Label, std::string(127, 'L'));
    for (const char* path : {"wide.csv", "wide.prn", "wide.qxy"}) {
        ASSERT_TRUE(write_file(path, kQxyXY, {ch}));
        expect_reads_as(path, {want});
    }
    const std::string text = read_text("wide.csv");
    EXPECT_GT(text.size() - text.rfind('\n', text.size() - 2), 800u);  // one row line is far wider than 126
}

void put_qxy1_chart(Bytes& e, std::initializer_list<std::string> texts, const std::vector<double>& x,
                    const std::vector<double>& y, double lo, double hi) {
    e.i32({static_cast<std::int32_t>(y.size())}).f64({lo, hi}).sz(texts).i32({0});
    for (std::size_t k = 0; k < y.size(); ++k) e.f64({x[k], y[k]});
    e.i32({0});
}

TEST_F(ChartCompact, VersionOneXYBytesAndAppend) {
    const std::vector<double> x = {1.0, 2.0, 3.0}, y = {-9.0, -3.0, -6.0}, one = {7.25};
    const std::int32_t id = qxy1_create("c.qxy");
    ASSERT_GT(id, 0);
    ASSERT_TRUE(qxy1_write_chart(id, "BER", "Threshold", "mA", "log BER", "", x, y));
    ASSERT_TRUE(qxy1_write_chart(id, "", "", "", "", "", {}, {}));
    EXPECT_FALSE(qxy1_write_chart(id, "bad", "", "", "", "", x, one));  // X and Y of unequal length
    ASSERT_TRUE(qxy1_close(id));
    // Appending to the closed file, and to a file not there yet.
    for (const char* path : {"c.qxy", "fresh.qxy"}) {
        const std::int32_t more = qxy1_open_append(path);
        ASSERT_GT(more, 0);
        ASSERT_TRUE(qxy1_write_chart(more, "Q", "t", "ps", "Q", "dB", one, one));
        ASSERT_TRUE(qxy1_close(more));
    }
    const Bytes head = Bytes().sz({"NodrixXY  1"}).i32({7, 5, 16, 1, 7, 0});
    Bytes e = head, f = head;
    put_qxy1_chart(e, {"BER", "Threshold", "mA", "log BER", ""}, x, y, -9.0, -3.0);
    put_qxy1_chart(e, {"", "", "", "", ""}, {}, {}, 0.0, 0.0);
    for (Bytes* b : {&e, &f}) put_qxy1_chart(*b, {"Q", "t", "ps", "Q", "dB"}, one, one, 7.25, 7.25);
    EXPECT_EQ(read_bytes("c.qxy"), e);
    EXPECT_EQ(read_bytes("fresh.qxy"), f);

    // Read back: two-column charts whose column 0 is X with its label and unit.
    Collected got;
    ASSERT_EQ(parse_file("c.qxy", got), 0);
    EXPECT_EQ(got.version, 1);
    ASSERT_EQ(got.charts.size(), 3u);
    TestChart want{.header = {.SamplesNum = 3, .ColumnNum = 2}};
    qxy_set_text(want.header.Title, "BER");
    qxy_set_text(want.header.LabelY, "log BER");
    want.columns = {column(0, kQxyDouble, P::of_double(-9.0), P::of_double(-3.0), "Threshold", "mA"),
                    column(1, kQxyDouble, P::of_double(-9.0), P::of_double(-3.0), "log BER", "")};
    for (std::size_t k = 0; k < 3; ++k) want.rows.push_back({P::of_double(x[k]), P::of_double(y[k])});
    EXPECT_EQ(describe(got.charts[0]), describe(want));
    EXPECT_TRUE(got.charts[1].rows.empty());
    EXPECT_STREQ(got.charts[2].columns.at(1).Measure, "dB");
}

TEST_F(ChartCompact, VersionOneSpectrumBytes) {
    const Qsp1Header h{.delt = 0.0640443, .fsym = 193.1, .frequency_step = 0.0125, .start_frequency = 192.0,
                       .stop_frequency = 192.025, .minimum = -80.0, .maximum = -1.5};
    ASSERT_TRUE(qsp1_write("s.qsp", h, std::vector<double>{-80.0, -1.5, -40.0}));
    EXPECT_EQ(read_bytes("s.qsp"), Bytes().sz({"NodrixSpr  1"}).i32({4, 5, 16, 1, 7}).f64({0.0640443, 193.1}).i32({0, 3})
                                       .f64({0.0125, 192.0, 192.025, -80.0, -1.5}).i32({0})
                                       .f64({-80.0, -1.5, -40.0}).i32({0}));
    TestChart want{.header = {.SamplesNum = 3, .ColumnNum = 1, .Fsym = 193.1, .Delt = 0.0640443, .Tstart = 192.0,
                              .StopFrequency = 192.025, .FrequencyStep = 0.0125}};
    want.columns = {column(0, kQxyDouble, P::of_double(-80.0), P::of_double(-1.5), "", "")};
    want.rows = {{P::of_double(-80.0)}, {P::of_double(-1.5)}, {P::of_double(-40.0)}};
    expect_reads_as("s.qsp", {want});
    // An empty spectrum.
    ASSERT_TRUE(qsp1_write("none.qsp", h, {}));
    want.header.SamplesNum = 0;
    want.rows.clear();
    expect_reads_as("none.qsp", {want});
    EXPECT_FALSE(qsp1_write("no/such/dir/s.qsp", h, {}));
}

Bytes qsg2_bytes(const Qsg2Header& h, const std::vector<double>& values) {
    Bytes e;
    e.sz({"NodrixSgn  2"}).i32({h.type, 5, 16, 1, 7, h.columns, h.samples, h.samples_per_bit});
    e.f64({h.minimum, h.maximum, h.delt, h.tstart, h.fsym}).i32({0});
    for (const double d : values) e.f64({d});
    return e;
}

TEST_F(ChartCompact, VersionTwoSignalFinishedWithItsFinalHeader) {
    // As the eye scope does: a header with no count, the samples, then the
    // whole header written again with the final values as the file is closed.
    // Until then the file is not under its name.
    Qsg2Header h{.samples_per_bit = 16, .delt = 0.0640443, .tstart = 100.0, .fsym = 10.0};
    const std::vector<double> samples = {0.25, -1.5, 2.75, 0.0};
    const std::int32_t id = qsg2_create("eye.qsg", h);
    ASSERT_GT(id, 0);
    for (const double v : samples) ASSERT_TRUE(qsg2_append(id, std::span<const double>(&v, 1)));
    EXPECT_FALSE(std::filesystem::exists("eye.qsg"));
    h.samples = 4;
    h.minimum = -1.5;
    h.maximum = 2.75;
    ASSERT_TRUE(qsg2_finish(id, h));
    EXPECT_EQ(read_bytes("eye.qsg"), qsg2_bytes(h, samples));

    TestChart want{.header = {.SamplesNum = 4, .ColumnNum = 1, .Fsym = 10.0, .Delt = 0.0640443, .SamplesPerBit = 16,
                              .Tstart = 100.0}};
    want.columns = {column(0, kQxyDouble, P::of_double(-1.5), P::of_double(2.75), "", "")};
    for (const double s : samples) want.rows.push_back({P::of_double(s)});
    expect_reads_as("eye.qsg", {want});
}

}  // namespace
}  // namespace nodrix::testing
