#include <algorithm>
#include <cmath>
#include <string>

#include "models/transmitters/frequency_modulation.h"
#include "tests/models/measurements/run_harness.h"

namespace nodrix {
namespace {

using FmTest = testing::BlockTest;

// A low-pass of the poles with its state allocated, run sample by sample.
struct LowPass {
    LowPass() {
        filter.claim(claims);
        claims.allocate();
    }
    float operator()(int step, float pole_re, float pole_im, float input) {
        run.enter_sample(step);
        return filter.filter(run, pole_re, pole_im, input);
    }
    RunContext run{SimulationSettings{}};
    TwoPoleLowPass filter;
    StateClaims claims;
};

TEST_F(FmTest, TwoPoleLowPassGainAndResonance) {
    // zeta 0.2, wn 2 pi x 10 GHz: unit gain at DC, peak 1 / (2 zeta sqrt(1 - zeta^2)) at wn sqrt(1 - 2 zeta^2),
    // 1 / |1 - 25 + j 2 zeta 5| at 5 wn.
    const double zeta = 0.2;
    const double wn = 2.0 * kPi * 0.01;
    const auto pre = static_cast<float>(-wn * zeta);
    const auto pim = static_cast<float>(wn * std::sqrt(1.0 - zeta * zeta));
    const std::pair<double, double> cases[] = {{0.0, 1.0},
                                               {wn * std::sqrt(1.0 - 2.0 * zeta * zeta), 1.0 / (2.0 * zeta * std::sqrt(1.0 - zeta * zeta))},
                                               {5.0 * wn, 1.0 / std::hypot(24.0, 2.0)}};
    for (const auto& [w, gain] : cases) {  // w 0: a step
        LowPass low_pass;
        const double dt = low_pass.run.time_step_double();
        double peak = 0.0;
        for (int k = 1; k <= 40000; ++k) {
            const float y = low_pass(k, pre, pim, static_cast<float>(w == 0.0 ? 1.0 : std::sin(w * (k - 1) * dt)));
            if (k > 20000) peak = std::max(peak, std::fabs(static_cast<double>(y)));
        }
        EXPECT_NEAR(peak, gain, 0.005 * gain) << w;
    }
    // A pole outside the left half-plane leaves the input unchanged.
    LowPass unstable;
    for (int k = 1; k <= 3; ++k) EXPECT_EQ(unstable(k, 0.0f, 1.0f, static_cast<float>(k)), static_cast<float>(k));
}

}  // namespace
}  // namespace nodrix
