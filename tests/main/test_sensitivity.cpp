// The receiver of projects/back_to_back.toml, limited by its amplifier's
// thermal noise, against the closed form of such a receiver's sensitivity.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "project/summary.h"
#include "tests/main/nodrix_run.h"

namespace nodrix {
namespace {

const std::string kBackToBack = std::string(NODRIX_PROJECTS_DIR) + "/back_to_back.toml";

// The noise bandwidth of the 4th-order Bessel low-pass over its 3-dB
// bandwidth: |H(j w)|^2 = |105 / theta(j w)|^2, theta(s) = s^4 + 10 s^3 +
// 45 s^2 + 105 s + 105, integrated over w > 0 by Simpson's rule (to 400 times
// the 3-dB frequency: beyond, |H|^2 falls as w^-8), over the 3-dB frequency.
double bessel4_noise_bandwidth_ratio() {
    auto h2 = [](double w) {
        const std::complex<double> s(0.0, w);
        return std::norm(105.0 / ((((s + 10.0) * s + 45.0) * s + 105.0) * s + 105.0));
    };
    double lo = 0.1, hi = 10.0;
    for (int k = 0; k < 100; ++k) (h2(0.5 * (lo + hi)) > 0.5 ? lo : hi) = 0.5 * (lo + hi);
    const int steps = 400000;
    const double h = 400.0 * lo / steps;
    double sum = h2(0.0) + h2(400.0 * lo);
    for (int k = 1; k < steps; ++k) sum += (k % 2 == 1 ? 4.0 : 2.0) * h2(k * h);
    return sum * h / 3.0 / lo;
}

// Q of a BER of 0.5 erfc(Q / sqrt 2), by bisection.
double q_of_ber(double ber) {
    double lo = 0.0, hi = 40.0;
    for (int k = 0; k < 200; ++k) (0.5 * std::erfc(0.5 * (lo + hi) / std::sqrt(2.0)) > ber ? lo : hi) = 0.5 * (lo + hi);
    return lo;
}

using Sensitivity = testing::NodrixRunTest;

// A thermal-noise-limited receiver decides between the currents R P1 and
// R P0 under a noise of deviation i_th sqrt(B_n) on both: Q = R (P1 - P0) /
// (2 i_th sqrt(B_n)), so that with the mean power P = (P1 + P0) / 2 and the
// extinction ratio r = P1 / P0 its sensitivity, the P of Q(1e-9), is
// Q i_th sqrt(B_n) (r + 1) / (R (r - 1)). The link's BER at three received
// powers, turned into the power that would give Q(1e-9) as Q grows in
// proportion to P, lands within 0.5 dB of it each time; without the thermal
// noise the BER falls to the estimator's floor.
TEST_F(Sensitivity, TheBackToBackLinkMeetsTheClosedFormOfAThermalNoiseLimitedReceiver) {
    const double responsivity = 0.8, density = 15e-12, bandwidth_hz = 7.5e9;
    // The modulator passes cos^2(pi/2 (V - 2.5 V) / 5 V) of the power at the drive V.
    const double low_v = -1.475836;
    const double r = 1.0 / std::pow(std::cos(M_PI / 2.0 * (low_v - 2.5) / 5.0), 2);
    ASSERT_NEAR(10.0 * std::log10(r), 10.0, 1e-4);
    const double noise_bandwidth = bessel4_noise_bandwidth_ratio() * bandwidth_hz;
    ASSERT_NEAR(noise_bandwidth / bandwidth_hz, 1.0464, 1e-3);
    const double q9 = q_of_ber(1e-9);
    ASSERT_NEAR(q9, 5.9978, 1e-3);
    const double closed_dbm =
        10.0 * std::log10(q9 * density * std::sqrt(noise_bandwidth) * (r + 1.0) / (responsivity * (r - 1.0)) / 1e-3);
    EXPECT_NEAR(closed_dbm, -19.14, 0.01);  // as the link's file says

    // A run in this process leaves it in its output directory: named whole.
    const std::string out = std::filesystem::absolute("out").string();
    auto run_at = [&](double loss_db, bool thermal) {
        const std::vector<std::string> words = {
            "run", kBackToBack, "-simulate", "-quiet", "-o", out, "-set", "5.loss_db=" + std::to_string(loss_db),
            "-set", "2.low_level_v=-1.475836", "-set", "7.responsivity_a_per_w=0.8", "-set", "8.order=4",
            "-set", "8.bandwidth_ghz=7.5", "-set", std::string("7.thermal_noise_pa_per_sqrt_hz=") + (thermal ? "15" : "0")};
        EXPECT_EQ(run(words), 0) << err_;
        const auto report = read_estimator_report(out + "/back_to_back_PST0009.DAT");
        const auto meter = read_power_meter_report(out + "/back_to_back_OPM0006.DAT");
        EXPECT_TRUE(report && meter) << out_ << err_;
        return std::pair{report ? report->ber : 1.0, meter.value_or(0.0)};
    };
    for (const double loss : {15.0, 16.5, 18.0}) {
        const auto [ber, meter_dbm] = run_at(loss, true);
        // 64 marks of 1 mW and 63 spaces of 1 / r mW in a sequence of 127 bits;
        // the transitions (a quarter of a bit, cos^2 is above its chord) add 0.07 dB.
        EXPECT_NEAR(meter_dbm, 10.0 * std::log10((64.0 + 63.0 / r) / 127.0) - loss, 0.1);
        const double found_dbm = meter_dbm + 10.0 * std::log10(q9 / q_of_ber(ber));
        EXPECT_NEAR(found_dbm, closed_dbm, 0.5) << "BER " << ber << " at " << meter_dbm << " dBm";
    }
    EXPECT_LT(run_at(18.0, false).first, 1e-39);
}

}  // namespace
}  // namespace nodrix
