// The shared uniform streams and the complex Gaussian noise source of the
// amplifiers, against Schrage's recurrence written out here and against the
// Gaussian statistics the ASE needs.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "kernel/control_blocks.h"
#include "models/amplifiers/amplifier_noise.h"
#include "tests/models/amplifiers/amplifier_harness.h"
#include "tests/support/test_support.h"

namespace nodrix {
namespace {

constexpr std::int64_t kM = 2147483647;
constexpr std::int64_t kA[10] = {65539, 71335, 68771, 68773, 16807, 65539, 71335, 68771, 68773, 16807};

// Schrage's decomposition of a x mod m: m = a q + r, x = hi q + lo, then
// a lo - r hi plus m while negative (for the multipliers with r > q, such as
// 68771 with q = 31226 and r = 39801, once is not always enough).
std::int64_t schrage(std::int64_t a, std::int64_t x) {
    std::int64_t t = a * (x % (kM / a)) - (kM % a) * (x / (kM / a));
    while (t < 0) t += kM;
    return t;
}

float unit(std::int64_t x) { return float(x) * 4.656613e-10f; }

class AmplifierNoise : public testing::NodrixTest {
protected:
    void SetUp() override {
        NodrixTest::SetUp();
        testing::set_project_constants();
        reset_optrnd_streams();
    }
    // The initialisation call and the first sample of a run.
    static void first_sample(FieldSample& z1, FieldSample& z2) {
        testing::begin_run_init();
        wgn2an(193.61597f, z1, z2);
        testing::begin_sample(1);
        wgn2an(193.61597f, z1, z2);
    }
    // A pair from uniforms u (amplitude) and v (angle), deviation sqrt(0.5 / dt).
    static void expect_pair(const FieldSample& z, float u, float v) {
        const float a = std::sqrt(0.5f / zzctrl.delt) * std::sqrt(-2.0f * std::log(u));
        EXPECT_FLOAT_EQ(z.re, a * std::cos(2.0f * kPiF * v));
        EXPECT_FLOAT_EQ(z.im, a * std::sin(2.0f * kPiF * v));
        EXPECT_EQ(z.fcenter, 193.61597f);
    }
};

TEST_F(AmplifierNoise, StreamsFollowSchrage) {
    // Stream 5, seed 458, by hand: x = 2 * 458 - 1 = 915; 16807 * 915 = 15378405;
    // 16807 * 15378405 = 258464852835 = 120 * (2^31 - 1) + 766815195.
    EXPECT_EQ(optrnd_seed_state(5, 458), 915);
    EXPECT_EQ(optrnd(5, 1, 458), unit(15378405));
    EXPECT_EQ(optrnd(5, 2, 458), unit(766815195));
    for (int k = 1; k <= 10; ++k) {
        const std::int32_t seed = 100 * k + 7;
        std::int64_t x = 2 * seed - 1;
        for (int c = 1; c <= 2000; ++c) ASSERT_EQ(optrnd(k, c, seed), unit(x = schrage(kA[k - 1], x))) << k << " " << c;
    }
}

TEST_F(AmplifierNoise, ReseedOnlyOnFirstCallAtCounterOneAndSeedStates) {
    const float first = optrnd(3, 1, 11);
    EXPECT_EQ(optrnd(3, 1, 11), unit(schrage(68771, schrage(68771, 21))));  // counter 1 again: the stream goes on
    optrnd(3, 2, 11);  // a later counter re-arms the stream
    EXPECT_EQ(optrnd(3, 1, 11), first);  // next run: reseeded
    EXPECT_EQ(optrnd(4, 5, 11), unit(schrage(68773, 21)));  // another stream is untouched
    const std::int32_t cases[][3] = {
        {5, 1, 3173}, {6, 1, 1234},  // 2 seed - 1 = 1 is replaced
        {2, 0, 2147483646},          // -1 taken modulo 2^31 - 1
        {3, 1073741824, 3173},       // 2 seed - 1 = 2^31 - 1 would stay at 0 for ever
        {7, 349, 697},
    };
    for (const auto& c : cases) EXPECT_EQ(optrnd_seed_state(c[0], c[1]), c[2]) << c[0] << " " << c[1];
    reset_optrnd_streams();
    EXPECT_EQ(optrnd(3, 1, 1073741824), unit(schrage(68771, 3173)));
}

TEST_F(AmplifierNoise, FirstSampleByHand) {
    // itop1 = 1: streams 5, 6, 7, 8 seeded with 1 + seeds 457, 565, 942, 313.
    FieldSample z1, z2;
    first_sample(z1, z2);
    expect_pair(z1, unit(schrage(16807, 2 * 458 - 1)), unit(schrage(65539, 2 * 566 - 1)));
    expect_pair(z2, unit(schrage(71335, 2 * 943 - 1)), unit(schrage(68771, 2 * 314 - 1)));
}

TEST_F(AmplifierNoise, UniformOfExactlyOneIsSkipped) {
    // 16807 x0 mod (2^31 - 1) = 2^31 - 2, which rounds to 2^31 in single
    // precision: the first uniform of stream 5 is exactly 1.
    const std::int64_t x0 = 739806647;
    ASSERT_EQ(unit(schrage(16807, x0)), 1.0f);
    seeds[4] = std::int32_t((x0 + 1) / 2) - inftop.itop1;  // stream 5 is the first stream of wgn2an
    FieldSample z1, z2;
    first_sample(z1, z2);
    // Stream 5 goes on to its next draw; stream 6 is seeded on its first use.
    expect_pair(z1, unit(schrage(16807, schrage(16807, x0))), unit(schrage(65539, 2 * 566 - 1)));
}

TEST_F(AmplifierNoise, ComponentVarianceIsHalfOverDt) {
    FieldSample z1, z2;
    testing::begin_run_init();
    wgn2an(193.61597f, z1, z2);
    const int m = 100000;
    double sum[4] = {}, sq[4] = {};
    for (int k = 1; k <= m; ++k) {
        testing::begin_sample(k);
        wgn2an(193.61597f, z1, z2);
        const double v[4] = {z1.re, z1.im, z2.re, z2.im};
        for (int j = 0; j < 4; ++j) {
            sum[j] += v[j];
            sq[j] += v[j] * v[j];
        }
    }
    const double var = 0.5 / zzctrl.delt;
    for (int j = 0; j < 4; ++j) {
        EXPECT_NEAR(sum[j] / m, 0.0, 5.0 * std::sqrt(var / m)) << j;
        // Standard error of a Gaussian variance estimate: var sqrt(2 / m).
        EXPECT_NEAR(sq[j] / m - std::pow(sum[j] / m, 2), var, 5.0 * var * std::sqrt(2.0 / m)) << j;
    }
}

}  // namespace
}  // namespace nodrix
