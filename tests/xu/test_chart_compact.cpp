// Compact chart writers of the models: byte layouts against hand-built bytes,
// and each file read back through the chart reader (the version 2 signal with
// its header rewritten in place after the samples).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/xu/qxy_collect.h"

namespace nodrix::testing {
namespace {

using P = QxyPoint;

class ChartCompact : public NodrixTest {};

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
    ChartSpec want;
    want.header = QxyChartHeader{.SamplesNum = 3, .ColumnNum = 2};
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
    Collected got;
    ASSERT_EQ(parse_file("s.qsp", got), 0);
    EXPECT_EQ(got.file.words[0], 4);
    ASSERT_EQ(got.charts.size(), 1u);
    ChartSpec want;
    want.header = QxyChartHeader{.SamplesNum = 3, .ColumnNum = 1, .Fsym = 193.1, .Delt = 0.0640443, .Tstart = 192.0,
                                 .StopFrequency = 192.025, .FrequencyStep = 0.0125};
    want.columns = {column(0, kQxyDouble, P::of_double(-80.0), P::of_double(-1.5), "", "")};
    want.rows = {{P::of_double(-80.0)}, {P::of_double(-1.5)}, {P::of_double(-40.0)}};
    EXPECT_EQ(describe(got.charts[0]), describe(want));

    // An empty spectrum.
    ASSERT_TRUE(qsp1_write("none.qsp", h, {}));
    Collected got_none;
    ASSERT_EQ(parse_file("none.qsp", got_none), 0);
    ASSERT_EQ(got_none.charts.size(), 1u);
    EXPECT_TRUE(got_none.charts[0].rows.empty());

    EXPECT_FALSE(qsp1_write("no/such/dir/s.qsp", h, {}));
}

Bytes qsg2_bytes(const Qsg2Header& h, const std::vector<double>& values) {
    Bytes e;
    e.sz({"NodrixSgn  2"}).i32({h.type, 5, 16, 1, 7, h.columns, h.samples, h.samples_per_bit});
    e.f64({h.minimum, h.maximum, h.delt, h.tstart, h.fsym}).i32({0});
    for (const double d : values) e.f64({d});
    return e;
}

TEST_F(ChartCompact, VersionTwoSignalRewrittenInPlace) {
    // As the eye scope does: a header with no count, the samples, the file
    // closed, then the whole header written again with the final values.
    Qsg2Header h{.samples_per_bit = 16, .delt = 0.0640443, .tstart = 100.0, .fsym = 10.0};
    const std::vector<double> samples = {0.25, -1.5, 2.75, 0.0};
    ASSERT_TRUE(write_signal("eye.qsg", h, samples));
    EXPECT_EQ(read_bytes("eye.qsg"), qsg2_bytes(h, samples));

    h.samples = 4;
    h.minimum = -1.5;
    h.maximum = 2.75;
    ASSERT_TRUE(qsg2_rewrite_header("eye.qsg", h));
    EXPECT_EQ(read_bytes("eye.qsg"), qsg2_bytes(h, samples));

    Collected got;
    ASSERT_EQ(parse_file("eye.qsg", got), 0);
    EXPECT_EQ(got.version, 2);
    EXPECT_EQ(got.file.words[0], 1);
    ASSERT_EQ(got.charts.size(), 1u);
    ChartSpec want;
    want.header = QxyChartHeader{.SamplesNum = 4, .ColumnNum = 1, .Fsym = 10.0, .Delt = 0.0640443,
                                 .SamplesPerBit = 16, .Tstart = 100.0};
    want.columns = {column(0, kQxyDouble, P::of_double(-1.5), P::of_double(2.75), "", "")};
    for (const double s : samples) want.rows.push_back({P::of_double(s)});
    EXPECT_EQ(describe(got.charts[0]), describe(want));

    // Rewriting the header of a file not there creates nothing.
    EXPECT_FALSE(qsg2_rewrite_header("missing.qsg", h));
    EXPECT_FALSE(std::filesystem::exists("missing.qsg"));
}

}  // namespace
}  // namespace nodrix::testing
