// Chart reader: hand-built files of every form, chart positioning, row blocks,
// truncation at every byte, and every failure with its message and code.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/test_support.h"
#include "tests/xu/qxy_collect.h"
#include "xu/chart_compact.h"
#include "xu/pars_qxy.h"
#include "xu/write_qxy.h"

namespace nodrix::testing {
namespace {

using Bytes = std::vector<unsigned char>;
using P = QxyPoint;

class ParsQxy : public NodrixTest {};

void write_bytes(const std::string& path, const Bytes& b) { write_text(path, std::string(b.begin(), b.end())); }

void put_lp(Bytes& out, const std::string& s, std::int32_t length = -1) {
    put_i32(out, length >= 0 || length < -1 ? length : static_cast<std::int32_t>(s.size() + 1));
    put_text(out, s);
}

// A version 3 file with one chart of one float column and one row (1.5);
// every field that the failure cases spoil can be set.
struct V3 {
    std::string magic = "NodrixXY 3";
    std::uint8_t bom = 1;
    std::int32_t header_end = 0;
    std::uint8_t chart_mark = 1;
    std::int32_t samples = 1;
    std::int32_t columns = 1;
    std::int32_t title_length = -1;  // -1: the right length
    std::uint8_t column_mark = 4;
    std::int32_t column_type = kQxyDouble;
    std::uint8_t columns_end = 0;
    std::uint8_t row_mark = 5;

    Bytes bytes() const {
        Bytes e;
        put_text(e, magic);
        e.push_back(bom);
        for (const std::int32_t v : {7, 5, 16, 1, 7}) put_i32(e, v);
        put_i32(e, header_end);
        e.push_back(chart_mark);
        for (const std::int32_t v : {0, -1, samples, columns}) put_i32(e, v);
        put_lp(e, "Q", title_length);
        e.push_back(2);
        put_lp(e, "Y");
        put_lp(e, "u");
        e.push_back(3);
        put_f64(e, 1.0);
        put_f64(e, 2.0);
        put_i32(e, 3);
        put_f64(e, 4.0);
        put_f64(e, 5.0);
        put_f64(e, 6.0);
        e.push_back(0);
        e.push_back(column_mark);
        put_i32(e, column_type);
        put_f64(e, 1.5);
        put_f64(e, 1.5);
        put_i32(e, 0);
        put_f64(e, 0.0);
        put_lp(e, "x");
        put_lp(e, "s");
        e.push_back(columns_end);
        e.push_back(row_mark);
        put_f64(e, 1.5);
        e.push_back(0);
        return e;
    }
};

// A version 1 / 2 signal file.
struct Sgn {
    int version = 2;
    std::int32_t type = 1;
    std::int32_t stored_columns = 1;
    std::int32_t samples = 2;
    std::int32_t end = 0;
    std::vector<double> values = {0.5, -0.5};

    Bytes bytes() const {
        Bytes e;
        put_text(e, "NodrixSgn  " + std::to_string(version));
        put_i32(e, type);
        if (version >= 2)
            for (const std::int32_t v : {5, 16, 1, 7}) put_i32(e, v);
        put_i32(e, stored_columns);
        put_i32(e, samples);
        put_i32(e, 8);
        put_f64(e, -0.5);
        put_f64(e, 0.5);
        put_f64(e, 0.25);
        put_f64(e, 10.0);
        put_f64(e, 193.1);
        put_i32(e, end);
        for (const double v : values) put_f64(e, v);
        return e;
    }
};

// A version 1 spectrum file of two values.
struct Spr {
    std::int32_t header_end = 0;
    std::int32_t chart_end = 0;
    std::int32_t data_end = 0;

    Bytes bytes() const {
        Bytes e;
        put_text(e, "NodrixSpr  1");
        for (const std::int32_t v : {4, 5, 16, 1, 7}) put_i32(e, v);
        put_f64(e, 0.064);
        put_f64(e, 193.1);
        put_i32(e, header_end);
        put_i32(e, 2);
        for (const double v : {0.01, 193.0, 193.01, -60.0, -3.0}) put_f64(e, v);
        put_i32(e, chart_end);
        put_f64(e, -60.0);
        put_f64(e, -3.0);
        put_i32(e, data_end);
        return e;
    }
};

// A version 1 XY file of one chart with two points.
struct OldXY {
    std::int32_t type = 7;
    std::int32_t samples = 2;
    std::int32_t chart_header_end = 0;
    std::int32_t chart_end = 0;

    Bytes bytes() const {
        Bytes e;
        put_text(e, "NodrixXY  1");
        for (const std::int32_t v : {type, 5, 16, 1, 7, 0}) put_i32(e, v);
        put_i32(e, samples);
        put_f64(e, -1.0);
        put_f64(e, 4.0);
        for (const char* t : {"Q chart", "Time", "ps", "Q", "dB"}) put_text(e, t);
        put_i32(e, chart_header_end);
        for (const double v : {0.0, -1.0, 1.0, 4.0}) put_f64(e, v);
        put_i32(e, chart_end);
        return e;
    }
};

const char* kTextXY =
    "NodrixExpXY, 4\nType, 7\nChartType,1\nGraphStyle,-1\nSamplesNum,2\nColumnNum,2\nTitle,T\nLabelY,Y\n"
    "MeasureY,u\nColumnBegin\nType,3\nMinimum,0\nMaximum,1\nStartingScale,0\nOrdering,0\nLabel,x\nMeasure,s\n"
    "ColumnEnd\nColumnBegin\nType,5\nMinimum,-3\nMaximum,3\nStartingScale,2\nOrdering,0.5\nLabel,n\nMeasure,\n"
    "ColumnEnd\n+0.0e+00,-3\n+1.0e+00,3\n";

struct Outcome {
    int code;
    std::string err;
    Collected got;
};

Outcome run(const std::string& path, int chart = -1) {
    Outcome r;
    ::testing::internal::CaptureStderr();
    r.code = parse_file(path, r.got, chart);
    r.err = ::testing::internal::GetCapturedStderr();
    return r;
}

TEST_F(ParsQxy, VersionThreeAndContainer) {
    write_bytes("a.qxy", V3{}.bytes());
    Outcome r = run("a.qxy");
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.got.kinds, (std::vector<int>{1, 2, 3, 6, 7}));
    EXPECT_EQ(r.got.version, 3);
    ASSERT_EQ(r.got.charts.size(), 1u);
    const QxyChartHeader& h = r.got.charts[0].header;
    EXPECT_EQ(h.GraphStyle, -1);
    EXPECT_STREQ(h.Title, "Q");
    EXPECT_STREQ(h.LabelY, "Y");
    EXPECT_STREQ(h.MeasureY, "u");
    EXPECT_EQ(h.Fsym, 1.0);
    EXPECT_EQ(h.Delt, 2.0);
    EXPECT_EQ(h.SamplesPerBit, 3);
    EXPECT_EQ(h.Tstart, 4.0);
    EXPECT_EQ(h.StopFrequency, 5.0);
    EXPECT_EQ(h.FrequencyStep, 6.0);
    EXPECT_STREQ(r.got.charts[0].columns[0].Label, "x");
    EXPECT_EQ(r.got.charts[0].rows[0][0].d, 1.5);

    // The generic container takes the same path whatever its version.
    V3 q;
    q.magic = "QuarvinXY 1";
    write_bytes("q.bxy", q.bytes());
    r = run("q.bxy");
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.got.version, 1);
    ASSERT_EQ(r.got.charts.size(), 1u);
    EXPECT_EQ(r.got.charts[0].rows[0][0].d, 1.5);

    // Optional sections: a header that ends after its title, or skips the labels.
    Bytes b;
    put_text(b, "NodrixXY 3");
    b.push_back(1);
    for (const std::int32_t v : {7, 5, 16, 1, 7, 0}) put_i32(b, v);
    b.push_back(1);
    for (const std::int32_t v : {4, 9, 1, 0}) put_i32(b, v);
    put_lp(b, "bare");
    b.push_back(0);  // end of the header
    b.push_back(0);  // no columns
    b.push_back(5);  // one empty row
    b.push_back(0);
    b.push_back(1);
    for (const std::int32_t v : {0, 0, 0, 0}) put_i32(b, v);
    put_lp(b, "timing only");
    b.push_back(3);
    for (int k = 0; k < 2; ++k) put_f64(b, 7.0);
    put_i32(b, 8);
    for (int k = 0; k < 3; ++k) put_f64(b, 9.0);
    b.push_back(0);
    b.push_back(0);
    b.push_back(0);
    write_bytes("opt.QXY", b);
    r = run("opt.QXY");
    ASSERT_EQ(r.code, 0) << r.err;
    ASSERT_EQ(r.got.charts.size(), 2u);
    EXPECT_STREQ(r.got.charts[0].header.Title, "bare");
    EXPECT_EQ(r.got.charts[0].header.ChartType, 4);
    EXPECT_EQ(r.got.charts[0].header.Fsym, 0.0);
    EXPECT_EQ(r.got.charts[0].rows.size(), 1u);
    EXPECT_STREQ(r.got.charts[1].header.LabelY, "");
    EXPECT_EQ(r.got.charts[1].header.SamplesPerBit, 8);
    EXPECT_EQ(r.got.charts[1].header.FrequencyStep, 9.0);
}

TEST_F(ParsQxy, OlderBinaryForms) {
    write_bytes("xy.qxy", OldXY{}.bytes());
    Outcome r = run("xy.qxy");
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.got.version, 1);
    ASSERT_EQ(r.got.charts.size(), 1u);
    const CollectedChart& xy = r.got.charts[0];
    EXPECT_STREQ(xy.header.Title, "Q chart");
    EXPECT_EQ(xy.header.ColumnNum, 2);
    EXPECT_STREQ(xy.header.LabelY, "Q");
    EXPECT_STREQ(xy.columns[0].Label, "Time");
    EXPECT_STREQ(xy.columns[0].Measure, "ps");
    EXPECT_STREQ(xy.columns[1].Label, "Q");
    EXPECT_STREQ(xy.columns[1].Measure, "dB");
    for (const QxyColumn& c : xy.columns) {
        EXPECT_EQ(c.Type, kQxyDouble);
        EXPECT_EQ(c.Minimum.d, -1.0);
        EXPECT_EQ(c.Maximum.d, 4.0);
    }
    ASSERT_EQ(xy.rows.size(), 2u);
    EXPECT_EQ(xy.rows[1][0].d, 1.0);
    EXPECT_EQ(xy.rows[1][1].d, 4.0);

    write_bytes("s.qsp", Spr{}.bytes());
    r = run("s.qsp");
    ASSERT_EQ(r.code, 0) << r.err;
    ASSERT_EQ(r.got.charts.size(), 1u);
    const CollectedChart& sp = r.got.charts[0];
    EXPECT_EQ(r.got.file.words[0], 4);
    EXPECT_EQ(sp.header.Delt, 0.064);
    EXPECT_EQ(sp.header.Fsym, 193.1);
    EXPECT_EQ(sp.header.FrequencyStep, 0.01);
    EXPECT_EQ(sp.header.Tstart, 193.0);
    EXPECT_EQ(sp.header.StopFrequency, 193.01);
    ASSERT_EQ(sp.columns.size(), 1u);
    EXPECT_EQ(sp.columns[0].Minimum.d, -60.0);
    EXPECT_STREQ(sp.columns[0].Label, "");
    ASSERT_EQ(sp.rows.size(), 2u);
    EXPECT_EQ(sp.rows[1][0].d, -3.0);

    // Signals: columns follow the type; version 1 holds the type word alone.
    struct Case {
        int version;
        std::int32_t type;
        std::int32_t stored;
        std::int32_t columns;
    };
    for (const Case c : {Case{2, 1, 1, 1}, Case{2, 2, 9, 2}, Case{2, 3, 9, 4}, Case{2, 6, 3, 3}, Case{1, 1, 1, 1}}) {
        SCOPED_TRACE(c.type);
        Sgn s;
        s.version = c.version;
        s.type = c.type;
        s.stored_columns = c.stored;
        s.samples = 2;
        s.values.assign(static_cast<std::size_t>(2 * c.columns), 0.0);
        s.values.back() = 0.75;
        write_bytes("sig.qsg", s.bytes());
        r = run("sig.qsg");
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(r.got.version, c.version);
        EXPECT_EQ(r.got.file.words[0], c.type);
        EXPECT_EQ(r.got.file.words[2], 16);
        ASSERT_EQ(r.got.charts.size(), 1u);
        const CollectedChart& g = r.got.charts[0];
        EXPECT_EQ(g.header.ColumnNum, c.columns);
        EXPECT_EQ(g.header.SamplesPerBit, 8);
        EXPECT_EQ(g.header.Delt, 0.25);
        EXPECT_EQ(g.header.Tstart, 10.0);
        EXPECT_EQ(g.header.Fsym, 193.1);
        ASSERT_EQ(g.columns.size(), static_cast<std::size_t>(c.columns));
        EXPECT_EQ(g.columns.back().Minimum.d, -0.5);
        EXPECT_EQ(g.columns.back().Type, kQxyDouble);
        ASSERT_EQ(g.rows.size(), 2u);
        EXPECT_EQ(g.rows[1].back().d, 0.75);
    }

    // A signal whose header was never rewritten (count 0): rows up to the end.
    Sgn open_ended;
    open_ended.samples = 0;
    open_ended.values = {1.0, 2.0, 3.0};
    write_bytes("open.qsg", open_ended.bytes());
    r = run("open.qsg");
    ASSERT_EQ(r.code, 0) << r.err;
    ASSERT_EQ(r.got.charts.size(), 1u);
    EXPECT_EQ(r.got.charts[0].rows.size(), 3u);
}

TEST_F(ParsQxy, TextForms) {
    write_text("xy.csv", kTextXY);
    Outcome r = run("xy.csv");
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.got.version, 4);
    ASSERT_EQ(r.got.charts.size(), 1u);
    const CollectedChart& g = r.got.charts[0];
    EXPECT_STREQ(g.header.Title, "T");
    ASSERT_EQ(g.columns.size(), 2u);
    EXPECT_EQ(g.columns[1].Type, kQxyInt);
    EXPECT_EQ(g.columns[1].Minimum.i, -3);
    EXPECT_EQ(g.columns[1].StartingScale, 2);
    EXPECT_EQ(g.columns[1].Ordering, 0.5);
    ASSERT_EQ(g.rows.size(), 2u);
    EXPECT_EQ(g.rows[1][0].d, 1.0);
    EXPECT_EQ(g.rows[1][1].i, 3);

    // CR LF line ends, blank lines and keywords in another order read the same.
    std::string crlf;
    for (const char ch : std::string(kTextXY)) crlf += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
    crlf.insert(crlf.find("ColumnNum"), "\r\n  \r\n");
    write_text("crlf.csv", crlf);
    Outcome r2 = run("crlf.csv");
    ASSERT_EQ(r2.code, 0) << r2.err;
    ASSERT_EQ(r2.got.charts.size(), 1u);
    EXPECT_EQ(r2.got.charts[0].rows.size(), 2u);
    EXPECT_STREQ(r2.got.charts[0].columns[0].Measure, "s");

    // The older text XY chart (version 3): two columns made by the reader.
    write_text("old.prn",
               "NodrixExpXY  3\nType  7\nTitle Eye closure\nSamplesNum 2\nMinimum -1\nMaximum 1\nLabelX Time\n"
               "MeasureX ps\nLabelY Level\nMeasureY mA\n+0 -1\n+1 +1\n");
    r = run("old.prn");
    ASSERT_EQ(r.code, 0) << r.err;
    ASSERT_EQ(r.got.charts.size(), 1u);
    EXPECT_STREQ(r.got.charts[0].header.Title, "Eye closure");
    EXPECT_STREQ(r.got.charts[0].columns[0].Label, "Time");
    EXPECT_STREQ(r.got.charts[0].columns[1].Measure, "mA");
    EXPECT_EQ(r.got.charts[0].columns[1].Maximum.d, 1.0);
    EXPECT_EQ(r.got.charts[0].rows[0][1].d, -1.0);

    // Rows of unknown count (SamplesNum 0) end at the next chart header.
    write_text("open.csv",
               "NodrixExpXY, 4\nType, 7\nChartType,0\nGraphStyle,0\nSamplesNum,0\nColumnNum,0\nTitle,empty\n"
               "LabelY,\nMeasureY,\nChartType,0\nGraphStyle,0\nSamplesNum,0\nColumnNum,1\nTitle,open\nLabelY,\n"
               "MeasureY,\nColumnBegin\nType,3\nMinimum,0\nMaximum,0\nStartingScale,0\nOrdering,0\nLabel,\n"
               "Measure,\nColumnEnd\n1\n2\n-3\nChartType,0\nGraphStyle,0\nSamplesNum,1\nColumnNum,1\nTitle,last\n"
               "LabelY,\nMeasureY,\nColumnBegin\nType,5\nMinimum,0\nMaximum,0\nStartingScale,0\nOrdering,0\n"
               "Label,\nMeasure,\nColumnEnd\n7\n");
    r = run("open.csv");
    ASSERT_EQ(r.code, 0) << r.err;
    ASSERT_EQ(r.got.charts.size(), 3u);
    EXPECT_EQ(r.got.charts[0].rows.size(), 0u);
    EXPECT_EQ(r.got.charts[1].rows.size(), 3u);
    EXPECT_EQ(r.got.charts[1].rows[2][0].d, -3.0);
    EXPECT_STREQ(r.got.charts[2].header.Title, "last");
    EXPECT_EQ(r.got.charts[2].rows[0][0].i, 7);

    // A container that holds no chart reads as an empty file.
    write_text("empty.dat", "QuarvinXY  1\n");
    r = run("empty.dat");
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.got.version, 1);
    EXPECT_EQ(r.got.file.words[0], 8);
    EXPECT_TRUE(r.got.charts.empty());
}

TEST_F(ParsQxy, SampleNumOnlyForSignals) {
    struct Case {
        const char* name;
        const char* text;
        int code;
    };
    const std::string common = "SampleNum 1\nMinimum 0\nMaximum 1\nDelt 1\n";
    const Case cases[] = {
        {"elt.prn", "NodrixEltSgn  3\nSampleNum 1\nDelt 1\nFsym 2\nSamplesPerBit 4\nMinimum 0\nMaximum 1\n+5\n", 0},
        {"opt.prn", "NodrixOptSgn  4\nSampleNum 1\nMinimum 0\nMaximum 1\nTstart 0\nDelt 1\nFsym 2\nPolarization 1\n"
                    "+5 +6\n", 0},
        {"log.prn", "NodrixLogSgn  3\nSampleNum 1\nNBitsPerSymbol 2\nMinimum 0\nMaximum 1\nDelt 1\n1 0\n", 0},
        {"spr.prn", "NodrixExpSpr  2\nType  4\nSampleNum 1\nFsym 1\nMinimum 0\nMaximum 1\nDelt 1\nFrequencyStep 1\n"
                    "StartFrequency 1\nStopFrequency 1\n+5\n", -1},
        {"xy4.prn", "NodrixExpXY  4\nType  7\nChartType 0\nGraphStyle 0\nSampleNum 1\nColumnNum 0\nTitle t\n"
                    "LabelY y\nMeasureY m\n", -1},
        {"xy3.prn", "NodrixExpXY  3\nType  7\nSampleNum 1\nMinimum 0\nMaximum 1\nTitle t\nLabelX x\nMeasureX m\n"
                    "LabelY y\nMeasureY m\n+1 +2\n", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        write_text(c.name, c.text);
        const Outcome r = run(c.name);
        EXPECT_EQ(r.code, c.code);
        if (c.code == 0) {
            EXPECT_EQ(r.err, "");
            ASSERT_EQ(r.got.charts.size(), 1u);
            EXPECT_EQ(r.got.charts[0].header.SamplesNum, 1);
            ASSERT_EQ(r.got.charts[0].rows.size(), 1u);
        } else {
            EXPECT_EQ(r.err, "Nodrix-E-One/some parameter not found for header\n");
        }
    }
}

TEST_F(ParsQxy, PolarizationSetsTypeAndColumns) {
    struct Case {
        int polarization;
        int code;
        std::size_t columns;
    };
    for (const Case c : {Case{1, 0, 2}, Case{2, 0, 4}, Case{3, -2, 0}, Case{0, -2, 0}, Case{-1, -2, 0}}) {
        SCOPED_TRACE(c.polarization);
        const std::string row = c.polarization == 1 ? "+1\t+2\n" : "+1\t+2\t+3\t+4\n";
        write_text("o.txt", "NodrixOptSgn\t 4\nSamplesNum\t1\nMinimum\t0\nMaximum\t1\nTstart\t0\nDelt\t1\nFsym\t2\n"
                            "Polarization\t" + std::to_string(c.polarization) + "\n" + row);
        const Outcome r = run("o.txt");
        EXPECT_EQ(r.code, c.code);
        EXPECT_EQ(r.err, "");
        if (c.code == 0) {
            ASSERT_EQ(r.got.charts.size(), 1u);
            EXPECT_EQ(r.got.charts[0].columns.size(), c.columns);
            EXPECT_EQ(r.got.charts[0].header.ColumnNum, static_cast<std::int32_t>(c.columns));
            EXPECT_EQ(r.got.charts[0].rows.at(0).size(), c.columns);
        }
    }
    // With Polarization 1 the row of four values is too wide: a format error.
    write_text("o2.txt", "NodrixOptSgn\t 4\nSamplesNum\t1\nMinimum\t0\nMaximum\t1\nTstart\t0\nDelt\t1\nFsym\t2\n"
                         "Polarization\t1\n+1\t+2\t+3\t+4\n");
    EXPECT_EQ(run("o2.txt").code, -2);
}

TEST_F(ParsQxy, ChartByNumber) {
    // Version 3: two charts separated by one byte 0.
    XuWriteQxy* w = xu_WriteQxyInit(nullptr, "two.qxy", 0);
    ASSERT_NE(w, nullptr);
    ASSERT_EQ(xu_WriteQxyHeader(w, QxyFileHeader{}), 1);
    for (int chart = 0; chart < 2; ++chart) {
        QxyChartHeader h;
        h.SamplesNum = 1 + chart;
        h.ColumnNum = 1;
        qxy_set_text(h.Title, chart == 0 ? "first" : "second");
        ASSERT_EQ(xu_WriteQxyChartHeader(w, h), 1);
        ASSERT_EQ(xu_WriteQxyChartColumn(w, column(0, kQxyDouble, P{}, P{}, "", "")), 1);
        for (int k = 0; k <= chart; ++k) {
            const QxyPoint p = P::of_double(10.0 * chart + k);
            ASSERT_EQ(xu_WriteQxyChartData(w, &p), 1);
        }
    }
    ASSERT_EQ(xu_WriteQxyEnd(w), 1);

    write_text("two.csv", std::string(kTextXY) +
                              "ChartType,1\nGraphStyle,-1\nSamplesNum,1\nColumnNum,1\nTitle,second\nLabelY,Y\n"
                              "MeasureY,u\nColumnBegin\nType,3\nMinimum,0\nMaximum,1\nStartingScale,0\nOrdering,0\n"
                              "Label,x\nMeasure,s\nColumnEnd\n+2.5e+00\n");
    Bytes old = OldXY{}.bytes();
    const Bytes again(old.begin() + 36, old.end());
    old.insert(old.end(), again.begin(), again.end());
    old[36 + again.size() + 20] = 'S';  // the second title reads "S chart"
    write_bytes("two_old.qxy", old);

    for (const char* path : {"two.qxy", "two.csv", "two_old.qxy"}) {
        SCOPED_TRACE(path);
        Outcome all = run(path);
        ASSERT_EQ(all.code, 0) << all.err;
        ASSERT_EQ(all.got.charts.size(), 2u);
        Outcome second = run(path, 1);
        ASSERT_EQ(second.code, 0) << second.err;
        ASSERT_EQ(second.got.charts.size(), 1u);
        EXPECT_STREQ(second.got.charts[0].header.Title, all.got.charts[1].header.Title);
        EXPECT_EQ(second.got.charts[0].rows.size(), all.got.charts[1].rows.size());
        EXPECT_EQ(second.got.charts[0].rows.back()[0].d, all.got.charts[1].rows.back()[0].d);
        // The header records come once, before the chart.
        EXPECT_EQ(second.got.kinds[0], kQxyRecVersion);
        EXPECT_EQ(second.got.kinds[1], kQxyRecFileHeader);
        Outcome first = run(path, 0);
        ASSERT_EQ(first.got.charts.size(), 1u);
        EXPECT_STREQ(first.got.charts[0].header.Title, all.got.charts[0].header.Title);
        Outcome none = run(path, 2);
        EXPECT_EQ(none.code, 0);
        EXPECT_TRUE(none.got.charts.empty());
    }
    // Positioning serves every text type, not only XY charts.
    ChartSpec sig;
    sig.header.ColumnNum = 1;
    sig.columns = {column(0, kQxyDouble, P::of_double(-1.0), P::of_double(1.0), "", "")};
    std::vector<ChartSpec> signals;
    for (int chart = 0; chart < 3; ++chart) {
        sig.header.SamplesNum = chart + 1;
        sig.rows.push_back({P::of_double(chart)});
        signals.push_back(sig);
    }
    ASSERT_TRUE(write_file("three.ssv", 1, kQxyElectricalSignal, signals));
    Outcome third = run("three.ssv", 2);
    ASSERT_EQ(third.code, 0) << third.err;
    ASSERT_EQ(third.got.charts.size(), 1u);
    ASSERT_EQ(third.got.charts[0].rows.size(), 3u);
    EXPECT_EQ(third.got.charts[0].rows[2][0].d, 2.0);
    EXPECT_STREQ(run("two.qxy", 1).got.charts[0].header.Title, "second");
    EXPECT_STREQ(run("two_old.qxy", 1).got.charts[0].header.Title, "S chart");
}

TEST_F(ParsQxy, RowsInBlocksOfAThousand) {
    std::vector<double> x(2500), y(2500);
    for (std::size_t k = 0; k < x.size(); ++k) {
        x[k] = static_cast<double>(k);
        y[k] = 0.5 * static_cast<double>(k);
    }
    const std::int32_t id = qxy1_create("big.qxy");
    ASSERT_GT(id, 0);
    ASSERT_TRUE(qxy1_write_chart(id, "big", "k", "", "half", "", x, y));
    ASSERT_TRUE(qxy1_close(id));

    ChartSpec ch;
    ch.header.SamplesNum = 2500;
    ch.header.ColumnNum = 2;
    ch.columns = {column(0, kQxyDouble, P{}, P{}, "k", ""), column(1, kQxyInt, P{}, P{}, "n", "")};
    for (int k = 0; k < 2500; ++k) ch.rows.push_back({P::of_double(k), P::of_int(k / 2)});
    ASSERT_TRUE(write_file("big3.qxy", 0, kQxyXY, {ch}));
    ASSERT_TRUE(write_file("big.csv", 1, kQxyXY, {ch}));
    Sgn s;
    s.samples = 2500;
    s.values.assign(2500, 1.0);
    write_bytes("big.qsg", s.bytes());

    for (const char* path : {"big.qxy", "big3.qxy", "big.csv", "big.qsg"}) {
        SCOPED_TRACE(path);
        Collected got;
        XuParsQxy* c = xu_ParsQxyInit(nullptr, path, collect_record, &got);
        ASSERT_NE(c, nullptr);
        ASSERT_EQ(xu_ParsQxyHeader(c), 0);
        ASSERT_EQ(xu_ParsQxyChartHeader(c), 1);
        EXPECT_EQ(xu_ParsQxyChartData(c, 1000), 1000);
        EXPECT_EQ(xu_ParsQxyChartData(c, 1000), 1000);
        EXPECT_EQ(xu_ParsQxyChartData(c, 1000), 500);
        EXPECT_EQ(xu_ParsQxyChartData(c, 1000), 0);
        EXPECT_EQ(xu_ParsQxyChartHeader(c), 0);
        EXPECT_EQ(xu_ParsQxyEnd(c), 0);
        ASSERT_EQ(got.charts.size(), 1u);
        ASSERT_EQ(got.charts[0].rows.size(), 2500u);
        EXPECT_EQ(got.charts[0].rows[2499][0].value(), std::string(path) == "big.qsg" ? 1.0 : 2499.0);
    }

    // A chart header read in the middle of a chart skips the rest of its rows.
    Collected got;
    XuParsQxy* c = xu_ParsQxyInit(nullptr, "big3.qxy", collect_record, &got);
    ASSERT_NE(c, nullptr);
    ASSERT_EQ(xu_ParsQxyHeader(c), 0);
    ASSERT_EQ(xu_ParsQxyChartHeader(c), 1);
    EXPECT_EQ(xu_ParsQxyChartData(c, 10), 10);
    EXPECT_EQ(xu_ParsQxyChartHeader(c), 0);
    EXPECT_EQ(got.charts[0].rows.size(), 10u);
    // Positioning again goes back to the start.
    EXPECT_EQ(xu_ParsQxyChartSetPos(c, 0), 0);
    EXPECT_EQ(xu_ParsQxyChartHeader(c), 1);
    EXPECT_EQ(got.charts.size(), 2u);
    EXPECT_EQ(xu_ParsQxyEnd(c), 0);
}

TEST_F(ParsQxy, CallbackRefusal) {
    write_bytes("a.qxy", V3{}.bytes());
    for (const int kind : {1, 2, 3, 6, 7}) {
        SCOPED_TRACE(kind);
        Collected got;
        got.refuse_kind = kind;
        EXPECT_EQ(parse_file("a.qxy", got), -3);
        EXPECT_EQ(got.kinds.back(), kind);
    }
    write_text("xy.csv", kTextXY);
    Collected got;
    got.refuse_after_rows = 0;
    EXPECT_EQ(parse_file("xy.csv", got), -3);
    EXPECT_EQ(got.charts[0].rows.size(), 1u);
}

// Each failure gives its code and exactly its message (or none).
TEST_F(ParsQxy, FailureTable) {
    std::filesystem::create_directory("dir.qxy");
    struct Case {
        std::string name;
        Bytes content;  // empty with `skip`: not written
        bool skip;
        int code;
        std::string err;
    };
    auto text = [](const std::string& s) { return Bytes(s.begin(), s.end()); };
    auto v3 = [](auto change) {
        V3 v;
        change(v);
        return v.bytes();
    };
    auto sgn = [](auto change) {
        Sgn v;
        change(v);
        return v.bytes();
    };
    auto oldxy = [](auto change) {
        OldXY v;
        change(v);
        return v.bytes();
    };
    auto spr = [](auto change) {
        Spr v;
        change(v);
        return v.bytes();
    };
    const std::string hdr = "Nodrix-E-Cannot read Header section\n";
    const std::string xy_head = "NodrixExpXY, 4\nType, 7\n";
    const std::string xy_chart = "ChartType,1\nGraphStyle,-1\nSamplesNum,1\nColumnNum,1\nTitle,T\nLabelY,Y\nMeasureY,u\n";
    const std::string col = "ColumnBegin\nType,3\nMinimum,0\nMaximum,1\nStartingScale,0\nOrdering,0\nLabel,x\n"
                            "Measure,s\nColumnEnd\n";
    Bytes no_nul(300, 'A');
    std::vector<Case> cases = {
        {"missing.qxy", {}, true, -2, "Nodrix-E-File missing.qxy not found\n"},
        {"missing.csv", {}, true, -2, "Nodrix-E-File missing.csv not found\n"},
        {"dir.qxy", {}, true, -2, "Nodrix-E-File dir.qxy not found\n"},
        {"magic.qxy", v3([](V3& v) { v.magic = "NodrixXQ 3"; }), false, -2, hdr},
        {"textmagic.qxy", text("NodrixExpXY 4\n"), false, -2, hdr},
        {"empty.qxy", {}, false, -2, hdr},
        {"nonul.qsg", no_nul, false, -2, hdr},
        {"magic.csv", text("Hello, 4\n"), false, -2, hdr},
        {"binmagic.csv", text("NodrixXY, 3\n"), false, -2, hdr},
        {"empty.csv", {}, false, -2, hdr},
        {"notype.csv", text("NodrixExpXY, 4\nTipe, 7\n"), false, -2, hdr},
        {"notype2.csv", text("NodrixExpSpr, 2\n"), false, -2, hdr},
        {"bom.qxy", v3([](V3& v) { v.bom = 0; }), false, -2, "Nodrix-E-Byte Order invalid\n"},
        {"bom2.qxy", v3([](V3& v) { v.bom = 2; }), false, -2, "Nodrix-E-Byte Order invalid\n"},
        {"hdrend.qxy", v3([](V3& v) { v.header_end = 5; }), false, -2, ""},
        {"mark.qxy", v3([](V3& v) { v.chart_mark = 7; }), false, -2, ""},
        {"colmark.qxy", v3([](V3& v) { v.column_mark = 2; }), false, -2, ""},
        {"colend.qxy", v3([](V3& v) { v.columns_end = 4; }), false, -2, ""},
        {"rowmark.qxy", v3([](V3& v) { v.row_mark = 9; }), false, -2, ""},
        {"coltype.qxy", v3([](V3& v) { v.column_type = 4; }), false, -2, "Nodrix-E-Bad column type 4\n"},
        {"negsamples.qxy", v3([](V3& v) { v.samples = -1; }), false, -2, ""},
        {"hugecols.qxy", v3([](V3& v) { v.columns = 2147483647; }), false, -2, ""},
        {"negcols.qxy", v3([](V3& v) { v.columns = -4; }), false, -2, ""},
        {"manycols.qxy", v3([](V3& v) { v.columns = kQxyMaxColumns + 1; }), false, -2, ""},
        {"fewcols.qxy", v3([](V3& v) { v.columns = 2; }), false, -2, ""},
        // An end mark before the stated count closes the chart.
        {"hugesamples.qxy", v3([](V3& v) { v.samples = 2147483647; }), false, 0, ""},
        {"hugetext.qxy", v3([](V3& v) { v.title_length = 2147483647; }), false, -2, ""},
        {"negtext.qxy", v3([](V3& v) { v.title_length = -5; }), false, -2, ""},
        {"zerotext.qxy", v3([](V3& v) { v.title_length = 0; }), false, -2, ""},
        {"shorttext.qxy", v3([](V3& v) { v.title_length = 1; }), false, -2, ""},
        {"longtext.qxy", v3([](V3& v) { v.title_length = 3; }), false, -2, ""},
        {"sgnend.qsg", sgn([](Sgn& v) { v.end = 9; }), false, -2, "Nodrix-E-Wrong Signal Termination\n"},
        {"sgncols.qsg", sgn([](Sgn& v) { v.type = 6; v.stored_columns = 0; }), false, -2, ""},
        {"sgnhuge.qsg", sgn([](Sgn& v) { v.type = 6; v.stored_columns = 1000000000; }), false, -2, ""},
        {"sgnneg.qsg", sgn([](Sgn& v) { v.samples = -2; }), false, -2, ""},
        {"sgnmany.qsg", sgn([](Sgn& v) { v.samples = 2147483647; }), false, -1, ""},
        {"sgntype.qsg", sgn([](Sgn& v) { v.type = 12; }), false, -2, "Nodrix-E-Bad file type\n"},
        {"sprhdr.qsp", spr([](Spr& v) { v.header_end = 1; }), false, -2, "Nodrix-E-Wrong Spectrum Termination\n"},
        {"sprchart.qsp", spr([](Spr& v) { v.chart_end = -1; }), false, -2, "Nodrix-E-Wrong Spectrum Termination\n"},
        {"sprdata.qsp", spr([](Spr& v) { v.data_end = 7; }), false, -2, ""},
        {"xyhdr.qxy", oldxy([](OldXY& v) { v.chart_header_end = 3; }), false, -2, ""},
        {"xyend.qxy", oldxy([](OldXY& v) { v.chart_end = 3; }), false, -2, ""},
        {"xyneg.qxy", oldxy([](OldXY& v) { v.samples = -1; }), false, -2, ""},
        {"xyhuge.qxy", oldxy([](OldXY& v) { v.samples = 2147483647; }), false, -1, ""},
        {"xytype.qxy", oldxy([](OldXY& v) { v.type = 0; }), false, -2, "Nodrix-E-Bad file type\n"},
        {"missingkey.csv", text(xy_head + "ChartType,1\nGraphStyle,-1\nSamplesNum,1\nColumnNum,1\nTitle,T\n"
                                          "Comment,none\nMeasureY,u\n" + col + "+1\n"),
         false, -1, "Nodrix-E-One/some parameter not found for header\n"},
        {"novalue.csv", text(xy_head + "ChartType,1\nGraphStyle,-1\nSamplesNum,\nColumnNum,1\nTitle,T\nLabelY,Y\n"
                                       "MeasureY,u\n" + col + "+1\n"),
         false, -2, ""},
        {"badnumber.csv", text(xy_head + "ChartType,1\nGraphStyle,-1\nSamplesNum,1x\nColumnNum,1\nTitle,T\n"
                                         "LabelY,Y\nMeasureY,u\n" + col + "+1\n"),
         false, -2, ""},
        {"bigcount.csv", text(xy_head + "ChartType,1\nGraphStyle,-1\nSamplesNum,99999999999\nColumnNum,1\n"
                                        "Title,T\nLabelY,Y\nMeasureY,u\n" + col + "+1\n"),
         false, -2, ""},
        {"negcount.csv", text(xy_head + "ChartType,1\nGraphStyle,-1\nSamplesNum,-3\nColumnNum,1\nTitle,T\n"
                                        "LabelY,Y\nMeasureY,u\n" + col + "+1\n"),
         false, -2, ""},
        {"hugecolumns.csv", text(xy_head + "ChartType,1\nGraphStyle,-1\nSamplesNum,1\nColumnNum,100000000\n"
                                           "Title,T\nLabelY,Y\nMeasureY,u\n" + col + "+1\n"),
         false, -2, ""},
        {"nobegin.csv", text(xy_head + xy_chart + "ColumnStart\n" + col.substr(12) + "+1\n"), false, -2, ""},
        {"noend.csv", text(xy_head + xy_chart + col.substr(0, col.size() - 10) + "ColumnStop\n+1\n"), false, -2,
         ""},
        {"coltype.csv", text(xy_head + xy_chart + "ColumnBegin\nType,9\nMinimum,0\nMaximum,1\nStartingScale,0\n"
                                                  "Ordering,0\nLabel,x\nMeasure,s\nColumnEnd\n+1\n"),
         false, -2, "Nodrix-E-Bad column type 9\n"},
        {"intminmax.csv", text(xy_head + xy_chart + "ColumnBegin\nType,5\nMinimum,0.5\nMaximum,1\nStartingScale,0\n"
                                                    "Ordering,0\nLabel,x\nMeasure,s\nColumnEnd\n1\n"),
         false, -2, ""},
        {"colkey.csv", text(xy_head + xy_chart + "ColumnBegin\nType,3\nMinimum,0\nMaxi,1\nStartingScale,0\n"
                                                 "Ordering,0\nLabel,x\nMeasure,s\nColumnEnd\n+1\n"),
         false, -1, "Nodrix-E-One/some parameter not found for header\n"},
        {"container.csv", text("QuarvinXY, 1\nSamplesNum,1\n+1\n"), false, -2,
         "Nodrix-E-Unable to read column header for this ascii file type\n"},
        {"spr12.csv", text("NodrixExpSpr, 2\nType,12\nSamplesNum,1\n"), false, -2, "Nodrix-E-Bad file type\n"},
        {"wide.csv", text(xy_head + xy_chart + col + "+1,+2\n"), false, -2, ""},
        {"narrow.csv", text(xy_head + "ChartType,1\nGraphStyle,-1\nSamplesNum,1\nColumnNum,2\nTitle,T\nLabelY,Y\n"
                                      "MeasureY,u\n" + col + col + "+1\n"),
         false, -2, ""},
        {"word.csv", text(xy_head + xy_chart + col + "+1x\n"), false, -2, ""},
        {"introw.csv", text(xy_head + xy_chart + "ColumnBegin\nType,5\nMinimum,0\nMaximum,1\nStartingScale,0\n"
                                                 "Ordering,0\nLabel,x\nMeasure,s\nColumnEnd\n1.5\n"),
         false, -2, ""},
        {"introw2.csv", text(xy_head + xy_chart + "ColumnBegin\nType,5\nMinimum,0\nMaximum,1\nStartingScale,0\n"
                                                  "Ordering,0\nLabel,x\nMeasure,s\nColumnEnd\n4294967296\n"),
         false, -2, ""},
        {"nolf.csv", text(xy_head + xy_chart + col + "+1"), false, -1, ""},
        {"fewrows.csv", text(xy_head + xy_chart + col), false, -1, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.skip) write_bytes(c.name, c.content);
        const Outcome r = run(c.name);
        EXPECT_EQ(r.code, c.code);
        EXPECT_EQ(r.err, c.err);
    }
}

// Truncating a valid file at any byte gives -2 with its message inside the
// magic line, success at the end of a chart, and -1 anywhere else.
struct Truncation {
    std::string path;
    Bytes bytes;
    std::size_t header_incomplete_below;  // shorter files lack the magic line
    std::vector<std::pair<std::size_t, std::size_t>> clean;  // (length, charts read)
};

void check_truncations(const Truncation& t) {
    SCOPED_TRACE(t.path);
    for (std::size_t n = 0; n < t.bytes.size(); ++n) {
        write_bytes(t.path, Bytes(t.bytes.begin(), t.bytes.begin() + static_cast<std::ptrdiff_t>(n)));
        const Outcome r = run(t.path);
        SCOPED_TRACE(n);
        if (n < t.header_incomplete_below) {
            EXPECT_EQ(r.code, -2);
            EXPECT_EQ(r.err, "Nodrix-E-Cannot read Header section\n");
            continue;
        }
        std::size_t charts = 0;
        bool clean = false;
        for (const auto& [length, count] : t.clean)
            if (length == n) {
                clean = true;
                charts = count;
            }
        if (clean) {
            EXPECT_EQ(r.code, 0);
            EXPECT_EQ(r.got.charts.size(), charts);
        } else {
            EXPECT_EQ(r.code, -1);
        }
        EXPECT_EQ(r.err, "");
    }
    write_bytes(t.path, t.bytes);
    EXPECT_EQ(run(t.path).code, 0);
}

TEST_F(ParsQxy, TruncationAtEveryByte) {
    ChartSpec ch;
    ch.header.SamplesNum = 2;
    ch.header.ColumnNum = 2;
    qxy_set_text(ch.header.Title, "t");
    ch.columns = {column(0, kQxyDouble, P{}, P{}, "a", "b"), column(1, kQxyInt, P{}, P{}, "c", "")};
    ch.rows = {{P::of_double(1.0), P::of_int(2)}, {P::of_double(3.0), P::of_int(4)}};
    ASSERT_TRUE(write_file("v3.qxy", 0, kQxyXY, {ch, ch}));
    const Bytes v3 = read_bytes("v3.qxy");
    const std::size_t head = 11 + 1 + 24;
    const std::size_t chart = (v3.size() - head - 2) / 2;
    check_truncations({"t.qxy", v3, 11, {{head, 0}, {head + chart, 1}, {head + chart + 1, 1}, {v3.size() - 1, 2}}});

    ASSERT_TRUE(write_file("t.csv", 1, kQxyXY, {ch, ch}));
    const std::string text = read_text("t.csv");
    const std::size_t text_head = text.find("ChartType");
    const std::size_t text_chart = (text.size() - text_head) / 2;
    check_truncations({"t.csv", Bytes(text.begin(), text.end()), text_head, {{text_head, 0}, {text_head + text_chart, 1}}});

    const Bytes xy = OldXY{}.bytes();
    Bytes xy2 = xy;
    xy2.insert(xy2.end(), xy.begin() + 36, xy.end());
    check_truncations({"t2.qxy", xy2, 12, {{36, 0}, {xy.size(), 1}}});

    check_truncations({"t.qsp", Spr{}.bytes(), 13, {{53, 0}}});
    check_truncations({"t.qsg", Sgn{}.bytes(), 13, {{33, 0}}});
}

}  // namespace
}  // namespace nodrix::testing
