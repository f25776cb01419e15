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

TEST_F(FmTest, IntegratorTrailsByHalfAStep) {
    zzctrl.delt = 0.5f;
    begin_init_pass();
    EXPECT_EQ(intgrl(1.0f, 7.0f), 1.0f);  // set-up: the start value
    // Start 1, inputs 2, 4, -2, 0, steps of 0.5: the first call adds its half step only, later calls the
    // half steps of their input before and after returning.
    const float inputs[] = {2.0f, 4.0f, -2.0f, 0.0f};
    const float expect[] = {1.5f, 2.5f, 3.0f, 2.5f};
    for (int k = 1; k <= 4; ++k) {
        begin_sample(k);
        EXPECT_EQ(intgrl(1.0f, inputs[k - 1]), expect[k - 1]) << k;
    }
}

TEST_F(FmTest, ModulatorKeepsItsFirstArgumentsChecksThemAndStores) {
    CarrierSample out;
    const std::string quiet = testing::stderr_of([&] {
        begin_init_pass();
        fremod(193.0f, 2.0f, 0.5f, 0.0f, 1.5f, ElectricalSample{3.0f, 0.0f, 0.0f}, out);
        EXPECT_EQ(out.re, 0.0f);
        begin_sample(1);
        fremod(193.0f, 2.0f, 0.5f, 0.0f, 1.5f, ElectricalSample{3.0f, 0.0f, 0.0f}, out);
        const float phase1 = 0.5f + 1.5f * static_cast<float>(0.5 * 0.0640443f * 3.0);
        EXPECT_FLOAT_EQ(out.re, 2.0f * std::cos(phase1));
        EXPECT_FLOAT_EQ(out.im, 2.0f * std::sin(phase1));
        begin_sample(2);  // the values kept at the first run call rule
        fremod(10.0f, 7.0f, 0.0f, 0.0f, 0.0f, ElectricalSample{1.0f, 0.0f, 0.0f}, out);
        const float phase2 = 0.5f + 1.5f * static_cast<float>(0.0640443f * (3.0 / 2 + 1.0 / 2));
        EXPECT_NEAR(out.re, 2.0f * std::cos(phase2), 1e-6);
        EXPECT_NEAR(out.im, 2.0f * std::sin(phase2), 1e-6);
        EXPECT_EQ(out.carrier, 193.0f);
    });
    EXPECT_EQ(quiet, "");
    const std::string err = testing::stderr_of([&] {
        begin_init_pass();
        for (int k = 0; k <= 3; ++k) {
            if (k > 0) begin_sample(k);
            fremod(1.0f, 1.0f, 0.0f, 0.0f, 1.0f, ElectricalSample{0.0f, 0.0f, 5.0f}, out);
        }
    });
    EXPECT_NE(err.find("ERROR CODE = 15090"), std::string::npos) << err;
    EXPECT_NE(err.find("ERROR CODE = 15091"), std::string::npos) << err;
    EXPECT_EQ(err.find("15090", err.find("15090") + 1), std::string::npos);  // first run call only

    testing::begin_counting_pass();  // fremod loch(5) with its intgrl locd(1); twopol locd(5)
    fremod(193.0f, 1.0f, 0.0f, 0.0f, 1.0f, ElectricalSample{}, out);
    EXPECT_EQ(optcl_ctrl.memused, (4 * 5 + 8) + (8 * 1 + 16));
    twopol(-1.0f, 1.0f, 0.0f);
    EXPECT_EQ(optcl_ctrl.memused, (4 * 5 + 8) + (8 * 1 + 16) + (8 * 5 + 16));
}

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
