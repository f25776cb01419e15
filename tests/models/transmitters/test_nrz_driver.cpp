#include <vector>

#include "models/transmitters/nrz_driver.h"
#include "tests/models/measurements/run_harness.h"

namespace nodrix {
namespace {

using NrzTest = testing::BlockTest;

TEST_F(NrzTest, ShapeLevelsCrossingAndOffsets) {
    struct Case {
        RecnrzParams p;
        float lower, upper, crossing, rise_offset, fall_offset, slope;
        bool adjusted;
    };
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

}  // namespace
}  // namespace nodrix
