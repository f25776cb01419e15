// The graded step rule against its profile worked by hand, the symmetric
// arrangement of the steps, and the resonance of equal steps with the
// four-wave-mixing products of a channel plan.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <numeric>
#include <vector>

#include "models/fibre/graded_steps.h"

namespace nodrix {
namespace {

// Counts of (1 - exp(-kappa L)) / (kappa h0), rounded up: the reference span
// (120 km, 0.2 dB/km, peak 30 mW, capped at 0.15748 km: kappa = ln 2 / L,
// h0 = 0.07874 km, 1099.34) and a lossless 10 km (h0 = 1 km by the Kerr
// bound, kappa = ln 2 / L: 7.21; halved by the refinement: 14.43).
TEST(GradedSteps, GrowAlongTheFibreWithinTheirBounds) {
    const double alpha = 0.2 / (20.0 * std::log10(std::exp(1.0)));
    const double degree = std::numbers::pi / 180.0;
    struct Case { GradedStepInput in; std::int32_t count; } cases[] = {
        {{.alpha = alpha, .gamma = 1.3e-3, .peak_power = 30.0, .length = 120.0, .h_max = 0.15748, .phase = degree}, 1100},
        {{.gamma = 1e-3, .peak_power = 10.0, .length = 10.0, .h_max = 100.0, .phase = 0.01}, 8},
        {{.gamma = 1e-3, .peak_power = 10.0, .length = 10.0, .h_max = 100.0, .phase = 0.01, .refinement = 2.0}, 15},
    };
    for (const Case& c : cases) {
        std::vector<double> h(50000);
        const std::int32_t n = graded_steps(c.in, h, 49999);
        ASSERT_EQ(n, c.count);
        EXPECT_NEAR(std::accumulate(h.begin(), h.begin() + n, 0.0), c.in.length, 1e-12 * c.in.length);
        EXPECT_LE(h[0], graded_profile(c.in).h0);
        EXPECT_LE(h[static_cast<std::size_t>(n - 1)], c.in.h_max);
        for (std::int32_t i = 1; i < n; ++i) ASSERT_GT(h[static_cast<std::size_t>(i)], h[static_cast<std::size_t>(i - 1)]);
        EXPECT_EQ(graded_steps(c.in, h, n - 1), -1) << "more steps than the list may hold";
    }
}

// The four-wave-mixing bound worked by hand: h = cycles / (2 pi |beta2| df^2)
// (standard fibre, four carriers 100 GHz apart: 2 pi 20.2205 0.09 = 11.4343 /km),
// none for one carrier or no dispersion; the mismatch allowed at X dB is
// 10^(-X/20) / phi cycles.
TEST(GradedSteps, TheFourWaveMixingBoundKeepsTheWidestProductWithinItsMismatch) {
    struct Case {
        double beta2, spread_thz, cycles, h;
    } cases[] = {{-20.2205, 0.3, 1.0, 0.08745522}, {-20.2205, 0.3, 0.5, 0.04372761}, {2.0, 1.5, 3.0, 0.10610330}};
    for (const Case& c : cases) EXPECT_NEAR(fwm_step_bound(c.beta2, c.spread_thz, c.cycles), c.h, 1e-7);
    EXPECT_TRUE(std::isinf(fwm_step_bound(-20.2205, 0.0, 1.0)));
    EXPECT_TRUE(std::isinf(fwm_step_bound(0.0, 0.3, 1.0)));
    EXPECT_NEAR(fwm_mismatch_cycles(18.0, 0.12589254), 1.0, 1e-7);
    EXPECT_NEAR(fwm_mismatch_cycles(20.0, 0.05), 2.0, 1e-12);
    EXPECT_TRUE(std::isinf(fwm_mismatch_cycles(18.0, 0.0)));
}

TEST(GradedSteps, SymmetricArrangementShiftsTheDispersionByHalfAStep) {
    const std::vector<double> h = {1.0, 2.0, 3.0};
    const SymmetricSteps s = symmetric_steps(h, 3);
    EXPECT_EQ(s.dispersion, (std::vector<double>{0.5, 1.5, 2.5, 1.5}));
    EXPECT_EQ(s.kerr, (std::vector<double>{1.0, 2.0, 3.0, 0.0}));
    std::vector<double> seed = {1.0, 3.0, 0.0, 0.0, 0.0};
    std::int32_t n = 2;
    subdivide_steps(seed, n, 2.0);
    EXPECT_EQ(n, 4);
    EXPECT_EQ(seed, (std::vector<double>{0.5, 0.5, 1.5, 1.5, 0.0}));
}

// The reference span's 0.15748 km steps (beta2 -20.2205 ps^2/km) with
// carriers at 0, 0.1 and 0.5 THz: products with (fa - fc)(fb - fc) a multiple
// of 0.05 THz^2 are in phase (k1 k2 = 4.998 m on a 100 GHz grid); at
// 0.17 km none is.
TEST(GradedSteps, EqualStepsResonateWithTheProductsOfTheChannelPlan) {
    const std::vector<double> f = {193.0, 193.1, 193.5};
    const auto found = resonant_products(f, -20.2205, 0.15748, 0.0037);
    ASSERT_EQ(found.size(), 4u);
    const std::size_t expected[4][4] = {{1, 2, 0, 1}, {2, 2, 0, 5}, {0, 0, 2, 5}, {0, 1, 2, 4}};
    for (std::size_t i = 0; i < 4; ++i)
        EXPECT_EQ((std::vector<std::size_t>{found[i].a, found[i].b, found[i].c, static_cast<std::size_t>(found[i].m)}),
                  (std::vector<std::size_t>(expected[i], expected[i] + 4)));
    EXPECT_TRUE(resonant_products(f, -20.2205, 0.17, 0.0037).empty());
}

}  // namespace
}  // namespace nodrix
