// The shared uniform streams and the complex Gaussian noise source of the
// amplifiers, against Schrage's recurrence written out here and against the
// Gaussian statistics the ASE needs.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "kernel/control_blocks.h"
#include "kernel/storage.h"
#include "models/amplifiers/amplifier_noise.h"
#include "tests/models/amplifiers/amplifier_harness.h"
#include "tests/support/test_support.h"

namespace nodrix {
namespace {

using testing::begin_run_init;
using testing::begin_sample;

constexpr std::int64_t kM = 2147483647;
constexpr std::int64_t kA[10] = {65539, 71335, 68771, 68773, 16807, 65539, 71335, 68771, 68773, 16807};

// Schrage's decomposition of a x mod m: m = a q + r, x = hi q + lo, then
// a lo - r hi plus m while negative (for the multipliers with r > q, such as
// 68771 with q = 31226 and r = 39801, once is not always enough).
std::int64_t schrage(std::int64_t a, std::int64_t x) {
    const std::int64_t q = kM / a;
    const std::int64_t r = kM % a;
    std::int64_t t = a * (x % q) - r * (x / q);
    while (t < 0) t += kM;
    return t;
}

float unit(std::int64_t x) { return static_cast<float>(x) * 4.656613e-10f; }

std::int64_t power_mod(std::int64_t b, std::int64_t e) {
    std::int64_t r = 1;
    b %= kM;
    while (e > 0) {
        if (e & 1) r = r * b % kM;
        b = b * b % kM;
        e >>= 1;
    }
    return r;
}

class AmplifierNoise : public testing::NodrixTest {
protected:
    void SetUp() override {
        NodrixTest::SetUp();
        testing::set_project_constants();
        reset_optrnd_streams();
    }
};

TEST_F(AmplifierNoise, StreamFiveByHand) {
    // Seed 458: x = 2 * 458 - 1 = 915; 16807 * 915 = 15378405;
    // 16807 * 15378405 = 258464852835 = 120 * (2^31 - 1) + 766815195.
    EXPECT_EQ(optrnd_seed_state(5, 458), 915);
    EXPECT_EQ(optrnd(5, 1, 458), static_cast<float>(15378405) * 4.656613e-10f);
    EXPECT_EQ(optrnd(5, 2, 458), static_cast<float>(766815195) * 4.656613e-10f);
    EXPECT_NEAR(unit(15378405), 0.0071611, 1e-7);
}

TEST_F(AmplifierNoise, EveryStreamFollowsSchrage) {
    for (int k = 1; k <= 10; ++k) {
        const std::int32_t seed = 100 * k + 7;
        std::int64_t x = 2 * seed - 1;
        for (int c = 1; c <= 2000; ++c) {
            x = schrage(kA[k - 1], x);
            ASSERT_EQ(optrnd(k, c, seed), unit(x)) << "stream " << k << " draw " << c;
        }
    }
}

TEST_F(AmplifierNoise, ReseedOnlyOnFirstCallAtCounterOne) {
    const float first = optrnd(3, 1, 11);
    const float second = optrnd(3, 1, 11);  // same counter 1: the stream goes on
    EXPECT_NE(first, second);
    EXPECT_EQ(second, unit(schrage(68771, schrage(68771, 21))));
    optrnd(3, 2, 11);  // a later counter re-arms the stream
    EXPECT_EQ(optrnd(3, 1, 11), first);  // next run: reseeded
    // Another stream is untouched by all this.
    EXPECT_EQ(optrnd(4, 5, 11), unit(schrage(68773, 21)));
}

TEST_F(AmplifierNoise, SeedStates) {
    struct Case {
        std::int32_t stream, seed, state;
    } cases[] = {
        {5, 1, 3173}, {6, 1, 1234},  // 2 seed - 1 = 1 is replaced
        {2, 0, 2147483646},          // -1 taken modulo 2^31 - 1
        {3, 1073741824, 3173},       // 2 seed - 1 = 2^31 - 1 would stay at 0 for ever
        {7, 349, 697},
    };
    for (const Case& c : cases) EXPECT_EQ(optrnd_seed_state(c.stream, c.seed), c.state) << c.stream << " " << c.seed;
    // The degenerate seed still gives numbers strictly inside (0, 1).
    const float u = optrnd(3, 1, 1073741824);
    EXPECT_EQ(u, unit(schrage(68771, 3173)));
}

TEST_F(AmplifierNoise, FirstSampleByHand) {
    begin_run_init();
    FieldSample z1;
    FieldSample z2;
    wgn2an(193.61597f, z1, z2);
    begin_sample(1);
    wgn2an(193.61597f, z1, z2);
    // itop1 = 1: streams 5, 6, 7, 8 seeded with 1 + seeds 457, 565, 942, 313.
    const float u1 = unit(schrage(16807, 2 * 458 - 1));
    const float u2 = unit(schrage(65539, 2 * 566 - 1));
    const float u3 = unit(schrage(71335, 2 * 943 - 1));
    const float u4 = unit(schrage(68771, 2 * 314 - 1));
    const float s = std::sqrt(0.5f / zzctrl.delt);
    const float a1 = s * std::sqrt(-2.0f * std::log(u1));
    const float a2 = s * std::sqrt(-2.0f * std::log(u3));
    EXPECT_FLOAT_EQ(z1.re, a1 * std::cos(2.0f * kPiF * u2));
    EXPECT_FLOAT_EQ(z1.im, a1 * std::sin(2.0f * kPiF * u2));
    EXPECT_FLOAT_EQ(z2.re, a2 * std::cos(2.0f * kPiF * u4));
    EXPECT_FLOAT_EQ(z2.im, a2 * std::sin(2.0f * kPiF * u4));
    EXPECT_EQ(z1.fcenter, 193.61597f);
    EXPECT_EQ(z2.fcenter, 193.61597f);
}

TEST_F(AmplifierNoise, ComponentVarianceIsHalfOverDt) {
    begin_run_init();
    FieldSample z1;
    FieldSample z2;
    wgn2an(193.61597f, z1, z2);
    const int m = 100000;
    double sum[4] = {};
    double sq[4] = {};
    for (int k = 1; k <= m; ++k) {
        begin_sample(k);
        wgn2an(193.61597f, z1, z2);
        const double v[4] = {z1.re, z1.im, z2.re, z2.im};
        for (int j = 0; j < 4; ++j) {
            sum[j] += v[j];
            sq[j] += v[j] * v[j];
        }
    }
    const double var = 0.5 / zzctrl.delt;
    for (int j = 0; j < 4; ++j) {
        const double mean = sum[j] / m;
        EXPECT_NEAR(mean, 0.0, 5.0 * std::sqrt(var / m)) << j;
        // Standard error of a Gaussian variance estimate: var sqrt(2 / m).
        EXPECT_NEAR(sq[j] / m - mean * mean, var, 5.0 * var * std::sqrt(2.0 / m)) << j;
    }
}

TEST_F(AmplifierNoise, UniformOfExactlyOneIsSkipped) {
    // A seed whose first draw on stream 5 is 2^31 - 2, which rounds to 2^31 in
    // single precision: the uniform is exactly 1.
    const std::int64_t inverse = power_mod(16807, kM - 2);
    std::int64_t x0 = 0;
    for (std::int64_t target = kM - 1; target > kM - 60; --target) {
        x0 = target * inverse % kM;
        if (x0 % 2 == 1 && x0 > 1) break;
    }
    ASSERT_EQ(x0 % 2, 1);
    const std::int32_t seed = static_cast<std::int32_t>((x0 + 1) / 2);
    ASSERT_EQ(unit(schrage(16807, x0)), 1.0f);
    seeds[4] = seed - inftop.itop1;  // stream 5 is the first stream of wgn2an

    begin_run_init();
    FieldSample z1;
    FieldSample z2;
    wgn2an(193.61597f, z1, z2);
    begin_sample(1);
    wgn2an(193.61597f, z1, z2);
    // The counter moved on to 2 after the rejected draw: stream 5 continues,
    // the other streams are seeded on their first use whatever the counter.
    const float u1 = unit(schrage(16807, schrage(16807, x0)));
    const float u2 = unit(schrage(65539, 2 * 566 - 1));
    const float s = std::sqrt(0.5f / zzctrl.delt);
    const float a1 = s * std::sqrt(-2.0f * std::log(u1));
    EXPECT_TRUE(std::isfinite(z1.re));
    EXPECT_FLOAT_EQ(z1.re, a1 * std::cos(2.0f * kPiF * u2));
    EXPECT_FLOAT_EQ(z1.im, a1 * std::sin(2.0f * kPiF * u2));
}

}  // namespace
}  // namespace nodrix
