// The multi-level estimator's decisions against the closed forms of Gaussian
// PAM4: error ratios of given levels, and the symbol error ratio against the
// signal-to-noise ratio of a back-to-back signal with Gaussian noise.
#include <cmath>
#include <random>
#include <vector>

#include "models/measurements/multilevel_estimator.h"
#include "tests/models/measurements/run_harness.h"
#include "tests/support/block_bench.h"

namespace nodrix {
namespace {

using MultilevelTest = testing::BlockTest;

double q_function(double z) { return 0.5 * std::erfc(z / std::sqrt(2.0)); }

// z with Q(z) = p, by bisection.
double inverse_q(double p) {
    double lo = 0.0;
    double hi = 40.0;
    for (int k = 0; k < 200; ++k) {
        const double mid = 0.5 * (lo + hi);
        (q_function(mid) > p ? lo : hi) = mid;
    }
    return 0.5 * (lo + hi);
}

TEST_F(MultilevelTest, GaussianLevelsGiveTheClosedForms) {
    // Levels 0..3 with deviation 1/(2z) and mid thresholds: each inner level
    // errs on both sides, the outer ones on one, Q(z) each; Gray coding turns
    // a neighbour's error into one bit of two. Skips of two levels (Q(3z))
    // are below 1e-30 here.
    for (const double z : {3.0, 4.0, 5.5}) {
        LevelFit fit;
        fit.mean = {0, 1, 2, 3};
        fit.sigma.assign(4, 0.5 / z);
        fit.threshold = {0.5, 1.5, 2.5};
        gaussian_error_ratios(fit, 4);
        EXPECT_NEAR(fit.ser / (1.5 * q_function(z)), 1.0, 1e-9) << z;
        EXPECT_NEAR(fit.ber / (0.75 * q_function(z)), 1.0, 1e-9) << z;
    }
    // Two levels: SER = BER = Q(z).
    LevelFit two;
    two.mean = {-1, 1};
    two.sigma = {0.25, 0.25};
    two.threshold = {0.0};
    gaussian_error_ratios(two, 2);
    EXPECT_NEAR(two.ser / q_function(4.0), 1.0, 1e-12);
    EXPECT_EQ(two.ber, two.ser);
}

// PAM4 symbols from the symbol source at 4 samples per symbol, levels -3,
// -1, 1, 3 (spacing d = 2) with Gaussian noise of deviation sigma added.
std::vector<float> noisy_pam4(double sigma, int symbols, unsigned seed) {
    testing::BlockBench source("symbol_source");
    source.set("samples_per_symbol", 4).set("degree", 15);
    const LogicalSignal& level = source.output<LogicalSignal>("output");
    source.context().enter_round(SetupRound::state);
    EXPECT_TRUE(source.start().ok());
    std::mt19937 rng(seed);
    std::normal_distribution<double> noise(0.0, sigma);
    std::vector<float> samples;
    for (int step = 1; step <= 4 * (symbols + 1); ++step) {
        source.run(step);
        if (step <= 4) continue;  // the source's first symbol is all ones
        samples.push_back(static_cast<float>(-3.0 + 2.0 * (2 * level[0] + level[1]) + noise(rng)));
    }
    return samples;
}

TEST_F(MultilevelTest, SymbolErrorRatioFollowsSnrWithinAThirdOfADecibel) {
    // SER = 1.5 Q(d / (2 sigma)) for Gray PAM4: the signal-to-noise ratio the
    // estimated SER stands for, against the one simulated.
    for (const double z : {2.45, 3.0, 3.6, 4.2, 4.85}) {
        const double sigma = 1.0 / z;
        const std::vector<float> samples = noisy_pam4(sigma, 30000, 7u + static_cast<unsigned>(z * 10));
        const MultilevelEvaluation e = evaluate_multilevel(samples, 4, 4);
        ASSERT_TRUE(e.best.defined);
        const double ser_closed = 1.5 * q_function(z);
        ASSERT_GE(ser_closed, 0.9e-6);
        ASSERT_LE(ser_closed, 1.1e-2);
        const double z_estimated = inverse_q(e.best.ser / 1.5);
        EXPECT_LT(std::fabs(20.0 * std::log10(z_estimated / z)), 0.3) << "z " << z << " SER " << e.best.ser;
        // Eye Q of equal levels: d / (2 sigma) = z, in every eye.
        for (const double q : e.best.eye_q) EXPECT_NEAR(q / z, 1.0, 0.04) << z;
        // Thresholds between the levels.
        EXPECT_NEAR(e.best.threshold[0], -2.0, 0.05);
        EXPECT_NEAR(e.best.threshold[1], 0.0, 0.05);
        EXPECT_NEAR(e.best.threshold[2], 2.0, 0.05);
        // Eye height at 1e-6: d - 2 x 4.753 sigma, closed below z = 4.753.
        EXPECT_NEAR(e.best.opening[1], 2.0 - 2.0 * 4.753424 * sigma, 0.06) << z;
        if (z < 4.5) {
            for (const double w : e.width) EXPECT_EQ(w, 0.0);
        }
    }
    // Rectangular pulses with little noise: every eye open at all instants.
    const MultilevelEvaluation clean = evaluate_multilevel(noisy_pam4(0.1, 2000, 3u), 4, 4);
    EXPECT_EQ(clean.width, (std::vector<double>{1.0, 1.0, 1.0}));
    EXPECT_LT(clean.best.ser, 1e-20);  // 1.5 Q(10) = 1.1e-23
}

TEST_F(MultilevelTest, LevelsWithoutSamplesLeaveTheFitUndefined) {
    const std::vector<double> one_value{1.0, 1.0, 1.0, 1.0, 1.0};
    EXPECT_FALSE(fit_levels(one_value, 4).defined);
    const std::vector<double> few{0.0, 1.0};
    EXPECT_FALSE(fit_levels(few, 4).defined);
}

}  // namespace
}  // namespace nodrix
