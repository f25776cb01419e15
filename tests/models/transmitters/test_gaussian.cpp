#include <cmath>
#include <cstdint>
#include <vector>

#include "kernel/control_blocks.h"
#include "models/transmitters/gaussian.h"
#include "tests/models/transmitters/sample_harness.h"

namespace nodrix {
namespace {

using testing::begin_run;
using testing::begin_sample;

class GaussianTest : public testing::NodrixTest {
protected:
    void SetUp() override {
        NodrixTest::SetUp();
        testing::set_project_constants();
        reset_uniform_generators();
    }
};

constexpr std::int64_t kModulus = 2147483647;

TEST_F(GaussianTest, RecurrenceIsMultiplicationBy65539ModuloTheMersennePrime) {
    // The step's division into quotient and remainder avoids overflow; it
    // must agree with a 64-bit multiplication modulo 2^31 - 1.
    const std::int32_t states[] = {1, 2, 915, 3173, 32766, 32767, 32768, 65539, 1073741823, 2147483646, 2147418110};
    for (std::int32_t x : states)
        EXPECT_EQ(tsrn_step(x), static_cast<std::int32_t>(65539LL * x % kModulus)) << x;
    // Seed states outside 1 .. 2^31 - 2 follow the quotient-remainder steps
    // with 32-bit wrap-around: 2 x 0 - 1 = -1 gives 2147418110 (hand-worked:
    // q = 0, r = -1, A = -65539, B = -2147483647, C = A - 2147483647 wraps to
    // 2147418110 >= 0, x = B + C = -65537, plus 2147483647).
    EXPECT_EQ(tsrn_step(-1), 2147418110);
    EXPECT_EQ(tsrn_step(0), 0);
    std::int32_t x = 12345;
    for (int k = 0; k < 100000; ++k) {
        const auto expected = static_cast<std::int32_t>(65539LL * x % kModulus);
        ASSERT_EQ(tsrn_step(x), expected) << k;
        x = expected;
    }
}

TEST_F(GaussianTest, SeedStates) {
    EXPECT_EQ(tsrn_seed_state(458), 915);
    EXPECT_EQ(tsrn_seed_state(1), 3173);  // 2 x 1 - 1 = 1 is replaced
    EXPECT_EQ(tsrn_seed_state(2), 3);
    // 2 x 2^30 - 1 is the modulus itself: the state would stay 0 for ever.
    EXPECT_EQ(tsrn_seed_state(1073741824), 3173);
}

TEST_F(GaussianTest, FirstValuesAfterSeedingAndTheOneReseedAtStepOne) {
    // Seed 458: state 915, then 65539 x 915 mod (2^31 - 1) = 59968185,
    // 65539 x 59968185 mod (2^31 - 1) = 359802705, then 1739038935.
    const float u[] = {59968185.0f * 4.656613e-10f, 359802705.0f * 4.656613e-10f, 1739038935.0f * 4.656613e-10f};
    zzctrl.step = 0;
    EXPECT_EQ(tsrn01(458), u[0]);
    EXPECT_EQ(tsrn01(458), u[1]);
    EXPECT_EQ(tsrn01(999), u[2]);  // the seed only matters when seeding
    zzctrl.step = 1;                // first sample of a run: seeded again, once
    EXPECT_EQ(tsrn01(458), u[0]);
    EXPECT_EQ(tsrn01(458), u[1]);
    zzctrl.step = 2;
    EXPECT_EQ(tsrn01(458), u[2]);
    zzctrl.step = 1;  // a new run
    EXPECT_EQ(tsrn01(458), u[0]);
    // The copies keep their own states.
    zzctrl.step = 5;
    EXPECT_EQ(tsrn03(458), u[0]);
    EXPECT_EQ(tsrn01(458), u[1]);
    EXPECT_EQ(tsrn03(2), u[1]);
}

TEST_F(GaussianTest, BoxMullerPairsFromTheRunSeed) {
    // Seed: itop1 + seed word (4 itop1 mod 10) + 1 = 1 + 457 = 458.
    begin_run();
    ElectricalSample out{9.0f, 9.0f, 9.0f};
    gausrr(0.5f, 2.0f, out);
    EXPECT_EQ(out.value, 0.0f);  // set-up: zero, no number drawn
    std::vector<float> u;
    for (std::int64_t x = 915, k = 0; k < 4; ++k) {
        x = 65539 * x % kModulus;
        u.push_back(static_cast<float>(x) * 4.656613e-10f);
    }
    auto rho = [](float u1) { return std::sqrt(-2.0f * std::log(u1)); };
    begin_sample(1);
    gausrr(0.5f, 2.0f, out);
    EXPECT_FLOAT_EQ(out.value, rho(u[0]) * std::cos(6.2831855f * u[1]) * 2.0f + 0.5f);
    EXPECT_EQ(out.w2, 0.0f);
    EXPECT_EQ(out.w3, 0.0f);
    // The second of the pair uses the mean and deviation kept at the first
    // run call, whatever the arguments.
    begin_sample(2);
    gausrr(100.0f, 7.0f, out);
    EXPECT_FLOAT_EQ(out.value, rho(u[0]) * std::sin(6.2831855f * u[1]) * 2.0f + 0.5f);
    // A new pair uses the current arguments.
    begin_sample(3);
    gausrr(-1.0f, 3.0f, out);
    EXPECT_FLOAT_EQ(out.value, rho(u[2]) * std::cos(6.2831855f * u[3]) * 3.0f - 1.0f);
}

TEST_F(GaussianTest, StatisticsAndStorageCounts) {
    begin_run();
    ElectricalSample out;
    gausrr(1.0f, 0.5f, out);
    const int n = 40000;
    double sum = 0.0;
    double sum2 = 0.0;
    for (int k = 1; k <= n; ++k) {
        begin_sample(k);
        gausrr(1.0f, 0.5f, out);
        sum += out.value;
        sum2 += static_cast<double>(out.value) * out.value;
    }
    const double mean = sum / n;
    const double var = sum2 / n - mean * mean;
    EXPECT_NEAR(mean, 1.0, 4.0 * 0.5 / std::sqrt(n));
    EXPECT_NEAR(var, 0.25, 4.0 * 0.25 * std::sqrt(2.0 / n));

    // Counting: three reals and one integer per call.
    testing::begin_counting();
    gausrr(0.0f, 1.0f, out);
    EXPECT_EQ(optcl_ctrl.memused, (4 * 3 + 8) + (4 * 1 + 8));
    EXPECT_EQ(zzmax.h, 5);
    EXPECT_EQ(zzmax.i, 3);
}

TEST_F(GaussianTest, AnyTopologyWordSelectsOneOfTheSeeds) {
    inftop.itop1 = -3;  // (4 x -3) mod 10 taken as 8: seed word 9 (583), seed 580
    begin_run();
    ElectricalSample out;
    gausrr(0.0f, 1.0f, out);
    begin_sample(1);
    gausrr(0.0f, 1.0f, out);
    reset_uniform_generators();
    zzctrl.step = 1;
    const float u1 = tsrn01(580);
    const float u2 = tsrn01(580);
    EXPECT_FLOAT_EQ(out.value, std::sqrt(-2.0f * std::log(u1)) * std::cos(6.2831855f * u2));
}

TEST_F(GaussianTest, StuckGeneratorDoesNotHang) {
    // Seed -766949083: state -1533898167, whose step (quotient -46812,
    // remainder -9363, wrap-around sums) is 0, a fixed point.
    ASSERT_EQ(tsrn_seed_state(-766949083), -1533898167);
    ASSERT_EQ(tsrn_step(-1533898167), 0);
    seeds[4] = -766949084;  // itop1 1: seed 1 + word 5
    begin_run();
    ElectricalSample out;
    gausrr(0.0f, 1.0f, out);
    begin_sample(1);
    gausrr(0.25f, 2.0f, out);
    // Both uniforms fall back to 0.5: rho = sqrt(2 ln 2), angle pi.
    EXPECT_FLOAT_EQ(out.value, std::sqrt(-2.0f * std::log(0.5f)) * std::cos(6.2831855f * 0.5f) * 2.0f + 0.25f);
}

}  // namespace
}  // namespace nodrix
