#include <algorithm>
#include <cmath>
#include <complex>
#include <string>
#include <vector>

#include "models/transmitters/laser.h"
#include "tests/models/measurements/run_harness.h"

namespace nodrix {
namespace {

using testing::begin_init_pass;
using testing::begin_sample;

class LaserTest : public testing::BlockTest {
protected:
    // Set-up call of a run, then `samples` per-sample calls; returns the x fields.
    std::vector<FieldSample> run(const LaslorParams& p, int samples, InputWindow in = {0.0f, 15360.0f}) {
        std::vector<FieldSample> x;
        for (int k = 0; k <= samples; ++k) {
            k == 0 ? begin_init_pass() : begin_sample(k);
            laslor(p, in, window_, sig_);
            EXPECT_EQ(std::hypot(sig_.y.re, sig_.y.im), 0.0f);
            if (k > 0) x.push_back(sig_.x);
        }
        return x;
    }

    TimeWindow window_;
    OpticalSignal sig_;
};

LaslorParams laser(float frequency, float power = 2.0f, float linewidth = 0.0f, float phase = 0.0f) {
    return LaslorParams{frequency, power, linewidth, phase, 0, 0.0f, 0.0f};
}

TEST_F(LaserTest, PhaseNoiseDiffusesAtTheLineWidth) {
    // 10 MHz: phase variance v = 2 pi x 10 x 1e-6 x delt per step; the trapezoidal integrator averages two
    // noise samples per step (variance v / 2), so over L steps the variance is (L - 1/2) v.
    f_vbs_band.fcenter = 193.5f;
    const std::vector<FieldSample> x = run(laser(193.5f, 1.0f, 10.0f), 200000);
    std::vector<double> phase(x.size());
    for (std::size_t k = 0; k < x.size(); ++k) {
        ASSERT_NEAR(std::hypot(x[k].re, x[k].im), 1.0f, 1e-5);
        const double p = std::atan2(x[k].im, x[k].re);
        phase[k] = k == 0 ? p : phase[k - 1] + std::remainder(p - phase[k - 1], 2.0 * kPi);
    }
    const double v = 2.0 * kPi * 10.0 * 1e-6 * zzctrl.delt;
    for (const std::size_t lag : {1, 50, 200}) {
        double s = 0.0, s2 = 0.0;
        int m = 0;
        for (std::size_t k = 0; k + lag < phase.size(); k += lag, ++m) {
            s += phase[k + lag] - phase[k];
            s2 += (phase[k + lag] - phase[k]) * (phase[k + lag] - phase[k]);
        }
        // 4 sigma of a variance from m values (wider at lag 1, whose neighbouring increments share a sample).
        const double expect = v * (static_cast<double>(lag) - 0.5);
        const double tol = lag == 1 ? 0.04 : 4.0 * std::sqrt(2.0 / m);
        EXPECT_NEAR(s2 / m - (s / m) * (s / m), expect, tol * expect) << lag;
    }
}

TEST_F(LaserTest, AfterItsWindowTheNoiseChainStillDrawsAndWalksTheStorageAsBefore) {
    // Two lasers in a row share the noise generator and the storage walk. The
    // first one's window ends after 100 samples or lasts the whole run: the
    // second one's light must be the same either way, the first one's the
    // same up to its window's end and dark after it.
    f_vbs_band.fcenter = 193.5f;
    auto equal = [](const FieldSample& a, const FieldSample& b) { return a.re == b.re && a.im == b.im; };
    for (const std::int32_t shaping : {0, 1}) {
        const LaslorParams first{193.4f, 1.0f, 10.0f, 0.0f, shaping, 5.0f, 3.0f}, second = laser(193.6f, 2.0f, 10.0f);
        std::vector<FieldSample> light[2];
        for (const bool early : {false, true}) {
            reset_uniform_generators();
            TimeWindow window;
            OpticalSignal sig;
            for (int k = 0; k <= 1000; ++k) {
                k == 0 ? testing::begin_init_pass() : begin_sample(k);
                laslor(first, InputWindow{0.0f, early ? 99.5f * zzctrl.delt : 1e5f}, window_, sig_);
                laslor(second, InputWindow{0.0f, 1e5f}, window, sig);
                if (k > 0) light[early].insert(light[early].end(), {early || k <= 100 ? sig_.x : FieldSample{}, sig.x});
            }
        }
        EXPECT_TRUE(std::equal(light[0].begin(), light[0].end(), light[1].begin(), equal)) << shaping;
    }
}

}  // namespace
}  // namespace nodrix
