#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "models/transmitters/gaussian.h"
#include "tests/models/measurements/run_harness.h"
#include "tests/support/block_bench.h"

namespace nodrix {
namespace {

using LaserTest = testing::BlockTest;

// A laser on the block bench, its band centred at 193.5 THz and its sources
// emitting for `window_ps`.
struct LaserBench {
    explicit LaserBench(float frequency, float linewidth, bool shaped = false, float window_ps = 1e5f)
        : bench("laser", settings(window_ps)), out(bench.output<OpticalSignal>("output")) {
        bench.set("frequency_thz", frequency).set("linewidth_mhz", linewidth);
        if (shaped) bench.set("shaped_frequency_noise", 1.0).set("resonance_frequency_ghz", 5.0).set("resonance_peak_db", 3.0);
        bench.start();
    }
    static SimulationSettings settings(float window_ps) {
        SimulationSettings s;
        s.band.centre_thz = 193.5f;
        s.emission_window_ps = window_ps;
        return s;
    }
    FieldSample sample(int step) {
        bench.run(step);
        EXPECT_EQ(std::hypot(out.y.re, out.y.im), 0.0f);
        return out.x;
    }
    testing::BlockBench bench;
    const OpticalSignal& out;
};

TEST_F(LaserTest, PhaseNoiseDiffusesAtTheLineWidth) {
    // 10 MHz: phase variance v = 2 pi x 10 x 1e-6 x delt per step; the trapezoidal integrator averages two
    // noise samples per step (variance v / 2), so over L steps the variance is (L - 1/2) v.
    LaserBench laser(193.5f, 10.0f);
    std::vector<FieldSample> x;
    for (int k = 1; k <= 200000; ++k) x.push_back(laser.sample(k));
    std::vector<double> phase(x.size());
    for (std::size_t k = 0; k < x.size(); ++k) {
        ASSERT_NEAR(std::hypot(x[k].re, x[k].im), 1.0f, 1e-5);
        const double p = std::atan2(x[k].im, x[k].re);
        phase[k] = k == 0 ? p : phase[k - 1] + std::remainder(p - phase[k - 1], 2.0 * kPi);
    }
    const double v = 2.0 * kPi * 10.0 * 1e-6 * laser.bench.context().time_step_double();
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

TEST_F(LaserTest, AfterItsWindowTheNoiseStillDrawsFromTheSharedStream) {
    // Two lasers share the noise generator. The first one's window ends after
    // 100 samples or lasts the whole run: the second one's light must be the
    // same either way, the first one's the same up to its window's end and
    // dark after it.
    auto equal = [](const FieldSample& a, const FieldSample& b) { return a.re == b.re && a.im == b.im; };
    const float dt = SimulationSettings{}.time_step_ps;
    for (const bool shaped : {false, true}) {
        std::vector<FieldSample> light[2];
        for (const bool early : {false, true}) {
            reset_uniform_generators();
            LaserBench first(193.4f, 10.0f, shaped, early ? 99.5f * dt : 1e5f), second(193.6f, 10.0f);
            for (int k = 1; k <= 1000; ++k) {
                const FieldSample a = first.sample(k);
                light[early].insert(light[early].end(), {early || k <= 100 ? a : FieldSample{}, second.sample(k)});
            }
        }
        EXPECT_TRUE(std::equal(light[0].begin(), light[0].end(), light[1].begin(), equal)) << shaped;
    }
}

}  // namespace
}  // namespace nodrix
