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

}  // namespace
}  // namespace nodrix
