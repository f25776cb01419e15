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

}  // namespace
}  // namespace nodrix
