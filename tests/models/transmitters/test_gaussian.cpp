#include <cmath>
#include <cstdint>
#include <vector>

#include "models/transmitters/gaussian.h"
#include "tests/models/measurements/run_harness.h"

namespace nodrix {
namespace {

using testing::begin_init_pass;
using testing::begin_sample;
using GaussianTest = testing::BlockTest;

constexpr std::int64_t kModulus = 2147483647;
std::int32_t times_65539(std::int64_t x) { return static_cast<std::int32_t>(65539 * x % kModulus); }
float uniform_of(std::int64_t state) { return static_cast<float>(state) * 4.656613e-10f; }

TEST_F(GaussianTest, RecurrenceIsMultiplicationBy65539ModuloTheMersennePrime) {
    for (std::int32_t x : {1, 32766, 32767, 32768, 1073741823, 2147483646}) EXPECT_EQ(tsrn_step(x), times_65539(x)) << x;
    std::int32_t x = 12345;
    for (int k = 0; k < 100000; ++k, x = times_65539(x)) ASSERT_EQ(tsrn_step(x), times_65539(x)) << k;
    // Outside 1 .. 2^31 - 2 the quotient-remainder steps wrap in 32 bits; for -1: q 0, r -1, A -65539,
    // B -2147483647, C wraps to 2147418110, B + C = -65537, plus 2^31 - 1.
    EXPECT_EQ(tsrn_step(-1), 2147418110);
    EXPECT_EQ(tsrn_step(0), 0);
    EXPECT_EQ(tsrn_seed_state(458), 915);
    EXPECT_EQ(tsrn_seed_state(1), 3173);  // 2 x 1 - 1 = 1 is replaced
    EXPECT_EQ(tsrn_seed_state(1073741824), 3173);  // 2 x 2^30 - 1 is the modulus: stuck at 0
}

// The first value of a run: set-up call, then sample 1.
float first_value(float mean, float deviation) {
    ElectricalSample out;
    begin_init_pass();
    gausrr(0.0f, 1.0f, out);
    begin_sample(1);
    gausrr(mean, deviation, out);
    return out.value;
}

TEST_F(GaussianTest, AnyTopologyWordSelectsASeedAndAStuckGeneratorDoesNotHang) {
    inftop.itop1 = -3;  // (4 x -3) mod 10 taken as 8: seed word 9 (583), seed 580
    const std::int64_t s1 = times_65539(2 * 580 - 1);
    EXPECT_FLOAT_EQ(first_value(0.0f, 1.0f), std::sqrt(-2.0f * std::log(uniform_of(s1))) * std::cos(6.2831855f * uniform_of(times_65539(s1))));
    // Seed -766949083: state -1533898167, whose wrap-around step is 0, a fixed point. Both uniforms fall
    // back to 0.5: rho = sqrt(2 ln 2), angle pi.
    ASSERT_EQ(tsrn_step(tsrn_seed_state(-766949083)), 0);
    inftop.itop1 = 1;
    reset_uniform_generators();
    seeds[4] = -766949084;  // itop1 1: seed 1 + word 5
    EXPECT_FLOAT_EQ(first_value(0.25f, 2.0f), -std::sqrt(2.0f * std::log(2.0f)) * 2.0f + 0.25f);
}

// The generator a declared block owns gives gausrr's numbers, sample for
// sample (every third sample drawn without a value, as gausrr_draws does),
// and its records count as gausrr's look-ups do.
TEST_F(GaussianTest, TheSourceOfADeclaredBlockGivesTheRoutinesNumbers) {
    std::vector<float> legacy;
    ElectricalSample out;
    begin_init_pass();
    gausrr(0.0f, 1.0f, out);
    for (std::int32_t step = 1; step <= 9; ++step) {
        begin_sample(step);
        if (step % 3 == 0) {
            gausrr_draws();
            continue;
        }
        gausrr(0.5f, 2.0f, out);
        legacy.push_back(out.value);
    }
    reset_uniform_generators();
    RunContext run{SimulationSettings{}};
    GaussianSource source;
    StateClaims claims;
    source.claim(claims);
    EXPECT_EQ(claims.bytes(), 4 * (3 + 2) + 4 * (1 + 2));
    claims.allocate();
    std::size_t drawn = 0;
    for (std::int32_t step = 1; step <= 9; ++step) {
        run.enter_sample(step);
        if (step % 3 == 0)
            source.draw_only(run);
        else
            EXPECT_EQ(source.draw(run, 0.5f, 2.0f), legacy[drawn++]) << step;
    }
}

}  // namespace
}  // namespace nodrix
