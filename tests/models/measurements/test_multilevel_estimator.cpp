// The multi-level estimator's decisions against the closed forms of Gaussian
// PAM4: error ratios of given levels, and the symbol error ratio against the
// signal-to-noise ratio of a back-to-back signal whose only noise is the
// photodiode's thermal noise.
#include <cmath>
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

// PAM4 symbols from the symbol source at 4 samples per symbol, received by a
// photodiode (1 A/W, no shot noise) whose thermal noise is the only noise:
// optical powers (k + 1) p for level k, p set so that the level spacing
// d = 1e-3 p [A] is 2 z deviations of that noise, i_th sqrt(1 / (2 dt)).
// The currents come back rescaled to levels -3, -1, 1, 3 (d = 2), so that
// the noise deviation is 1 / z.
std::vector<float> noisy_pam4(double z, int symbols) {
    testing::BlockBench source("symbol_source");
    source.set("samples_per_symbol", 4).set("degree", 15);
    const LogicalSignal& level = source.output<LogicalSignal>("output");
    const double density_pa = 15.0;
    testing::BlockBench diode("photodiode");
    diode.set("shot_noise", 0.0).set("thermal_noise_pa_per_sqrt_hz", density_pa);
    OpticalSignal& light = diode.input<OpticalSignal>("input");
    const ElectricalSample& current = diode.output<ElectricalSample>("output");
    light.iv = 1;
    const double sigma_a = density_pa * 1e-12 * std::sqrt(1e12 / (2.0 * diode.context().time_step_double()));
    const double d_a = 2.0 * z * sigma_a;
    source.context().enter_round(SetupRound::state);
    EXPECT_TRUE(source.start().ok());
    EXPECT_TRUE(diode.start().ok());
    std::vector<float> samples;
    for (int step = 1; step <= 4 * (symbols + 1); ++step) {
        source.run(step);
        const int k = 2 * level[0] + level[1];
        light.x = {static_cast<float>(std::sqrt(1e3 * d_a * (k + 1))), 0.0f, diode.context().band_centre()};
        diode.run(step);
        if (step <= 4) continue;  // the source's first symbol is all ones
        samples.push_back(static_cast<float>(-3.0 + 2.0 * (current.value / d_a - 1.0)));
    }
    return samples;
}

TEST_F(MultilevelTest, SymbolErrorRatioFollowsSnrWithinAThirdOfADecibel) {
    // SER = 1.5 Q(d / (2 sigma)) for Gray PAM4: the signal-to-noise ratio the
    // estimated SER stands for, against the one simulated.
    for (const double z : {2.45, 3.0, 3.6, 4.2, 4.85}) {
        const double sigma = 1.0 / z;
        const std::vector<float> samples = noisy_pam4(z, 30000);
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
        for (int k = 0; k < 3; ++k) EXPECT_NEAR(e.best.threshold[k], 2.0 * k - 2.0, 0.05);
        // Eye height at 1e-6: d - 2 x 4.753 sigma, closed below z = 4.753.
        EXPECT_NEAR(e.best.opening[1], 2.0 - 2.0 * 4.753424 * sigma, 0.06) << z;
        if (z < 4.5) {
            for (const double w : e.width) EXPECT_EQ(w, 0.0);
        }
    }
    // Rectangular pulses with little noise: every eye open at all instants.
    const MultilevelEvaluation clean = evaluate_multilevel(noisy_pam4(10.0, 2000), 4, 4);
    EXPECT_EQ(clean.width, (std::vector<double>{1.0, 1.0, 1.0}));
    EXPECT_LT(clean.best.ser, 1e-20);  // 1.5 Q(10) = 1.1e-23
}

TEST_F(MultilevelTest, LevelsWithoutSamplesLeaveTheFitUndefined) {
    EXPECT_FALSE(fit_levels(std::vector<double>{1.0, 1.0, 1.0, 1.0, 1.0}, 4).defined);  // one value
    EXPECT_FALSE(fit_levels(std::vector<double>{0.0, 1.0}, 4).defined);                 // too few
}

}  // namespace
}  // namespace nodrix
