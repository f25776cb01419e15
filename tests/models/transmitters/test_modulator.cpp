#include <cmath>
#include <complex>

#include "models/transmitters/modulator.h"
#include "tests/models/measurements/run_harness.h"

namespace nodrix {
namespace {

using testing::begin_init_pass;
using testing::begin_sample;
using cf = std::complex<float>;

class ModulatorTest : public testing::BlockTest {
protected:
    void SetUp() override {
        BlockTest::SetUp();
        laser_.iv = 1;
        laser_.pp = 2.0f;
        laser_.ps.fill(1.0f);
        laser_.x = FieldSample{0.6f, 0.8f, f_vbs_band.fcenter};
        laser_.y = FieldSample{0.3f, -0.4f, f_vbs_band.fcenter};
    }

    // Set-up, then one sample with the given drive; returns the output x.
    cf sample(const OamodParams& p, float drive) {
        begin_init_pass();
        oamod(p, in_, window_, laser_, ElectricalSample{}, sig_);
        begin_sample(1);
        oamod(p, in_, window_, laser_, ElectricalSample{drive, 0.0f, 0.0f}, sig_);
        EXPECT_EQ(sig_.x.fcenter, f_vbs_band.fcenter);
        return {sig_.x.re, sig_.x.im};
    }

    OpticalSignal laser_;
    OpticalSignal sig_;
    TimeWindow window_;
    InputWindow in_{0.0f, 15360.0f};
};

OamodParams modulator(float symmetry = 0.999f, float chirp = 0.0f) { return OamodParams{3.0f, 2.5f, 5.0f, symmetry, chirp, 0.7079457f}; }

const float g = std::pow(10.0f, 0.15f);  // field loss of 3 dB
const cf in(0.6f, 0.8f);

TEST_F(ModulatorTest, TransferAtBiasAndExtinction) {
    EXPECT_LT(std::abs(sample(modulator(), 2.5f) - in / g), 1e-6f);  // at the bias: the loss only
    // At bias - switching voltage (phi = -pi/2) only the symmetry term is
    // left: j sqrt(1 - 0.999) / g.
    EXPECT_LT(std::abs(sample(modulator(), -2.5f) - in * cf(0.0f, std::sqrt(0.001f)) / g), 1e-6f);
    for (float v : {-1.0f, 1.7f}) {  // a symmetric modulator only scales
        const cf out = sample(modulator(1.0f), v);
        EXPECT_NEAR(std::arg(out), std::arg(in), 1e-6) << v;
        EXPECT_NEAR(std::abs(out), std::cos((v - 2.5f) * 1.5707964f / 5.0f) / g, 1e-6) << v;
    }
    EXPECT_EQ(sig_.y.re, 0.0f);  // one polarisation: y is zero field
    optcl_ctrl.npol = 2;
    sample(modulator(1.0f), 2.5f);
    EXPECT_LT(std::abs(cf(sig_.y.re, sig_.y.im) - cf(0.3f, -0.4f) / g), 1e-6f);
}

TEST_F(ModulatorTest, ChirpFollowsTheLogarithmOfThePowerAndStopsAtTheFloor) {
    // Bright sample: phase 0.5 alpha ln P added, P = 1 / g^2.
    const cf bright = sample(modulator(1.0f, 2.0f), 2.5f);
    EXPECT_NEAR(std::abs(bright), 1.0f / g, 1e-6);
    EXPECT_NEAR(std::remainder(std::arg(bright) - std::arg(in) - std::log(1.0f / (g * g)), 2 * kPi), 0.0, 1e-5);
    // Dark sample (P = 1e-7 / g^2, below 1e-4): the phase of P = 1e-4. (cos(-pi/2)
    // in single precision is -4.4e-8, not 0.)
    const cf dark = sample(modulator(1.0f - 1e-7f, 2.0f), -2.5f);
    const cf unchirped = in * cf(std::cos(-1.5707964f), std::sqrt(1.0f - (1.0f - 1e-7f)) * std::sin(1.5707964f)) / g;
    ASSERT_LT(std::norm(unchirped), 1e-4f);
    EXPECT_NEAR(std::abs(dark), std::abs(unchirped), 1e-7);
    EXPECT_NEAR(std::remainder(std::arg(dark) - std::arg(unchirped) - std::log(1e-4), 2 * kPi), 0.0, 1e-4);
    EXPECT_NEAR(std::arg(sample(modulator(1.0f, 0.0f), 1.0f)), std::arg(in), 1e-6);  // no chirp, no phase
}

TEST_F(ModulatorTest, SpectrumPowerDelaysAndWindow) {
    for (int i = 0; i < kBins; ++i) laser_.gd[i] = 1.0f + 0.01f * static_cast<float>(i);
    in_ = InputWindow{10.0f, 100.0f};
    begin_init_pass();
    oamod(modulator(), in_, window_, laser_, ElectricalSample{}, sig_);
    // 3 dB and the field factor 0.7079457: 10^-0.3 x 0.7079457^2 = 0.2512,
    // about half the factor's square (0.2506).
    EXPECT_NEAR(sig_.ps[0], std::pow(10.0, -0.3) * 0.7079457 * 0.7079457, 1e-6);
    EXPECT_NEAR(sig_.ps[1023], 0.2506, 0.001);
    EXPECT_NEAR(sig_.pp, 2.0 * std::pow(10.0, -0.3), 1e-6);  // total power through the loss alone
    EXPECT_EQ(sig_.iv, 1);
    EXPECT_EQ(sig_.gd, laser_.gd);
    // In-band delays 2.02 to 10.22 ps: the output starts with its input and
    // ends the delay spread later.
    EXPECT_FLOAT_EQ(window_.ton, 10.0f);
    EXPECT_FLOAT_EQ(window_.tgoodi, 10.0f + 8.2f);
    EXPECT_FLOAT_EQ(window_.toff, 110.0f + 8.2f);
    EXPECT_FLOAT_EQ(window_.tgoodf, 110.0f);
    for (std::int32_t step : {1, 156, 157, 1845, 1846}) {  // zero field before ton and from toff on
        const float t = static_cast<float>(step - 1) * zzctrl.delt;
        begin_sample(step);
        oamod(modulator(), in_, window_, laser_, ElectricalSample{2.5f, 0.0f, 0.0f}, sig_);
        EXPECT_EQ(sig_.x.re != 0.0f, t >= in_.ton && t < window_.toff) << step;
    }
}

TEST_F(ModulatorTest, OutOfBandInputAndStorage) {
    laser_.iv = 0;
    laser_.gd.fill(3.0f);
    window_ = TimeWindow{-1.0f, -1.0f, -1.0f, -1.0f};
    testing::begin_counting_pass();
    oamod(modulator(), in_, window_, laser_, ElectricalSample{}, sig_);
    EXPECT_EQ(optcl_ctrl.memused, 0);
    EXPECT_EQ(sig_.iv, 0);
    EXPECT_EQ(sig_.pp, 0.0f);
    EXPECT_EQ(sig_.gd[7], 3.0f);
    EXPECT_EQ(window_.ton, -1.0f);
    EXPECT_EQ(sample(modulator(), 2.5f), cf(0.0f, 0.0f));

    laser_.iv = 1;
    testing::begin_counting_pass();
    oamod(modulator(), in_, window_, laser_, ElectricalSample{}, sig_);
    EXPECT_EQ(optcl_ctrl.memused, 4 * 1 + 8);
    testing::begin_counting_pass();
    optcl_ctrl.setuponly = 1;
    sig_.gd.fill(0.0f);
    oamod(modulator(), in_, window_, laser_, ElectricalSample{}, sig_);
    EXPECT_EQ(optcl_ctrl.memused, 0);
    EXPECT_EQ(sig_.gd[7], 0.0f);  // set-up-only: spectrum and flag only
    EXPECT_NEAR(sig_.ps[7], 0.2512, 1e-4);
}

}  // namespace
}  // namespace nodrix
