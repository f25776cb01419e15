#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "models/measurements/ber_charts.h"
#include "tests/support/test_support.h"

namespace nodrix {
namespace {

using BerCharts = testing::NodrixTest;

TEST_F(BerCharts, CentralPartOfTheBit) {
    // k = (N - trunc(0.8 (N + 1))) / 2, at least 1, left out at each end of -N/2 .. N-1-N/2.
    struct Case { std::int32_t n, first, count; };
    for (const Case c : {Case{10, -4, 8}, Case{100, -40, 80}, Case{11, -4, 9}, Case{3, 0, 1}, Case{1, 0, 1}}) {
        const CentralPart p = central_part(c.n);
        EXPECT_EQ(p.first_offset, c.first) << c.n;
        EXPECT_EQ(p.count, c.count) << c.n;
    }
    EXPECT_EQ(instant_at_offset(2, -4, 10), 8);
    EXPECT_EQ(instant_at_offset(9, 3, 10), 2);
}

TEST_F(BerCharts, EyeParametersAndClosedEye) {
    // One sample per bit: marks 1.0, 0.9, 1.1 and spaces 0.1, 0.0, -0.1.
    const std::vector<float> s{1.0f, 0.1f, 0.9f, 0.0f, 1.1f, -0.1f};
    const EyeParameters p = eye_parameters(EyeSamples{s.data(), 6, 1}, 1, 0.5f);
    EXPECT_NEAR(p.opening, 0.8f, 1e-6);
    EXPECT_NEAR(p.average_opening, 1.0f, 1e-6);
    EXPECT_NEAR(p.closure_db, 10.0 * std::log10(1.0 / 0.8), 1e-5);
    // Every sample on one side of the threshold: no eye at all.
    const EyeParameters c = eye_parameters(EyeSamples{s.data(), 6, 1}, 1, 2.0f);
    EXPECT_EQ((std::vector<float>{c.closure_db, c.opening, c.average_opening}), (std::vector<float>{50.0f, 0.0f, 0.0f}));
}

TEST_F(BerCharts, EyeQAtTheBestInstantAndThreshold) {
    // Three samples per bit and a trailing part bit that is left out. Instant 1
    // sits on one level: no eye. At instant 2 the marks are 1.0, 1.2, 0.8 (mean 1,
    // deviation 0.2 sqrt(2/3)), the spaces 0.1, -0.1, 0.0 (mean 0, deviation
    // 0.1 sqrt(2/3)): Q = 1 / (0.3 sqrt(2/3)) = 4.0824829. At instant 3 the two
    // levels are 0.9, 1.3, 0.7 and 0.0, 0.2, -0.2: w0 w1 (mean1 - mean0)^2 is
    // 0.2336 for them against 0.1901 with 0.7 a space and 0.1334 with 1.3 a mark
    // alone (whose Q, 2.352, would be larger), so Q = 0.96667 / (0.24944 + 0.16330).
    const std::vector<float> s{0.5f, 1.0f,  0.9f, 0.5f, 0.1f, 0.0f,  0.5f, 1.2f, 1.3f,  0.5f,
                               -0.1f, 0.2f, 0.5f, 0.8f, 0.7f, 0.5f, 0.0f, -0.2f, 100.0f, 100.0f};
    const EyeSamples eye{s.data(), static_cast<std::int32_t>(s.size()), 3};
    struct Case {
        std::int32_t instant;
        double q, threshold;
        std::int32_t marks;
    };
    for (const Case& c : {Case{1, 0.0, 0.0, 0}, Case{2, 4.0824829, 0.45, 3}, Case{3, 2.3420, 0.45, 3}}) {
        const EyeQ q = eye_q_factor(eye, c.instant);
        EXPECT_NEAR(q.q, c.q, 2e-4) << c.instant;
        EXPECT_NEAR(q.threshold, c.threshold, 1e-6) << c.instant;
        EXPECT_EQ(q.marks, c.marks) << c.instant;
        EXPECT_EQ(q.defined(), c.marks > 0) << c.instant;
    }
    const EyeQ best = best_eye_q(eye);
    EXPECT_EQ(best.instant, 2);
    EXPECT_NEAR(best.sigma_mark, 0.2 * std::sqrt(2.0 / 3.0), 1e-7);
    EXPECT_NEAR(best.sigma_space, 0.1 * std::sqrt(2.0 / 3.0), 1e-7);
    // A space lifted by its neighbours (0.3) stays a space (0.2095 against 0.1667
    // as a mark, which would give Q 2.34). Spaces 0, 0.05, -0.05, 0.3 (mean 0.075, deviation 0.134629),
    // marks 1.0, 1.1, 0.9 (deviation 0.0816497): Q = 0.925 / 0.2162787.
    const std::vector<float> isi{0.0f, 1.0f, 0.05f, 1.1f, -0.05f, 0.9f, 0.3f};
    const EyeQ lifted = eye_q_factor(EyeSamples{isi.data(), 7, 1}, 1);
    EXPECT_NEAR(lifted.q, 4.27684, 1e-4);
    EXPECT_EQ(lifted.spaces, 4);
    // Two noiseless levels: an infinite Q, where the estimator would stop at 100.
    const std::vector<float> clean{1.0f, 0.0f, 1.0f, 0.0f};
    EXPECT_EQ(eye_q_factor(EyeSamples{clean.data(), 4, 1}, 1).q, std::numeric_limits<double>::infinity());
}

TEST_F(BerCharts, JitterOfTheMarkPeaks) {
    // N = 9 (a third is 3), best instant 5; mark bits peak at offsets -1, 0, 1, 2, 2 from it,
    // space bits stay at 0. Bit 0 is a mark too but its window starts at sample 1 (kept).
    const std::int32_t n = 9;
    std::vector<float> s;
    double m = 0, m2 = 0;
    for (int d : {-1, 0, 1, 2, 2}) {
        for (int j = 1; j <= n; ++j) s.push_back(j - 5 == d ? 1.0f : 0.6f);  // a mark: at least 0.6 at the centre
        s.insert(s.end(), n, 0.0f);                                          // a space
        m += d / 5.0;
        m2 += d * d / 5.0;
    }
    EXPECT_NEAR(q_jitter_eval(EyeSamples{s.data(), static_cast<std::int32_t>(s.size()), n}, 5, 0.5f, 0.0f, 90.0),
                std::sqrt(m2 - m * m) * 90.0 / n, 1e-5);
    // With the best instant at 2 the first bit's window would start before the buffer: skipped.
    s.resize(2 * n);
    s[1] = 1.0f;
    EXPECT_FLOAT_EQ(q_jitter_eval(EyeSamples{s.data(), 2 * n, n}, 2, 0.5f, 0.0f, 90.0), 0.0f);
}

TEST_F(BerCharts, SamplingInstantToleranceCases) {
    struct Case { bool hp; double tp; bool hm; double tm, tol; bool flagged; };
    for (const Case c : {Case{true, 20, true, -15, 35, false}, Case{false, -1, true, -15, 80, true},
                         Case{true, 20, false, -1, 80, true}, Case{true, 30, true, 10, 70, true},
                         Case{true, 0, true, -5, 45, true}}) {
        const InstantTolerance r = sampling_instant_tolerance(c.hp, c.tp, c.hm, c.tm, 100.0);
        EXPECT_DOUBLE_EQ(r.tolerance, c.tol);
        EXPECT_EQ(r.flagged, c.flagged);
    }
}

TEST_F(BerCharts, QChartAndToleranceCrossings) {
    // N = 10, best instant 4, bit period 100 ps: chart offsets -4 .. 3 (instants 10, 1, .. 7).
    SearchResult s;
    s.instant = 4;
    s.instant_q = {8, 10, 12, 12, 11, 8, 5, 3, 2, 4};  // instants 1..10
    ChartPoints c;
    const InstantTolerance r = q_sampl_inst_chart(s, 10, 100.0, 20.0 * std::log10(12.0 / 9.0), c);
    ASSERT_EQ(c.n, 8);
    const int instants[8] = {10, 1, 2, 3, 4, 5, 6, 7};
    for (int i = 0; i < 8; ++i) {
        EXPECT_DOUBLE_EQ(c.x[i], (i - 4) * 10.0);
        EXPECT_NEAR(c.y[i], 20.0 * std::log10(static_cast<double>(s.instant_q[instants[i] - 1])), 1e-12);
    }
    // Reference level 9: crossed between instants 5 (11) and 6 (8) at +10 + 10 * 2/3 ps, and
    // between instants 2 (10) and 1 (8) at -20 - 10 * 1/2 ps.
    EXPECT_FALSE(r.flagged);
    EXPECT_NEAR(r.tolerance, (10.0 + 20.0 / 3.0) - (-25.0), 1e-9);
}

TEST_F(BerCharts, BerSideResultsAtNamedThresholds) {
    std::vector<float> s;  // levels 0 and 1 with a small spread, N = 1
    for (int b = 0; b < 400; ++b) s.push_back(static_cast<float>(b % 2) + 0.05f * static_cast<float>((b * 7919) % 11 - 5) / 5.0f);
    const EyeSamples eye{s.data(), 400, 1};
    ApproxSelector sel;
    SearchResult r = q_ber_optimize(eye, 1, 1, sel);
    ChartPoints by_instant, by_threshold;
    BerSideResults side = ber_other_parameters(eye, 1, r, 0.5f, 0.5f, sel, 100.0, &by_instant, &by_threshold);
    EXPECT_EQ(by_instant.n, 1);
    EXPECT_EQ(by_threshold.n, 31);
    EXPECT_TRUE(side.fixed_inside);
    EXPECT_NEAR(side.mean_threshold, 0.5f, 1e-3);
    side = ber_other_parameters(eye, 1, r, 2.0f, 0.5f, sel, 100.0, nullptr, nullptr);
    EXPECT_FALSE(side.fixed_inside);
    EXPECT_FLOAT_EQ(side.fixed_ber, -1.0f);
    // An unreliable best evaluation: the relative and fixed results repeat its BER.
    r.best.status = kBerUnbalanced;
    r.best.ber = 0.125f;
    side = ber_other_parameters(eye, 1, r, 0.5f, 0.3f, sel, 100.0, nullptr, nullptr);
    EXPECT_EQ((std::vector<float>{side.relative_ber, side.fixed_ber}), (std::vector<float>{0.125f, 0.125f}));
}

TEST_F(BerCharts, ChartFileLayout) {
    ChartPoints a, b;
    a.add(-10.0, 3.0);
    a.add(0.0, 6.0);
    b.add(0.5, 1e-9);
    ASSERT_TRUE(write_estimator_charts("two.qxy", kQChart, a, &kEyeClosureChart, &b));
    ASSERT_TRUE(write_estimator_charts("one.qxy", kBerThresholdChart, b, nullptr, nullptr));
    ASSERT_TRUE(write_estimator_charts("three.qxy", kBerInstantChart, b, nullptr, nullptr));
    auto file = [](const std::vector<std::vector<const char*>>& texts, const std::vector<const ChartPoints*>& charts) {
        std::vector<unsigned char> e;
        testing::put_text(e, "NodrixXY  1");
        for (std::int32_t v : {7, 5, 16, 1, 7, 0}) testing::put_i32(e, v);
        for (std::size_t c = 0; c < charts.size(); ++c) {
            const ChartPoints& p = *charts[c];
            testing::put_i32(e, p.n);
            testing::put_f64(e, *std::min_element(p.y.begin(), p.y.begin() + p.n));
            testing::put_f64(e, *std::max_element(p.y.begin(), p.y.begin() + p.n));
            for (const char* t : texts[c]) testing::put_text(e, t);
            testing::put_i32(e, 0);
            for (int k = 0; k < p.n; ++k) {
                testing::put_f64(e, p.x[k]);
                testing::put_f64(e, p.y[k]);
            }
            testing::put_i32(e, 0);
        }
        return e;
    };
    EXPECT_EQ(testing::read_bytes("two.qxy"), file({{"Q vs. Sampling Instant ", "time", "ps", "Q ", "dB"},
                                                    {"EYE Closure vs. Sampling Instant ", "time", "ps", " EYE Closure ", "dB"}},
                                                   {&a, &b}));
    EXPECT_EQ(testing::read_bytes("one.qxy"), file({{"BER vs. Decision Threshold ", "Threshold Level", "a.u.", " BER ", " "}}, {&b}));
    EXPECT_EQ(testing::read_bytes("three.qxy"), file({{"BER vs. Sampling Instant ", "time", "ps", " BER ", " "}}, {&b}));
}

}  // namespace
}  // namespace nodrix
