#include <vector>

#include "models/transmitters/nrz_driver.h"
#include "tests/models/measurements/run_harness.h"
#include "tests/support/block_bench.h"

namespace nodrix {
namespace {

using NrzTest = testing::BlockTest;

TEST_F(NrzTest, ShapeLevelsCrossingAndOffsets) {
    struct Case { RecnrzParams p; float lower, upper, crossing, rise_offset, fall_offset, slope; bool adjusted; };
    const Case cases[] = {
        // T = 0.75: the crossing point must lie in [1/3, 2/3].
        {{10, -2.5f, 2.5f, 0.6f, 20.0f}, -2.5f, 2.5f, 1.0f / 3.0f, 2.5f, 0.0f, 5.0f / 7.5f, true},
        {{10, -2.5f, 2.5f, 0.6f, 80.0f}, -2.5f, 2.5f, 2.0f / 3.0f, 0.0f, 2.5f, 5.0f / 7.5f, true},
        {{10, -2.5f, 2.5f, 0.6f, 50.0f}, -2.5f, 2.5f, 0.5f, 0.0f, 0.0f, 5.0f / 7.5f, false},
        {{10, -2.5f, 2.5f, 0.6f, 40.0f}, -2.5f, 2.5f, 0.4f, 1.5f, 0.0f, 5.0f / 7.5f, false},
        // T = 0.25: any crossing point in [0, 1] is reachable; offset (1 - 2c) N T.
        {{20, 0.0f, 1.0f, 0.2f, 20.0f}, 0.0f, 1.0f, 0.2f, 3.0f, 0.0f, 0.2f, false},
        // Exchanged levels mirror the crossing point: 30 % becomes 70 %.
        {{10, 2.5f, -2.5f, 0.4f, 30.0f}, -2.5f, 2.5f, 0.7f, 0.0f, 2.0f, 1.0f, false},
        // No edges: the crossing point is only mirrored.
        {{10, 1.0f, -1.0f, 0.0f, 20.0f}, -1.0f, 1.0f, 0.8f, 0.0f, 0.0f, 0.0f, false},
        {{0, -1.0f, 1.0f, 0.5f, 20.0f}, -1.0f, 1.0f, 0.2f, 0.0f, 0.0f, 0.0f, false},
    };
    for (const Case& c : cases) {
        const NrzShape s = nrz_shape(c.p);
        EXPECT_EQ(s.lower, c.lower);
        EXPECT_EQ(s.upper, c.upper);
        EXPECT_NEAR(s.crossing, c.crossing, 1e-6);
        EXPECT_NEAR(s.rise_offset, c.rise_offset, 1e-5) << c.p.crossing_point;
        EXPECT_NEAR(s.fall_offset, c.fall_offset, 1e-5) << c.p.crossing_point;
        EXPECT_NEAR(s.slope, c.slope, 1e-6);
        EXPECT_EQ(s.adjusted, c.adjusted);
    }
}

// The drive voltage for bits 0 0 1 (one per sample) of a driver with 4
// samples per bit between 0 and 1 V.
std::vector<float> drive(double rise_time_bits) {
    testing::BlockBench bench("nrz_driver");
    bench.set("samples_per_bit", 4).set("low_level_v", 0.0).set("high_level_v", 1.0);
    bench.set("rise_time_bits", rise_time_bits);
    LogicalSignal& bits = bench.input<LogicalSignal>("input");
    const ElectricalSample& out = bench.output<ElectricalSample>("output");
    bench.context().enter_round(SetupRound::state);
    EXPECT_TRUE(bench.start().ok());
    std::vector<float> values;
    for (std::int32_t step = 1; step <= 12; ++step) {
        bits[0] = step > 8 ? 1 : 0;
        bench.run(step);
        values.push_back(out.value);
    }
    return values;
}

TEST_F(NrzTest, DriveFollowsTheBits) {
    // Rectangular pulses follow the bit at once.
    EXPECT_EQ(drive(0.0), (std::vector<float>{0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1}));
    // Edges of T = 1.25 x 0.4 bits, 0.5 V per sample, from the second bit
    // period on: the state starts with a 1 bit.
    EXPECT_EQ(drive(0.4), (std::vector<float>{1, 1, 1, 1, 0.5f, 0, 0, 0, 0.5f, 1, 1, 1}));
}

}  // namespace
}  // namespace nodrix
