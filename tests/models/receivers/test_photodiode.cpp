#include <cmath>
#include <string>
#include <vector>

#include "tests/models/measurements/run_harness.h"
#include "tests/support/block_bench.h"

namespace nodrix {
namespace {

struct Diode { float power_mw, dark_na, gain, exponent; };

class PhotodiodeTest : public testing::BlockTest {
protected:
    // A photodiode with shot noise on light of `d.power_mw` from `ton_ps`,
    // designed, set up and run for `n` samples; returns the currents.
    std::vector<float> currents(const Diode& d, float ton_ps, std::int32_t n) {
        testing::BlockBench bench("photodiode");
        bench.set("dark_current_na", d.dark_na).set("avalanche_gain", d.gain);
        bench.set("excess_noise_exponent", d.exponent);
        OpticalSignal& light = bench.input<OpticalSignal>("input");
        const ElectricalSample& out = bench.output<ElectricalSample>("output");
        light.iv = 1;
        light.x = {std::sqrt(d.power_mw), 0.0f, bench.context().band_centre()};
        bench.producer_window().ton = ton_ps;
        if (!bench.start().ok()) return {};
        std::vector<float> values;
        for (std::int32_t s = 1; s <= n; ++s) {
            bench.run(s);
            values.push_back(out.value);
        }
        return values;
    }
    double dt = testing::BlockBench("photodiode").context().time_step_double();
};

TEST_F(PhotodiodeTest, ShotNoiseVarianceIsTwoQM2FI0BAndNegativeCurrentsAreClipped) {
    const std::int32_t n = 200000;
    for (const Diode& d : {Diode{1.0f, 0.0f, 1.0f, 0.0f}, Diode{0.5f, 100.0f, 10.0f, 0.5f}}) {
        // Light from sample 1001; the generator is set up on the first sample all the same.
        const auto values = currents(d, 1000.0f * static_cast<float>(dt), n + 1000);
        ASSERT_EQ(values.size(), n + 1000u);
        for (std::size_t k = 0; k < 1000; ++k) ASSERT_EQ(values[k], 0.0f) << k;  // dark before the window
        double sum = 0.0, sum2 = 0.0;
        for (std::size_t k = 1000; k < values.size(); ++k) {
            sum += values[k];
            sum2 += double{values[k]} * values[k];
        }
        const double mean = sum / n;
        const double i0 = 1e-3 * d.power_mw + 1e-9 * d.dark_na;
        const double b = 1e12 / (2.0 * dt);  // simulation bandwidth [Hz]
        const double expected = 2.0 * 1.6021892e-19 * d.gain * d.gain * std::pow(d.gain, d.exponent) * i0 * b;
        // A variance of n Gaussian samples deviates by sqrt(2 / n) = 0.3 %: 2 % is over six deviations.
        EXPECT_NEAR((sum2 / n - mean * mean) / expected, 1.0, 0.02) << d.gain;
        EXPECT_NEAR(mean, d.gain * i0, 5.0 * std::sqrt(expected / n));
    }
    // I0 = 6.245e-7 A puts the mean at half the noise deviation: a fraction Phi(-0.5) = 0.3085 would be
    // negative (binomial deviation 0.0033); they are clipped to exactly +0.
    int zeros = 0;
    const auto values = currents(Diode{6.245e-4f, 0.0f, 1.0f, 0.0f}, 0.0f, 20000);
    ASSERT_EQ(values.size(), 20000u);
    for (float v : values) {
        ASSERT_FALSE(std::signbit(v));
        zeros += v == 0.0f ? 1 : 0;
    }
    EXPECT_NEAR(zeros / 20000.0, 0.3085, 0.015);
}

// Without shot noise the current is (R P + I_dark) M exactly; an input out of
// band holds no factors and gives no current.
TEST_F(PhotodiodeTest, NoiselessCurrentAndClaims) {
    struct Case { std::int32_t iv; float expected_a; std::int64_t bytes; };
    for (const Case& c : {Case{1, (0.001f * 0.8f * 2.0f + 1e-9f * 10.0f) * 3.0f, 16}, Case{0, 0.0f, 0}}) {
        testing::BlockBench bench("photodiode");
        bench.set("shot_noise", 0.0).set("responsivity_a_per_w", 0.8).set("dark_current_na", 10.0);
        bench.set("avalanche_gain", 3.0);
        OpticalSignal& light = bench.input<OpticalSignal>("input");
        const ElectricalSample& out = bench.output<ElectricalSample>("output");
        light.iv = c.iv;
        light.x = {0.6f, std::sqrt(2.0f - 0.36f), bench.context().band_centre()};
        ASSERT_TRUE(bench.start().ok());
        EXPECT_EQ(bench.block().claims().bytes(), c.bytes);
        bench.run(2);
        EXPECT_NEAR(out.value, c.expected_a, 1e-7f * c.expected_a) << c.iv;
    }
}

// The amplifier's thermal noise, referred to its input: white over the
// simulated band B = 1 / (2 dt), of variance i_th^2 B, there without light,
// not multiplied by the avalanche gain, negative as often as positive, and
// adding its variance to the shot noise's. Its generator's records are claimed
// only when it is on.
TEST_F(PhotodiodeTest, ThermalNoiseVarianceIsIth2BWhateverTheGainAndAddsToTheShotNoise) {
    struct Case { std::int32_t iv; bool shot; float gain, exponent, power_mw, density_pa; };
    const double b = 1e12 / (2.0 * dt);
    const double q = 1.6021892e-19;
    const std::int32_t n = 100000;
    for (const Case& c : {Case{0, false, 10.0f, 0.0f, 0.0f, 10.0f}, Case{1, true, 5.0f, 0.5f, 0.1f, 20.0f}}) {
        testing::BlockBench bench("photodiode");
        bench.set("shot_noise", c.shot ? 1.0 : 0.0).set("avalanche_gain", c.gain);
        bench.set("excess_noise_exponent", c.exponent).set("thermal_noise_pa_per_sqrt_hz", c.density_pa);
        OpticalSignal& light = bench.input<OpticalSignal>("input");
        const ElectricalSample& out = bench.output<ElectricalSample>("output");
        light.iv = c.iv;
        light.x = {std::sqrt(c.power_mw), 0.0f, bench.context().band_centre()};
        ASSERT_TRUE(bench.start().ok());
        // The factors (in band) and the shot noise's generator, then the thermal noise's.
        const std::int64_t generator = 4 * (3 + 2) + 4 * (1 + 2);
        EXPECT_EQ(bench.block().claims().bytes(), (c.iv != 0 ? 16 : 0) + (c.shot ? generator : 0) + generator);
        double sum = 0.0, sum2 = 0.0;
        int negative = 0;
        for (std::int32_t s = 1; s <= n; ++s) {
            bench.run(s);
            sum += out.value;
            sum2 += double{out.value} * out.value;
            negative += out.value < 0.0f ? 1 : 0;
        }
        const double i0 = 1e-3 * c.power_mw;
        const double thermal = std::pow(c.density_pa * 1e-12, 2) * b;
        const double shot = c.shot ? 2.0 * q * c.gain * c.gain * std::pow(c.gain, c.exponent) * i0 * b : 0.0;
        const double mean = sum / n;
        // 2 % is over four deviations sqrt(2 / n) of a sample variance.
        EXPECT_NEAR((sum2 / n - mean * mean) / (thermal + shot), 1.0, 0.02) << c.gain;
        EXPECT_NEAR(mean, c.gain * i0, 5.0 * std::sqrt((thermal + shot) / n)) << c.gain;
        if (c.iv == 0) {
            EXPECT_NEAR(negative / double(n), 0.5, 0.01);
        }
    }
}

}  // namespace
}  // namespace nodrix
