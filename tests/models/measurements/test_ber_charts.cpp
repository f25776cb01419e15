#include <cmath>
#include <cstdint>
#include <vector>

#include "models/measurements/ber_charts.h"
#include "tests/support/test_support.h"

namespace nodrix {
namespace {

using testing::NodrixTest;
using testing::put_f64;
using testing::put_i32;
using testing::put_text;
class BerCharts : public NodrixTest {};

TEST_F(BerCharts, CentralPartOfTheBit) {
    struct Case {
        std::int32_t n, first, count;
    };
    // k = (N - trunc(0.8 (N + 1))) / 2, at least 1, left out at each end of -N/2 .. N-1-N/2.
    for (const Case c : {Case{10, -4, 8}, Case{100, -40, 80}, Case{11, -4, 9}, Case{16, -7, 14}, Case{3, 0, 1},
                         Case{2, 0, 1}, Case{1, 0, 1}}) {
        const CentralPart p = central_part(c.n);
        EXPECT_EQ(p.first_offset, c.first) << c.n;
        EXPECT_EQ(p.count, c.count) << c.n;
    }
    EXPECT_EQ(instant_at_offset(2, -4, 10), 8);
    EXPECT_EQ(instant_at_offset(9, 3, 10), 2);
    EXPECT_EQ(instant_at_offset(5, 0, 10), 5);
}

TEST_F(BerCharts, EyeParametersAndClosedEye) {
    // One sample per bit: marks 1.0, 0.9, 1.1 and spaces 0.1, 0.0, -0.1.
    const std::vector<float> s{1.0f, 0.1f, 0.9f, 0.0f, 1.1f, -0.1f};
    const EyeParameters p = eye_parameters(EyeSamples{s.data(), 6, 1}, 1, 0.5f);
    EXPECT_NEAR(p.opening, 0.8f, 1e-6);
    EXPECT_NEAR(p.average_opening, 1.0f, 1e-6);
    EXPECT_NEAR(p.closure_db, 10.0 * std::log10(1.0 / 0.8), 1e-5);
    // Every sample on one side of the threshold: no eye at all.
    const EyeParameters closed = eye_parameters(EyeSamples{s.data(), 6, 1}, 1, 2.0f);
    EXPECT_FLOAT_EQ(closed.closure_db, 50.0f);
    EXPECT_FLOAT_EQ(closed.opening, 0.0f);
    EXPECT_FLOAT_EQ(closed.average_opening, 0.0f);
}

TEST_F(BerCharts, JitterOfTheMarkPeaks) {
    // N = 9 (a third is 3), best instant 5; mark bits peak at offsets -1, 0, 1, 2, 2 from it,
    // space bits stay at 0. Bit 0 is a mark too but its window starts at sample 1 (kept).
    const std::int32_t n = 9;
    const std::vector<int> peaks{-1, 0, 1, 2, 2};
    std::vector<float> s;
    for (int d : peaks) {
        for (int j = 1; j <= n; ++j) s.push_back(j - 5 == d ? 1.0f : 0.6f);  // a mark: at least 0.6 at the centre
        s.insert(s.end(), n, 0.0f);                                          // a space
    }
    const float jitter = q_jitter_eval(EyeSamples{s.data(), static_cast<std::int32_t>(s.size()), n}, 5, 0.5f, 0.0f, 90.0);
    double m = 0, m2 = 0;
    for (int d : peaks) {
        m += d / 5.0;
        m2 += d * d / 5.0;
    }
    EXPECT_NEAR(jitter, std::sqrt(m2 - m * m) * 90.0 / n, 1e-5);
    // With the best instant at 2 the first bit's window would start before the buffer: skipped.
    std::vector<float> t(s.begin(), s.begin() + 2 * n);
    t[1] = 1.0f;
    EXPECT_FLOAT_EQ(q_jitter_eval(EyeSamples{t.data(), 2 * n, n}, 2, 0.5f, 0.0f, 90.0), 0.0f);
}

TEST_F(BerCharts, SamplingInstantToleranceCases) {
    const double t = 100.0;
    struct Case {
        bool hp;
        double tp;
        bool hm;
        double tm;
        double tol;
        bool flagged;
    };
    for (const Case c : {Case{true, 20, true, -15, 35, false}, Case{false, -1, true, -15, 80, true},
                         Case{true, 20, false, -1, 80, true}, Case{true, 30, true, 10, 70, true},
                         Case{true, 0, true, -5, 45, true}}) {
        const InstantTolerance r = sampling_instant_tolerance(c.hp, c.tp, c.hm, c.tm, t);
        EXPECT_DOUBLE_EQ(r.tolerance, c.tol);
        EXPECT_EQ(r.flagged, c.flagged);
    }
}

TEST_F(BerCharts, QChartAndToleranceCrossings) {
    // N = 10, best instant 4, bit period 100 ps: chart offsets -4 .. 3 (instants 10, 1, .. 7).
    SearchResult s;
    s.instant = 4;
    const float q[10] = {8, 10, 12, 12, 11, 8, 5, 3, 2, 4};  // instants 1..10
    for (int j = 0; j < 10; ++j) s.instant_q[static_cast<std::size_t>(j)] = q[j];
    ChartPoints c;
    const InstantTolerance r = q_sampl_inst_chart(s, 10, 100.0, 20.0 * std::log10(12.0 / 9.0), c);
    ASSERT_EQ(c.n, 8);
    const int instants[8] = {10, 1, 2, 3, 4, 5, 6, 7};
    for (int i = 0; i < 8; ++i) {
        EXPECT_DOUBLE_EQ(c.x[static_cast<std::size_t>(i)], (i - 4) * 10.0);
        EXPECT_NEAR(c.y[static_cast<std::size_t>(i)], 20.0 * std::log10(static_cast<double>(q[instants[i] - 1])), 1e-12);
    }
    // Reference level 9: crossed between instants 5 (11) and 6 (8) at +10 + 10 * 2/3 ps, and
    // between instants 2 (10) and 1 (8) at -20 - 10 * 1/2 ps.
    EXPECT_FALSE(r.flagged);
    EXPECT_NEAR(r.tolerance, (10.0 + 20.0 / 3.0) - (-25.0), 1e-9);
}

TEST_F(BerCharts, BerSideResultsAtNamedThresholds) {
    // Levels 0 and 1 with small spread, N = 1.
    std::vector<float> s;
    for (int b = 0; b < 400; ++b) s.push_back(static_cast<float>(b % 2) + 0.05f * static_cast<float>((b * 7919) % 11 - 5) / 5.0f);
    const EyeSamples eye{s.data(), 400, 1};
    ApproxSelector sel;
    SearchResult r = q_ber_optimize(eye, 1, 1, sel);
    ChartPoints by_instant, by_threshold;
    BerSideResults side = ber_other_parameters(eye, 1, r, 0.5f, 0.5f, sel, 100.0, &by_instant, &by_threshold);
    EXPECT_EQ(by_instant.n, 1);
    EXPECT_EQ(by_threshold.n, 31);
    EXPECT_NEAR(side.relative_threshold, r.smin + 0.5f * (r.smax - r.smin), 1e-7);
    EXPECT_FLOAT_EQ(side.relative_ber, q_ber_evaluate(eye, 1, side.relative_threshold, 1, sel).ber);
    EXPECT_TRUE(side.fixed_inside);
    EXPECT_FLOAT_EQ(side.fixed_ber, q_ber_evaluate(eye, 1, 0.5f, 1, sel).ber);
    EXPECT_NEAR(side.mean_threshold, 0.5f, 1e-3);
    for (int k = 0; k < 31; ++k) {
        EXPECT_GE(by_threshold.y[static_cast<std::size_t>(k)], 1e-40f);  // raised to the chart floor
        EXPECT_FLOAT_EQ(static_cast<float>(by_threshold.x[static_cast<std::size_t>(k)]),
                        candidate_threshold(r.smin, r.smax, k + 1));
    }
    side = ber_other_parameters(eye, 1, r, 2.0f, 0.5f, sel, 100.0, nullptr, nullptr);
    EXPECT_FALSE(side.fixed_inside);
    EXPECT_FLOAT_EQ(side.fixed_ber, -1.0f);
    // An unreliable best evaluation: the relative and fixed results repeat its BER.
    r.best.status = kBerUnbalanced;
    r.best.ber = 0.125f;
    side = ber_other_parameters(eye, 1, r, 0.5f, 0.3f, sel, 100.0, nullptr, nullptr);
    EXPECT_FLOAT_EQ(side.relative_ber, 0.125f);
    EXPECT_FLOAT_EQ(side.fixed_ber, 0.125f);
}

TEST_F(BerCharts, ChartFileLayout) {
    ChartPoints a, b;
    a.add(-10.0, 3.0);
    a.add(0.0, 6.0);
    b.add(0.5, 1e-9);
    ASSERT_TRUE(write_estimator_charts("two.qxy", kQChart, a, &kEyeClosureChart, &b));
    ASSERT_TRUE(write_estimator_charts("one.qxy", kBerThresholdChart, b, nullptr, nullptr));
    std::vector<unsigned char> head;
    put_text(head, "NodrixXY  1");
    for (std::int32_t v : {7, 5, 16, 1, 7, 0}) put_i32(head, v);
    auto chart = [](std::vector<unsigned char>& e, const std::vector<const char*>& texts, const ChartPoints& p,
                    double lo, double hi) {
        put_i32(e, p.n);
        put_f64(e, lo);
        put_f64(e, hi);
        for (const char* t : texts) put_text(e, t);
        put_i32(e, 0);
        for (int k = 0; k < p.n; ++k) {
            put_f64(e, p.x[static_cast<std::size_t>(k)]);
            put_f64(e, p.y[static_cast<std::size_t>(k)]);
        }
        put_i32(e, 0);
    };
    std::vector<unsigned char> two = head;
    chart(two, {"Q vs. Sampling Instant ", "time", "ps", "Q ", "dB"}, a, 3.0, 6.0);
    chart(two, {"EYE Closure vs. Sampling Instant ", "time", "ps", " EYE Closure ", "dB"}, b, 1e-9, 1e-9);
    EXPECT_EQ(testing::read_bytes("two.qxy"), two);
    std::vector<unsigned char> one = head;
    chart(one, {"BER vs. Decision Threshold ", "Threshold Level", "a.u.", " BER ", " "}, b, 1e-9, 1e-9);
    EXPECT_EQ(testing::read_bytes("one.qxy"), one);
    EXPECT_STREQ(kBerInstantChart.title, "BER vs. Sampling Instant ");
    EXPECT_STREQ(kBerInstantChart.label_y, " BER ");
}

}  // namespace
}  // namespace nodrix
