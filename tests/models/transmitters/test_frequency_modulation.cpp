#include <algorithm>
#include <cmath>
#include <string>

#include "models/transmitters/frequency_modulation.h"
#include "tests/models/measurements/run_harness.h"

namespace nodrix {
namespace {

using testing::begin_init_pass;
using testing::begin_sample;
using FmTest = testing::BlockTest;

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
        begin_init_pass();
        twopol(pre, pim, 0.0f);
        double peak = 0.0;
        for (int k = 1; k <= 40000; ++k) {
            begin_sample(k);
            const float y = twopol(pre, pim, static_cast<float>(w == 0.0 ? 1.0 : std::sin(w * (k - 1) * zzctrl.delt)));
            if (k > 20000) peak = std::max(peak, std::fabs(static_cast<double>(y)));
        }
        EXPECT_NEAR(peak, gain, 0.005 * gain) << w;
    }
    // A pole outside the left half-plane leaves the input unchanged.
    begin_init_pass();
    twopol(0.0f, 1.0f, 0.0f);
    for (int k = 1; k <= 3; ++k) {
        begin_sample(k);
        EXPECT_EQ(twopol(0.0f, 1.0f, static_cast<float>(k)), static_cast<float>(k));
    }
}

}  // namespace
}  // namespace nodrix
