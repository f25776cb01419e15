// Compact chart writers of the models: byte layouts against hand-built bytes,
// and round trips through the chart reader (the version 2 signal with its
// header rewritten in place after the samples).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/io_file.h"
#include "tests/support/test_support.h"
#include "tests/xu/qxy_collect.h"
#include "xu/chart_compact.h"

namespace nodrix::testing {
namespace {

using Bytes = std::vector<unsigned char>;

class ChartCompact : public NodrixTest {};

Bytes qxy1_head() {
    Bytes e;
    put_text(e, "NodrixXY  1");
    for (const std::int32_t v : {7, 5, 16, 1, 7, 0}) put_i32(e, v);
    return e;
}

void put_qxy1_chart(Bytes& e, const std::vector<std::string>& texts, const std::vector<double>& x,
                    const std::vector<double>& y, double lo, double hi) {
    put_i32(e, static_cast<std::int32_t>(y.size()));
    put_f64(e, lo);
    put_f64(e, hi);
    for (const std::string& t : texts) put_text(e, t);
    put_i32(e, 0);
    for (std::size_t k = 0; k < y.size(); ++k) {
        put_f64(e, x[k]);
        put_f64(e, y[k]);
    }
    put_i32(e, 0);
}

TEST_F(ChartCompact, VersionOneXYBytes) {
    const std::vector<double> x = {1.0, 2.0, 3.0}, y = {-9.0, -3.0, -6.0};
    const std::vector<double> x2 = {0.5}, y2 = {7.25};
    const std::int32_t id = qxy1_create("c.qxy");
    ASSERT_GT(id, 0);
    ASSERT_TRUE(qxy1_write_chart(id, "BER", "Threshold", "mA", "log BER", "", x, y));
    ASSERT_TRUE(qxy1_write_chart(id, "", "", "", "", "", std::vector<double>{}, std::vector<double>{}));
    EXPECT_FALSE(qxy1_write_chart(id, "bad", "", "", "", "", x, y2));  // X and Y of unequal length
    ASSERT_TRUE(qxy1_close(id));
    Bytes e = qxy1_head();
    put_qxy1_chart(e, {"BER", "Threshold", "mA", "log BER", ""}, x, y, -9.0, -3.0);
    put_qxy1_chart(e, {"", "", "", "", ""}, {}, {}, 0.0, 0.0);
    EXPECT_EQ(read_bytes("c.qxy"), e);

    // Appending a chart to the closed file, and to a file not there yet.
    const std::int32_t again = qxy1_open_append("c.qxy");
    ASSERT_GT(again, 0);
    ASSERT_TRUE(qxy1_write_chart(again, "Q", "t", "ps", "Q", "dB", x2, y2));
    ASSERT_TRUE(qxy1_close(again));
    put_qxy1_chart(e, {"Q", "t", "ps", "Q", "dB"}, x2, y2, 7.25, 7.25);
    EXPECT_EQ(read_bytes("c.qxy"), e);

    const std::int32_t fresh = qxy1_open_append("fresh.qxy");
    ASSERT_GT(fresh, 0);
    ASSERT_TRUE(qxy1_write_chart(fresh, "Q", "t", "ps", "Q", "dB", x2, y2));
    ASSERT_TRUE(qxy1_close(fresh));
    Bytes f = qxy1_head();
    put_qxy1_chart(f, {"Q", "t", "ps", "Q", "dB"}, x2, y2, 7.25, 7.25);
    EXPECT_EQ(read_bytes("fresh.qxy"), f);

    // Read back: three charts of two columns; column 0 is X.
    Collected got;
    ASSERT_EQ(parse_file("c.qxy", got), 0);
    EXPECT_EQ(got.version, 1);
    ASSERT_EQ(got.charts.size(), 3u);
    const CollectedChart& a = got.charts[0];
    EXPECT_STREQ(a.header.Title, "BER");
    EXPECT_STREQ(a.header.LabelY, "log BER");
    EXPECT_EQ(a.header.SamplesNum, 3);
    EXPECT_EQ(a.header.Fsym, 0.0);
    EXPECT_EQ(a.header.Delt, 0.0);
    ASSERT_EQ(a.columns.size(), 2u);
    EXPECT_STREQ(a.columns[0].Label, "Threshold");
    EXPECT_STREQ(a.columns[0].Measure, "mA");
    EXPECT_STREQ(a.columns[1].Label, "log BER");
    EXPECT_EQ(a.columns[1].Minimum.d, -9.0);
    EXPECT_EQ(a.columns[1].Maximum.d, -3.0);
    EXPECT_EQ(a.columns[0].StartingScale, 0);
    EXPECT_EQ(a.columns[0].Ordering, 0.0);
    ASSERT_EQ(a.rows.size(), 3u);
    for (std::size_t k = 0; k < 3; ++k) {
        EXPECT_EQ(a.rows[k][0].d, x[k]);
        EXPECT_EQ(a.rows[k][1].d, y[k]);
    }
    EXPECT_TRUE(got.charts[1].rows.empty());
    EXPECT_STREQ(got.charts[2].columns[1].Measure, "dB");
    EXPECT_EQ(got.charts[2].rows[0][1].d, 7.25);
}

TEST_F(ChartCompact, VersionOneSpectrumBytes) {
    Qsp1Header h;
    h.delt = 0.0640443;
    h.fsym = 193.1;
    h.frequency_step = 0.0125;
    h.start_frequency = 192.0;
    h.stop_frequency = 192.025;
    h.minimum = -80.0;
    h.maximum = -1.5;
    const std::vector<double> v = {-80.0, -1.5, -40.0};
    ASSERT_TRUE(qsp1_write("s.qsp", h, v));
    Bytes e;
    put_text(e, "NodrixSpr  1");
    for (const std::int32_t w : {4, 5, 16, 1, 7}) put_i32(e, w);
    put_f64(e, 0.0640443);
    put_f64(e, 193.1);
    put_i32(e, 0);
    put_i32(e, 3);
    for (const double d : {0.0125, 192.0, 192.025, -80.0, -1.5}) put_f64(e, d);
    put_i32(e, 0);
    for (const double d : v) put_f64(e, d);
    put_i32(e, 0);
    EXPECT_EQ(read_bytes("s.qsp"), e);

    Collected got;
    ASSERT_EQ(parse_file("s.qsp", got), 0);
    ASSERT_EQ(got.charts.size(), 1u);
    const CollectedChart& c = got.charts[0];
    EXPECT_EQ(got.file.words[0], 4);
    EXPECT_EQ(c.header.Delt, 0.0640443);
    EXPECT_EQ(c.header.Fsym, 193.1);
    EXPECT_EQ(c.header.FrequencyStep, 0.0125);
    EXPECT_EQ(c.header.Tstart, 192.0);
    EXPECT_EQ(c.header.StopFrequency, 192.025);
    ASSERT_EQ(c.columns.size(), 1u);
    EXPECT_EQ(c.columns[0].Minimum.d, -80.0);
    EXPECT_EQ(c.columns[0].Maximum.d, -1.5);
    ASSERT_EQ(c.rows.size(), 3u);
    EXPECT_EQ(c.rows[2][0].d, -40.0);

    // A spectrum larger than the file buffer, and an empty one.
    std::vector<double> big(4096);
    for (std::size_t k = 0; k < big.size(); ++k) big[k] = -0.01 * static_cast<double>(k);
    ASSERT_TRUE(qsp1_write("big.qsp", h, big));
    EXPECT_EQ(read_bytes("big.qsp").size(), 13u + 20 + 16 + 4 + 4 + 40 + 4 + 8 * big.size() + 4);
    Collected got_big;
    ASSERT_EQ(parse_file("big.qsp", got_big), 0);
    ASSERT_EQ(got_big.charts[0].rows.size(), big.size());
    EXPECT_EQ(got_big.charts[0].rows[4095][0].d, big[4095]);
    ASSERT_TRUE(qsp1_write("none.qsp", h, std::vector<double>{}));
    Collected got_none;
    ASSERT_EQ(parse_file("none.qsp", got_none), 0);
    ASSERT_EQ(got_none.charts.size(), 1u);
    EXPECT_TRUE(got_none.charts[0].rows.empty());

    EXPECT_FALSE(qsp1_write("no/such/dir/s.qsp", h, v));
}

Bytes qsg2_bytes(const Qsg2Header& h, const std::vector<double>& values) {
    Bytes e;
    put_text(e, "NodrixSgn  2");
    for (const std::int32_t w : {h.type, 5, 16, 1, 7, h.columns, h.samples, h.samples_per_bit}) put_i32(e, w);
    for (const double d : {h.minimum, h.maximum, h.delt, h.tstart, h.fsym}) put_f64(e, d);
    put_i32(e, 0);
    for (const double d : values) put_f64(e, d);
    return e;
}

TEST_F(ChartCompact, VersionTwoSignalRewrittenInPlace) {
    // As the eye scope does: a header with no count, the samples, the file
    // closed, then the whole header written again with the final values.
    Qsg2Header h;
    h.samples_per_bit = 16;
    h.delt = 0.0640443;
    h.tstart = 100.0;
    h.fsym = 10.0;
    const std::int32_t id = qsg2_create("eye.qsg", h);
    ASSERT_GT(id, 0);
    const std::vector<double> samples = {0.25, -1.5, 2.75, 0.0};
    for (const double s : samples) ASSERT_TRUE(qsg2_append(id, std::vector<double>{s}));
    ASSERT_EQ(io_close(id), 0);
    EXPECT_EQ(read_bytes("eye.qsg"), qsg2_bytes(h, samples));

    Qsg2Header final_header = h;
    final_header.samples = 4;
    final_header.minimum = -1.5;
    final_header.maximum = 2.75;
    ASSERT_TRUE(qsg2_rewrite_header("eye.qsg", final_header));
    EXPECT_EQ(read_bytes("eye.qsg"), qsg2_bytes(final_header, samples));

    Collected got;
    ASSERT_EQ(parse_file("eye.qsg", got), 0);
    EXPECT_EQ(got.version, 2);
    EXPECT_EQ(got.file.words[0], 1);
    ASSERT_EQ(got.charts.size(), 1u);
    const CollectedChart& c = got.charts[0];
    EXPECT_EQ(c.header.SamplesNum, 4);
    EXPECT_EQ(c.header.ColumnNum, 1);
    EXPECT_EQ(c.header.SamplesPerBit, 16);
    EXPECT_EQ(c.header.Delt, 0.0640443);
    EXPECT_EQ(c.header.Tstart, 100.0);
    EXPECT_EQ(c.header.Fsym, 10.0);
    ASSERT_EQ(c.columns.size(), 1u);
    EXPECT_EQ(c.columns[0].Minimum.d, -1.5);
    EXPECT_EQ(c.columns[0].Maximum.d, 2.75);
    ASSERT_EQ(c.rows.size(), 4u);
    for (std::size_t k = 0; k < samples.size(); ++k) EXPECT_EQ(c.rows[k][0].d, samples[k]);

    // A symbol signal of two bits per symbol keeps its stored column count.
    Qsg2Header sym;
    sym.type = 6;
    sym.columns = 2;
    sym.samples = 2;
    const std::int32_t sid = qsg2_create("sym.qsg", sym);
    ASSERT_GT(sid, 0);
    ASSERT_TRUE(qsg2_append(sid, std::vector<double>{1.0, 0.0}));
    ASSERT_TRUE(qsg2_append(sid, std::vector<double>{0.0, 1.0}));
    ASSERT_EQ(io_close(sid), 0);
    EXPECT_EQ(read_bytes("sym.qsg"), qsg2_bytes(sym, {1.0, 0.0, 0.0, 1.0}));
    Collected got_sym;
    ASSERT_EQ(parse_file("sym.qsg", got_sym), 0);
    ASSERT_EQ(got_sym.charts.size(), 1u);
    EXPECT_EQ(got_sym.charts[0].header.ColumnNum, 2);
    ASSERT_EQ(got_sym.charts[0].rows.size(), 2u);
    EXPECT_EQ(got_sym.charts[0].rows[1][1].d, 1.0);

    EXPECT_FALSE(qsg2_rewrite_header("missing.qsg", final_header));
    EXPECT_FALSE(std::filesystem::exists("missing.qsg"));
}

}  // namespace
}  // namespace nodrix::testing
