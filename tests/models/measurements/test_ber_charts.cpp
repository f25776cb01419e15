#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "models/measurements/ber_charts.h"
#include "tests/support/test_support.h"

namespace nodrix {
namespace {

using BerCharts = testing::NodrixTest;

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
    struct Case { std::int32_t instant; double q, threshold; std::int32_t marks; };
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

}  // namespace
}  // namespace nodrix
