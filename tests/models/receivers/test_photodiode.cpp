#include <cmath>
#include <string>
#include <vector>

#include "models/receivers/photodiode.h"
#include "tests/models/measurements/run_harness.h"

namespace nodrix {
namespace {

class PhotodiodeTest : public testing::BlockTest {
protected:
    void SetUp() override {
        BlockTest::SetUp();
        sig.iv = 1;
        sig.x = {1.0f, 0.0f, f_vbs_band.fcenter};
    }
    // Initialisation call then `n` samples of one photodiode; returns the currents.
    std::vector<float> run(const PhotodParams& p, std::int32_t n) {
        std::vector<float> values;
        for (std::int32_t s = 0; s <= n; ++s) {
            s == 0 ? testing::begin_init_pass() : testing::begin_sample(s);
            photod(p, in, out, sig, cur);
            if (s > 0) values.push_back(cur.value);
        }
        return values;
    }
    InputWindow in{0.0f, 1.0e6f};
    TimeWindow out;
    OpticalSignal sig;
    ElectricalSample cur;
};

TEST_F(PhotodiodeTest, NoiselessCurrentFollowsResponsivityDarkCurrentAndGain) {
    struct Case { float responsivity, dark_nA, gain; std::int32_t npol; FieldSample x, y; double expected; };
    const Case cases[] = {
        {1.0f, 0.0f, 1.0f, 1, {0.6f, 0.8f}, {}, 0.001},                          // 1 mW -> 1 mA
        {1.0f, 10.0f, 1.0f, 1, {}, {}, 1e-8},                                    // dark current in nA
        {0.8f, 10.0f, 3.0f, 1, {0.5f, 0.0f}, {}, (0.8e-3 * 0.25 + 1e-8) * 3.0},
        {1.0f, 0.0f, 1.0f, 1, {1.0f, 0.0f}, {2.0f, 0.0f}, 0.001},                // y ignored with one polarisation
        {1.0f, 0.0f, 1.0f, 2, {1.0f, 0.0f}, {0.0f, 2.0f}, 0.005},                // both count with two
    };
    for (const Case& c : cases) {
        optcl_ctrl.npol = c.npol;
        sig.x = c.x;
        sig.y = c.y;
        for (float v : run({c.responsivity, 0, c.dark_nA, c.gain, 0.5f}, 3)) EXPECT_NEAR(v, c.expected, c.expected * 1e-6);
    }
}

TEST_F(PhotodiodeTest, WindowAndBandGateTheCurrent) {
    // In-band group delays from -5 to 20 ps; the bins outside them do not count.
    sig.gd[102] = -5.0f;
    sig.gd[922] = 20.0f;
    sig.gd[50] = -1000.0f;
    sig.gd[1000] = 1000.0f;
    const float dt = static_cast<float>(zdctrl.ddelt);
    in = {10.0f * dt, 20.0f * dt};
    const auto values = run({1.0f, 0, 0.0f, 1.0f, 0.0f}, 100);
    EXPECT_EQ((std::vector<float>{out.ton, out.tgoodi, out.tgoodf, out.toff}),
              (std::vector<float>{in.ton, in.ton + 25.0f, in.ton + in.twinin, in.ton + in.twinin + 25.0f}));
    for (std::int32_t s = 1; s <= 100; ++s) {
        const auto t = static_cast<float>((s - 1) * zdctrl.ddelt);
        EXPECT_EQ(values[s - 1], t >= in.ton && t < out.toff ? 0.001f : 0.0f) << "step " << s;
    }
    sig.iv = 0;  // out of band: no current for the whole run
    for (float v : run({1.0f, 1, 5.0f, 1.0f, 0.0f}, 100)) EXPECT_EQ(v, 0.0f);
}

TEST_F(PhotodiodeTest, ShotNoiseVarianceIsTwoQM2FI0BAndNegativeCurrentsAreClipped) {
    struct Case { float power, dark_nA, gain, exponent; };
    const std::int32_t n = 200000;
    in.ton = 1000.0f * static_cast<float>(zdctrl.ddelt);  // the generator is set up on the first call all the same
    for (const Case& c : {Case{1.0f, 0.0f, 1.0f, 0.0f}, Case{0.5f, 100.0f, 10.0f, 0.5f}}) {
        sig.x = {std::sqrt(c.power), 0.0f, f_vbs_band.fcenter};
        const auto values = run({1.0f, 1, c.dark_nA, c.gain, c.exponent}, n + 1000);
        double sum = 0.0, sum2 = 0.0;
        for (std::size_t k = 1000; k < values.size(); ++k) {
            sum += values[k];
            sum2 += double{values[k]} * values[k];
        }
        const double mean = sum / n;
        const double i0 = 1e-3 * c.power + 1e-9 * c.dark_nA;
        const double b = 1e12 / (2.0 * zdctrl.ddelt);  // simulation bandwidth [Hz]
        const double expected = 2.0 * 1.6021892e-19 * c.gain * c.gain * std::pow(c.gain, c.exponent) * i0 * b;
        // A variance of n Gaussian samples deviates by sqrt(2 / n) = 0.3 %: 2 % is over six deviations.
        EXPECT_NEAR((sum2 / n - mean * mean) / expected, 1.0, 0.02) << c.gain;
        EXPECT_NEAR(mean, c.gain * i0, 5.0 * std::sqrt(expected / n));
    }
    // I0 = 6.245e-7 A puts the mean at half the noise deviation: a fraction Phi(-0.5) = 0.3085 would be
    // negative (binomial deviation 0.0033); they are clipped to exactly +0.
    in.ton = 0.0f;
    sig.x = {std::sqrt(6.245e-4f), 0.0f, f_vbs_band.fcenter};
    int zeros = 0;
    for (float v : run({1.0f, 1, 0.0f, 1.0f, 0.0f}, 20000)) {
        ASSERT_FALSE(std::signbit(v));
        zeros += v == 0.0f ? 1 : 0;
    }
    EXPECT_NEAR(zeros / 20000.0, 0.3085, 0.015);
}

TEST_F(PhotodiodeTest, StorageRequestsAndTheirWalkAcrossSamples) {
    // Two factors (4 x 2 + 8 bytes) in band; the generator's three reals and one integer (20 + 12) with shot noise.
    struct Case { std::int32_t iv, shot, setuponly, memused; };
    for (const Case& c : {Case{1, 0, 0, 16}, Case{1, 1, 0, 48}, Case{0, 1, 0, 32}, Case{0, 0, 0, 0}, Case{1, 1, 1, 0}}) {
        sig.iv = c.iv;
        testing::begin_counting_pass();
        optcl_ctrl.setuponly = c.setuponly;
        photod({1.0f, c.shot, 0.0f, 1.0f, 0.0f}, in, out, sig, cur);
        EXPECT_EQ(optcl_ctrl.memused, c.memused) << c.iv << c.shot << c.setuponly;
    }
    optcl_ctrl.setuponly = 0;
    sig.iv = 1;
    // Noisy photodiodes on an out-of-band signal and lit only at steps 21..30, then a noiseless one in band:
    // the last finds its own factors on every sample, whether the generator was drawn or passed over.
    OpticalSignal dark_sig = sig;
    dark_sig.iv = 0;
    const float dt = static_cast<float>(zdctrl.ddelt);
    const InputWindow late{19.5f * dt, 10.0f * dt};
    TimeWindow out2, out3;
    ElectricalSample cur2, cur3;
    for (std::int32_t s = 0; s <= 50; ++s) {
        s == 0 ? testing::begin_init_pass() : testing::begin_sample(s);
        photod({1.0f, 1, 0.0f, 1.0f, 0.0f}, in, out, dark_sig, cur);
        photod({1.0f, 1, 0.0f, 1.0f, 0.0f}, late, out2, sig, cur2);
        photod({2.0f, 0, 0.0f, 1.0f, 0.0f}, in, out3, sig, cur3);
        if (s == 0) continue;
        EXPECT_EQ(cur.value, 0.0f);
        EXPECT_EQ(cur2.value > 0.0f, s >= 21 && s <= 30) << "step " << s;
        EXPECT_FLOAT_EQ(cur3.value, 0.002f) << "step " << s;
    }
}

TEST_F(PhotodiodeTest, ImpossibleParametersAreReported) {
    testing::begin_init_pass();
    EXPECT_EQ(testing::stderr_of([&] {
                  photod({-1.0f, 0, -2.0f, 0.0f, 0.0f}, in, out, sig, cur);
                  photod({1.0f, 0, 0.0f, 1.0f, 0.0f}, in, out, sig, cur);
              }),
              "Nodrix-E-Photodiode: the responsivity must not be negative\n"
              "Nodrix-E-Photodiode: the dark current must not be negative\n"
              "Nodrix-E-Photodiode: the avalanche gain must be positive\n");
}

}  // namespace
}  // namespace nodrix
