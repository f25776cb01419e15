// Chart writer: byte layouts of the version 3 binary form and the text form
// against hand-built expectations, separators by extension, the writer's
// failure reports, and round trips of every form through the reader.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/test_support.h"
#include "tests/xu/qxy_collect.h"
#include "xu/pars_qxy.h"
#include "xu/write_qxy.h"

namespace nodrix::testing {
namespace {

using Bytes = std::vector<unsigned char>;
using P = QxyPoint;

class WriteQxy : public NodrixTest {};

void put_lp(Bytes& out, const std::string& s) {
    put_i32(out, static_cast<std::int32_t>(s.size() + 1));
    put_text(out, s);
}

// A two-column chart: a float column and an integer column, two rows.
ChartSpec sample_chart() {
    ChartSpec ch;
    ch.header.ChartType = 2;
    ch.header.GraphStyle = -1;
    ch.header.SamplesNum = 2;
    ch.header.ColumnNum = 2;
    qxy_set_text(ch.header.Title, "Q");
    qxy_set_text(ch.header.LabelY, "BER");
    ch.header.Fsym = 10.0;
    ch.header.Delt = 0.5;
    ch.header.SamplesPerBit = 32;
    ch.header.Tstart = 1.25;
    ch.columns = {column(0, kQxyDouble, P::of_double(-1.5), P::of_double(2.0), "Time", "ps", 1, 0.5),
                  column(1, kQxyInt, P::of_int(0), P::of_int(7), "Level", "")};
    ch.rows = {{P::of_double(-1.5), P::of_int(7)}, {P::of_double(2.0), P::of_int(0)}};
    return ch;
}

void put_sample_chart(Bytes& e) {
    e.push_back(1);
    for (const std::int32_t v : {2, -1, 2, 2}) put_i32(e, v);
    put_lp(e, "Q");
    e.push_back(2);
    put_lp(e, "BER");
    put_lp(e, "");
    e.push_back(3);
    put_f64(e, 10.0);
    put_f64(e, 0.5);
    put_i32(e, 32);
    put_f64(e, 1.25);
    put_f64(e, 0.0);
    put_f64(e, 0.0);
    e.push_back(0);
    e.push_back(4);
    put_i32(e, 3);
    put_f64(e, -1.5);
    put_f64(e, 2.0);
    put_i32(e, 1);
    put_f64(e, 0.5);
    put_lp(e, "Time");
    put_lp(e, "ps");
    e.push_back(4);
    put_i32(e, 5);
    put_i32(e, 0);
    put_i32(e, 7);
    put_i32(e, 0);
    put_f64(e, 0.0);
    put_lp(e, "Level");
    put_lp(e, "");
    e.push_back(0);
    e.push_back(5);
    put_f64(e, -1.5);
    put_i32(e, 7);
    e.push_back(5);
    put_f64(e, 2.0);
    put_i32(e, 0);
}

Bytes file_head_v3() {
    Bytes e;
    put_text(e, "NodrixXY 3");
    e.push_back(1);
    for (const std::int32_t v : {7, 5, 16, 1, 7, 0}) put_i32(e, v);
    return e;
}

TEST_F(WriteQxy, BinaryVersion3ByteExact) {
    ASSERT_TRUE(write_file("one.qxy", 0, kQxyXY, {sample_chart()}));
    Bytes e = file_head_v3();
    put_sample_chart(e);
    e.push_back(0);
    EXPECT_EQ(read_bytes("one.qxy"), e);
    // Created for its owner only.
    namespace fs = std::filesystem;
    EXPECT_EQ(fs::status("one.qxy").permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);

    // Two charts: the second starts after one byte 0, the file ends with one.
    ASSERT_TRUE(write_file("two.qxy", 0, kQxyXY, {sample_chart(), sample_chart()}));
    Bytes e2 = file_head_v3();
    put_sample_chart(e2);
    e2.push_back(0);
    put_sample_chart(e2);
    e2.push_back(0);
    EXPECT_EQ(read_bytes("two.qxy"), e2);

    // A chart without columns closes its empty column list at once.
    ChartSpec empty;
    ASSERT_TRUE(write_file("empty.qxy", 0, kQxyXY, {empty}));
    Bytes e3 = file_head_v3();
    e3.push_back(1);
    for (int k = 0; k < 4; ++k) put_i32(e3, 0);
    put_lp(e3, "");
    e3.push_back(2);
    put_lp(e3, "");
    put_lp(e3, "");
    e3.push_back(3);
    for (int k = 0; k < 2; ++k) put_f64(e3, 0.0);
    put_i32(e3, 0);
    for (int k = 0; k < 3; ++k) put_f64(e3, 0.0);
    e3.push_back(0);
    e3.push_back(0);
    e3.push_back(0);
    EXPECT_EQ(read_bytes("empty.qxy"), e3);
}

TEST_F(WriteQxy, TextXYChartExact) {
    ASSERT_TRUE(write_file("chart.csv", 1, kQxyXY, {sample_chart()}));
    EXPECT_EQ(read_text("chart.csv"),
              "NodrixExpXY, 4\n"
              "Type, 7\n"
              "ChartType,2\n"
              "GraphStyle,-1\n"
              "SamplesNum,2\n"
              "ColumnNum,2\n"
              "Title,Q\n"
              "LabelY,BER\n"
              "MeasureY,\n"
              "ColumnBegin\n"
              "Type,3\n"
              "Minimum,-1.50000000000000000e+00\n"
              "Maximum,2.00000000000000000e+00\n"
              "StartingScale,1\n"
              "Ordering,5.00000000000000000e-01\n"
              "Label,Time\n"
              "Measure,ps\n"
              "ColumnEnd\n"
              "ColumnBegin\n"
              "Type,5\n"
              "Minimum,0\n"
              "Maximum,7\n"
              "StartingScale,0\n"
              "Ordering,0.00000000000000000e+00\n"
              "Label,Level\n"
              "Measure,\n"
              "ColumnEnd\n"
              "-1.50000000000000000e+00,7\n"
              "+2.00000000000000000e+00,0\n");
}

// One chart of a signal or spectrum type with `columns` float columns (or
// integer columns for type 6) and one row.
ChartSpec signal_chart(std::int32_t type, std::int32_t columns) {
    ChartSpec ch;
    ch.header.SamplesNum = 1;
    ch.header.ColumnNum = columns;
    ch.header.Delt = 0.5;
    ch.header.Fsym = 10.0;
    ch.header.SamplesPerBit = 32;
    ch.header.Tstart = type == kQxySpectrum || type == kQxySpectrumText ? 193.0 : -2.5;
    ch.header.StopFrequency = 194.0;
    ch.header.FrequencyStep = 0.125;
    const std::uint8_t pt = type == kQxySymbolSignal ? kQxyInt : kQxyDouble;
    std::vector<QxyPoint> row;
    for (std::int32_t k = 0; k < columns; ++k) {
        if (pt == kQxyInt) {
            ch.columns.push_back(column(k, pt, P::of_int(0), P::of_int(1), "", ""));
            row.push_back(P::of_int(k % 2));
        } else {
            ch.columns.push_back(column(k, pt, P::of_double(-1.5), P::of_double(1.5), "", ""));
            row.push_back(P::of_double(k == 0 ? 1.5 : -0.25));
        }
    }
    ch.rows = {row};
    return ch;
}

TEST_F(WriteQxy, TextSignalAndSpectrumHeaders) {
    struct Case {
        std::int32_t type;
        std::int32_t columns;
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
        {3, 4, "opt2.ssv",
         "NodrixOptSgn: 4\nSamplesNum:1\nDelt:5.00000000000000000e-01\nFsym:1.00000000000000000e+01\n"
         "Tstart:-2.50000000000000000e+00\nPolarization:2\nMinimum:-1.50000000000000000e+00\n"
         "Maximum:1.50000000000000000e+00\n+1.50000000000000000e+00:-2.50000000000000000e-01:"
         "-2.50000000000000000e-01:-2.50000000000000000e-01\n"},
        {4, 1, "spr.prn",
         "NodrixExpSpr  2\nType  4\nSamplesNum 1\nDelt 5.00000000000000000e-01\nFsym 1.00000000000000000e+01\n"
         "FrequencyStep 1.25000000000000000e-01\nStartFrequency 1.93000000000000000e+02\n"
         "StopFrequency 1.94000000000000000e+02\nMinimum -1.50000000000000000e+00\n"
         "Maximum 1.50000000000000000e+00\n+1.50000000000000000e+00\n"},
        {5, 1, "spr5.dat",
         "NodrixExpSpr  2\nType  5\nSamplesNum 1\nDelt 5.00000000000000000e-01\nFsym 1.00000000000000000e+01\n"
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
    struct Case {
        const char* path;
        int sep;       // xu_QXYGetSepByExt
        char written;  // separator of the text form
    };
    const Case cases[] = {
        {"a.csv", ',', ','},     {"a.CSV", ',', ','},     {"a.TXT", '\t', '\t'}, {"a.txt", '\t', '\t'},
        {"a.ssv", ':', ':'},     {"a.prn", ' ', ' '},     {"a.dat", -1, ' '},    {"a.xyz", -1, ' '},
        {"noext", -1, ' '},      {"a.cs", -1, ' '},       {"a.text", -1, ' '},   {"a.", -1, ' '},
        {"d.csv/plain", -1, ' '}, {"x.y.csv", ',', ','},
    };
    std::filesystem::create_directory("d.csv");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(xu_QXYGetSepByExt(c.path), c.sep);
        ASSERT_TRUE(write_file(c.path, 1, kQxyXY, {}));
        EXPECT_EQ(read_text(c.path), std::string("NodrixExpXY") + c.written + " 4\nType" + c.written + " 7\n");
    }
    EXPECT_EQ(xu_QXYGetSepByExt(nullptr), -1);
}

TEST_F(WriteQxy, FailureReports) {
    // A mode that is neither binary nor text.
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(xu_WriteQxyInit(nullptr, "x.qxy", 2), nullptr);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Nodrix-E-Error: bad filetype parameter\n");
    EXPECT_FALSE(std::filesystem::exists("x.qxy"));

    // A file that cannot be created.
    EXPECT_EQ(xu_WriteQxyInit(nullptr, "no/such/dir/x.qxy", 0), nullptr);
    EXPECT_EQ(xu_WriteQxyInit(nullptr, "no/such/dir/x.csv", 1), nullptr);

    // Text form: unknown file type, invalid point types.
    XuWriteQxy* w = xu_WriteQxyInit(nullptr, "bad.csv", 1);
    ASSERT_NE(w, nullptr);
    QxyFileHeader fh;
    fh.words[0] = 9;
    EXPECT_EQ(xu_WriteQxyHeader(w, fh), 1);  // no header lines for codes above 8
    QxyChartHeader h;
    h.ColumnNum = 1;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(xu_WriteQxyChartHeader(w, h), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Nodrix-E-Invalid file type\n");
    EXPECT_EQ(xu_WriteQxyEnd(w), 1);
    EXPECT_EQ(read_text("bad.csv"), "");

    w = xu_WriteQxyInit(nullptr, "badcol.csv", 1);
    ASSERT_NE(w, nullptr);
    fh.words[0] = kQxyXY;
    ASSERT_EQ(xu_WriteQxyHeader(w, fh), 1);
    ASSERT_EQ(xu_WriteQxyChartHeader(w, h), 1);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(xu_WriteQxyChartColumn(w, column(0, 4, P{}, P{}, "", "")), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Nodrix-E-Invalid sample type\n");
    EXPECT_EQ(xu_WriteQxyChartColumn(w, column(1, kQxyDouble, P{}, P{}, "", "")), -1);  // outside the chart
    ASSERT_EQ(xu_WriteQxyChartColumn(w, column(0, kQxyDouble, P{}, P{}, "", "")), 1);
    QxyPoint bad;
    bad.type = 9;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(xu_WriteQxyChartData(w, &bad), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Nodrix-E-Invalid sample type\n");
    h.ColumnNum = -1;
    EXPECT_EQ(xu_WriteQxyChartHeader(w, h), 0);
    EXPECT_EQ(xu_WriteQxyEnd(w), 1);

    // Binary form: the point writer's own report, the value is left out.
    w = xu_WriteQxyInit(nullptr, "bad.qxy", 0);
    ASSERT_NE(w, nullptr);
    ASSERT_EQ(xu_WriteQxyHeader(w, fh), 1);
    h.ColumnNum = 2;
    ASSERT_EQ(xu_WriteQxyChartHeader(w, h), 1);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(xu_WriteQxyChartColumn(w, column(0, 7, P{}, P{}, "", "")), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "xu_write_qxy_point(): invalid type.\n");
    ASSERT_EQ(xu_WriteQxyChartColumn(w, column(0, kQxyDouble, P{}, P{}, "", "")), 1);
    ASSERT_EQ(xu_WriteQxyChartColumn(w, column(1, kQxyInt, P{}, P{}, "", "")), 1);
    const QxyPoint row[2] = {bad, P::of_int(3)};
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(xu_WriteQxyChartData(w, row), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "xu_write_qxy_point(): invalid type.\n");
    EXPECT_EQ(xu_WriteQxyEnd(w), 1);
    const Bytes b = read_bytes("bad.qxy");
    // The row holds its mark and the integer only, then the final byte 0.
    const Bytes tail(b.end() - 6, b.end());
    EXPECT_EQ(tail, (Bytes{5, 3, 0, 0, 0, 0}));

    EXPECT_EQ(xu_WriteQxyEnd(nullptr), 0);
}

TEST_F(WriteQxy, TextsCutAt127Characters) {
    ChartSpec ch = sample_chart();
    const std::string long_title(300, 't');
    qxy_set_text(ch.header.Title, long_title);
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

// Every form the writer writes reads back with the same header, columns and
// values.
TEST_F(WriteQxy, RoundTripEveryForm) {
    struct Case {
        const char* path;
        int mode;
        std::int32_t type;
        std::int32_t columns;
    };
    const Case cases[] = {
        {"xy.qxy", 0, kQxyXY, 2},     {"xy.txt", 1, kQxyXY, 2},    {"xy.csv", 1, kQxyXY, 2},
        {"e.ssv", 1, 1, 1},           {"o1.prn", 1, 2, 2},         {"o2.dat", 1, 3, 4},
        {"s4.csv", 1, 4, 1},          {"s5.TXT", 1, 5, 1},         {"l6.txt", 1, 6, 3},
        {"sig.qsg", 0, 1, 1},         {"spr.qsp", 0, 4, 1},        {"sym.bxy", 0, 6, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const ChartSpec ch = c.type == kQxyXY ? sample_chart() : signal_chart(c.type, c.columns);
        ASSERT_TRUE(write_file(c.path, c.mode, c.type, {ch, ch}));
        Collected got;
        ASSERT_EQ(parse_file(c.path, got), 0);
        EXPECT_EQ(got.version, c.mode == 0 ? 3 : c.type == kQxyXY || c.type == 2 || c.type == 3 ? 4
                                                 : c.type == 4 || c.type == 5                  ? 2
                                                                                               : 3);
        // A text optical signal file is typed by its chart's "Polarization".
        EXPECT_EQ(got.file.words[0], c.mode == 1 && c.type == 3 ? 2 : c.type);
        EXPECT_EQ(got.file.words[1], 5);
        EXPECT_EQ(got.file.words[4], 7);
        ASSERT_EQ(got.charts.size(), 2u);
        for (const CollectedChart& g : got.charts) {
            const QxyChartHeader& h = g.header;
            EXPECT_EQ(h.SamplesNum, ch.header.SamplesNum);
            EXPECT_EQ(h.ColumnNum, c.columns);
            // The text XY header carries no timing; the symbol signal no Fsym.
            const bool text_xy = c.mode == 1 && c.type == kQxyXY;
            if (!text_xy) {
                EXPECT_EQ(h.Delt, ch.header.Delt);
            }
            if (c.mode == 0 || (!text_xy && c.type != kQxySymbolSignal)) {
                EXPECT_EQ(h.Fsym, ch.header.Fsym);
            }
            if (c.type == kQxyXY || c.mode == 0) {
                EXPECT_STREQ(h.Title, ch.header.Title);
                EXPECT_STREQ(h.LabelY, ch.header.LabelY);
                EXPECT_EQ(h.ChartType, ch.header.ChartType);
                EXPECT_EQ(h.GraphStyle, ch.header.GraphStyle);
            }
            if (c.type == 1 || c.mode == 0) {
                EXPECT_EQ(h.SamplesPerBit, ch.header.SamplesPerBit);
            }
            if (c.mode == 0 || (c.type >= 2 && c.type <= 5)) {
                EXPECT_EQ(h.Tstart, ch.header.Tstart);
            }
            if (c.type == 4 || c.type == 5) {
                EXPECT_EQ(h.StopFrequency, 194.0);
                EXPECT_EQ(h.FrequencyStep, 0.125);
            }
            ASSERT_EQ(g.columns.size(), static_cast<std::size_t>(c.columns));
            for (std::size_t k = 0; k < g.columns.size(); ++k) {
                const QxyColumn& want = ch.columns[c.mode == 1 && c.type != kQxyXY ? 0 : k];
                EXPECT_EQ(g.columns[k].Index, static_cast<std::int32_t>(k));
                EXPECT_EQ(g.columns[k].Type, ch.columns[k].Type);
                expect_point(g.columns[k].Minimum, want.Minimum, "min");
                expect_point(g.columns[k].Maximum, want.Maximum, "max");
                if (c.type == kQxyXY || c.mode == 0) {
                    EXPECT_STREQ(g.columns[k].Label, want.Label);
                    EXPECT_STREQ(g.columns[k].Measure, want.Measure);
                    EXPECT_EQ(g.columns[k].StartingScale, want.StartingScale);
                    EXPECT_EQ(g.columns[k].Ordering, want.Ordering);
                }
            }
            ASSERT_EQ(g.rows.size(), ch.rows.size());
            for (std::size_t r = 0; r < g.rows.size(); ++r)
                for (std::size_t k = 0; k < g.rows[r].size(); ++k)
                    expect_point(g.rows[r][k], ch.rows[r][k], "row " + std::to_string(r));
        }
    }
}

// Values that need all 17 digits, extremes of the float and integer ranges,
// and rows that are far wider than the 126 characters of a short line buffer.
TEST_F(WriteQxy, WideRowsAndExactValues) {
    ChartSpec ch;
    ch.header.ColumnNum = 40;
    ch.header.SamplesNum = 3;
    const double values[] = {0.1, -1.0 / 3.0, 1e-300, -1.7976931348623157e308, 4.9e-324, 123456789.123456789};
    const std::int32_t ints[] = {0, -2147483647 - 1, 2147483647, -1};
    for (int k = 0; k < 40; ++k) {
        const std::uint8_t t = k % 5 == 4 ? kQxyInt : kQxyDouble;
        ch.columns.push_back(column(k, t, t == kQxyInt ? P::of_int(-1) : P::of_double(-1.0),
                                    t == kQxyInt ? P::of_int(1) : P::of_double(1.0), "c", "u"));
    }
    for (int r = 0; r < 3; ++r) {
        std::vector<QxyPoint> row;
        for (int k = 0; k < 40; ++k)
            row.push_back(ch.columns[static_cast<std::size_t>(k)].Type == kQxyInt ? P::of_int(ints[(r + k) % 4])
                                                                                  : P::of_double(values[(r + k) % 6]));
        ch.rows.push_back(row);
    }
    for (const char* path : {"wide.csv", "wide.prn", "wide.qxy"}) {
        SCOPED_TRACE(path);
        ASSERT_TRUE(write_file(path, std::string(path).ends_with(".qxy") ? 0 : 1, kQxyXY, {ch}));
        Collected got;
        ASSERT_EQ(parse_file(path, got), 0);
        ASSERT_EQ(got.charts.size(), 1u);
        ASSERT_EQ(got.charts[0].rows.size(), 3u);
        for (int r = 0; r < 3; ++r)
            for (int k = 0; k < 40; ++k)
                expect_point(got.charts[0].rows[static_cast<std::size_t>(r)][static_cast<std::size_t>(k)],
                             ch.rows[static_cast<std::size_t>(r)][static_cast<std::size_t>(k)],
                             "r" + std::to_string(r) + " k" + std::to_string(k));
    }
    const std::string text = read_text("wide.csv");
    const std::size_t last = text.rfind('\n', text.size() - 2);
    EXPECT_GT(text.size() - last, 800u);  // one row line is far wider than 126 characters
}

}  // namespace
}  // namespace nodrix::testing
