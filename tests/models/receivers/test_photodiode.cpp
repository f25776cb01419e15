#include <cmath>
#include <vector>

#include "kernel/control_blocks.h"
#include "kernel/signals.h"
#include "models/receivers/photodiode.h"
#include "models/transmitters/gaussian.h"
#include "tests/models/measurements/run_harness.h"
#include "tests/support/test_support.h"

namespace nodrix {
namespace {

using testing::begin_counting_pass;
using testing::begin_init_pass;
using testing::begin_sample;

class PhotodiodeTest : public testing::NodrixTest {
protected:
    void SetUp() override {
        NodrixTest::SetUp();
        testing::set_project_constants();
        reset_uniform_generators();
        sig.iv = 1;
        sig.x = {1.0f, 0.0f, f_vbs_band.fcenter};
        sig.y = empty_field();
    }
    // Initialisation call then `n` samples of one photodiode; returns the currents.
    std::vector<float> run(const PhotodParams& p, std::int32_t n) {
        begin_init_pass();
        photod(p, in, out, sig, cur);
        std::vector<float> values;
        for (std::int32_t s = 1; s <= n; ++s) {
            begin_sample(s);
            photod(p, in, out, sig, cur);
            values.push_back(cur.value);
        }
        return values;
    }
    InputWindow in{0.0f, 1.0e6f};
    TimeWindow out;
    OpticalSignal sig;
    ElectricalSample cur;
};

TEST_F(PhotodiodeTest, NoiselessCurrentFollowsResponsivityDarkCurrentAndGain) {
    struct Case {
        float responsivity, dark_nA, gain;
        std::int32_t npol;
        float xre, xim, yre, yim;
        double expected;  // A
    };
    const Case cases[] = {
        {1.0f, 0.0f, 1.0f, 1, 1.0f, 0.0f, 0.0f, 0.0f, 0.001},               // 1 mW -> 1 mA
        {1.0f, 0.0f, 1.0f, 1, 0.6f, 0.8f, 0.0f, 0.0f, 0.001},               // |x|^2 = 1 mW
        {1.0f, 10.0f, 1.0f, 1, 0.0f, 0.0f, 0.0f, 0.0f, 1e-8},               // dark current in nA
        {0.8f, 10.0f, 3.0f, 1, 0.5f, 0.0f, 0.0f, 0.0f, (0.8e-3 * 0.25 + 1e-8) * 3.0},
        {1.0f, 0.0f, 1.0f, 1, 1.0f, 0.0f, 2.0f, 0.0f, 0.001},               // y ignored with one polarisation
        {1.0f, 0.0f, 1.0f, 2, 1.0f, 0.0f, 0.0f, 2.0f, 0.005},               // both count with two
    };
    for (const Case& c : cases) {
        optcl_ctrl.npol = c.npol;
        sig.x = {c.xre, c.xim, f_vbs_band.fcenter};
        sig.y = {c.yre, c.yim, f_vbs_band.fcenter};
        const auto values = run({c.responsivity, 0, c.dark_nA, c.gain, 0.5f}, 3);
        for (float v : values) EXPECT_NEAR(v, c.expected, c.expected * 1e-6) << c.responsivity << " " << c.npol;
    }
}

TEST_F(PhotodiodeTest, WindowAndBandGateTheCurrent) {
    // Group delays from -5 to 20 ps over the in-band bins; the bins outside
    // them do not count.
    sig.gd.fill(0.0f);
    sig.gd[102] = -5.0f;
    sig.gd[922] = 20.0f;
    sig.gd[50] = -1000.0f;
    sig.gd[1000] = 1000.0f;
    in = {10.0f * static_cast<float>(zdctrl.ddelt), 20.0f * static_cast<float>(zdctrl.ddelt)};
    const auto values = run({1.0f, 0, 0.0f, 1.0f, 0.0f}, 100);
    EXPECT_FLOAT_EQ(out.ton, in.ton);
    EXPECT_FLOAT_EQ(out.tgoodi, in.ton + 25.0f);
    EXPECT_FLOAT_EQ(out.tgoodf, in.ton + in.twinin);
    EXPECT_FLOAT_EQ(out.toff, in.ton + in.twinin + 25.0f);
    for (std::int32_t s = 1; s <= 100; ++s) {
        const float t = testing::sample_time(s);
        const bool inside = t >= in.ton && t < out.toff;
        EXPECT_EQ(values[static_cast<std::size_t>(s - 1)], inside ? 0.001f : 0.0f) << "step " << s;
    }

    sig.iv = 0;  // out of band: no current for the whole run
    for (float v : run({1.0f, 1, 5.0f, 1.0f, 0.0f}, 100)) EXPECT_EQ(v, 0.0f);
}

TEST_F(PhotodiodeTest, ShotNoiseVarianceIsTwoQM2FI0B) {
    struct Case {
        float power, dark_nA, gain, exponent;
    };
    const Case cases[] = {{1.0f, 0.0f, 1.0f, 0.0f}, {0.5f, 100.0f, 10.0f, 0.5f}};
    const std::int32_t n = 200000;
    // The light arrives from step 1001 on: the generator is set up on the
    // first call of the run all the same.
    in.ton = 1000.0f * static_cast<float>(zdctrl.ddelt);
    for (const Case& c : cases) {
        sig.x = {std::sqrt(c.power), 0.0f, f_vbs_band.fcenter};
        const auto values = run({1.0f, 1, c.dark_nA, c.gain, c.exponent}, n + 1000);
        double sum = 0.0;
        double sum2 = 0.0;
        for (std::size_t k = 1000; k < values.size(); ++k) {
            const double v = values[k];
            sum += v;
            sum2 += v * v;
        }
        const double mean = sum / n;
        const double variance = sum2 / n - mean * mean;
        const double i0 = 1e-3 * c.power + 1e-9 * c.dark_nA;
        const double f = std::pow(static_cast<double>(c.gain), static_cast<double>(c.exponent));
        const double b = 1e12 / (2.0 * zdctrl.ddelt);  // simulation bandwidth [Hz]
        const double expected = 2.0 * 1.6021892e-19 * c.gain * c.gain * f * i0 * b;
        // The estimate of a variance from n Gaussian samples has a relative
        // deviation of sqrt(2 / n) = 0.3 %; 2 % is over six deviations.
        EXPECT_NEAR(variance / expected, 1.0, 0.02) << c.gain;
        EXPECT_NEAR(mean, c.gain * i0, 5.0 * std::sqrt(expected / n));
    }
}

TEST_F(PhotodiodeTest, NegativeCurrentsAreClippedToExactlyZero) {
    // I0 = 6.245e-7 A makes the mean current half the noise deviation
    // (s^2 = q 2e12 I0 0.5 / dt): a fraction Phi(-0.5) = 0.3085 of the samples
    // would be negative.
    sig.x = {std::sqrt(6.245e-4f), 0.0f, f_vbs_band.fcenter};
    const std::int32_t n = 20000;
    const auto values = run({1.0f, 1, 0.0f, 1.0f, 0.0f}, n);
    int zeros = 0;
    for (float v : values) {
        ASSERT_FALSE(std::signbit(v));
        if (v == 0.0f) ++zeros;
    }
    // Binomial deviation of the fraction: 0.0033.
    EXPECT_NEAR(static_cast<double>(zeros) / n, 0.3085, 0.015);
}

TEST_F(PhotodiodeTest, StorageRequestsAndTheirWalkAcrossSamples) {
    struct Case {
        std::int32_t iv, shot, setuponly, memused;
    };
    // Two factors (4 x 2 + 8 bytes) in band; the generator's three reals and
    // one integer (20 + 12 bytes) with shot noise.
    const Case cases[] = {{1, 0, 0, 16}, {1, 1, 0, 48}, {0, 1, 0, 32}, {0, 0, 0, 0}, {1, 1, 1, 0}};
    for (const Case& c : cases) {
        sig.iv = c.iv;
        optcl_ctrl.setuponly = 0;
        begin_counting_pass();
        optcl_ctrl.setuponly = c.setuponly;
        photod({1.0f, c.shot, 0.0f, 1.0f, 0.0f}, in, out, sig, cur);
        EXPECT_EQ(optcl_ctrl.memused, c.memused) << c.iv << c.shot << c.setuponly;
    }
    optcl_ctrl.setuponly = 0;

    // Noisy photodiodes, one on an out-of-band signal, one lit only from
    // step 21 to 30, followed by a noiseless one in band: the last finds its
    // own factors on every sample, whether the generator was drawn or passed over.
    OpticalSignal dark_sig = sig;
    dark_sig.iv = 0;
    const float dt = static_cast<float>(zdctrl.ddelt);
    const InputWindow late{19.5f * dt, 10.0f * dt};
    const PhotodParams noisy{1.0f, 1, 0.0f, 1.0f, 0.0f};
    const PhotodParams plain{2.0f, 0, 0.0f, 1.0f, 0.0f};
    TimeWindow out2;
    TimeWindow out3;
    ElectricalSample cur2;
    ElectricalSample cur3;
    begin_init_pass();
    photod(noisy, in, out, dark_sig, cur);
    photod(noisy, late, out2, sig, cur2);
    photod(plain, in, out3, sig, cur3);
    for (std::int32_t s = 1; s <= 50; ++s) {
        begin_sample(s);
        photod(noisy, in, out, dark_sig, cur);
        photod(noisy, late, out2, sig, cur2);
        photod(plain, in, out3, sig, cur3);
        EXPECT_EQ(cur.value, 0.0f);
        EXPECT_EQ(cur2.value > 0.0f, s >= 21 && s <= 30) << "step " << s;
        EXPECT_FLOAT_EQ(cur3.value, 0.002f) << "step " << s;
    }
}

TEST_F(PhotodiodeTest, ImpossibleParametersAreReported) {
    ::testing::internal::CaptureStderr();
    begin_init_pass();
    photod({-1.0f, 0, -2.0f, 0.0f, 0.0f}, in, out, sig, cur);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Nodrix-E-Photodiode: the responsivity must not be negative\n"), std::string::npos) << err;
    EXPECT_NE(err.find("Nodrix-E-Photodiode: the dark current must not be negative\n"), std::string::npos) << err;
    EXPECT_NE(err.find("Nodrix-E-Photodiode: the avalanche gain must be positive\n"), std::string::npos) << err;
    ::testing::internal::CaptureStderr();
    photod({1.0f, 0, 0.0f, 1.0f, 0.0f}, in, out, sig, cur);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

}  // namespace
}  // namespace nodrix
