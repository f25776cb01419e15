#include <vector>

#include "models/transmitters/nrz_driver.h"
#include "tests/models/measurements/run_harness.h"

namespace nodrix {
namespace {

using testing::stderr_of;
using NrzTest = testing::BlockTest;

// Drives the block with one bit per bit period and returns the samples.
std::vector<float> drive(const RecnrzParams& p, const std::vector<int>& bits) {
    ElectricalSample out;
    testing::begin_init_pass();
    recnrz(p, 0, out);
    std::vector<float> v;
    int k = 1;
    for (int b : bits)
        for (int j = 0; j < p.samples_per_bit; ++j, ++k) {
            testing::begin_sample(k);
            out = ElectricalSample{9.0f, 9.0f, 9.0f};
            recnrz(p, b, out);
            EXPECT_EQ(out.w2 + out.w3, 0.0f);
            v.push_back(out.value);
        }
    return v;
}

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

TEST_F(NrzTest, AdjustmentWarningsAndStorage) {
    ElectricalSample out;
    EXPECT_EQ(stderr_of([&] {
                  testing::begin_init_pass();
                  recnrz(RecnrzParams{10, -2.5f, 2.5f, 0.6f, 20.0f}, 0, out);
              }),
              "Nodrix-W-The crossing point has been adjusted\nNodrix-W-to:  33.3 percent\n");
    // The project's set-up (nohist 1) skips the initialisation entirely.
    EXPECT_EQ(stderr_of([&] {
                  testing::begin_counting_pass();
                  recnrz(RecnrzParams{10, -2.5f, 2.5f, 0.6f, 20.0f}, 0, out);
              }),
              "");
    EXPECT_EQ(optcl_ctrl.memused, 0);
    zzflmn.nohist = 0;
    EXPECT_EQ(stderr_of([&] { recnrz(RecnrzParams{10, -2.5f, 2.5f, 0.6f, 50.0f}, 0, out); }), "");
    EXPECT_EQ(optcl_ctrl.memused, (4 * 3 + 8) + (4 * 6 + 8));
}

TEST_F(NrzTest, RectangularPulsesAtRiseTimeZero) {
    const std::vector<float> v = drive(RecnrzParams{2, -2.5f, 2.5f, 0.0f, 50.0f}, {0, 1, 1, 0, 1});
    EXPECT_EQ(v, (std::vector<float>{-2.5f, -2.5f, 2.5f, 2.5f, 2.5f, 2.5f, -2.5f, -2.5f, 2.5f, 2.5f}));
}

TEST_F(NrzTest, EdgesDelayedToTheCrossingPoint) {
    // Crossing point 20 % with rise 0.6 becomes 1/3: T = 0.75 (7.5 samples),
    // slope 2/3 V per sample, the rising edge 2.5 samples late. The register
    // starts with both bits 1; each later bit takes the input at its first sample.
    const std::vector<float> v = drive(RecnrzParams{10, -2.5f, 2.5f, 0.6f, 20.0f}, {1, 0, 0, 1, 1});
    const float slope = 5.0f / 7.5f;
    for (int k = 1; k <= 10; ++k) {
        const float fall = k >= 8 ? -2.5f : 2.5f - static_cast<float>(k) * slope;
        const float rise = k <= 2 ? -2.5f : -2.5f + (static_cast<float>(k) - 2.5f) * slope;
        const float expect[5] = {2.5f, fall, -2.5f, rise, 2.5f};
        for (int b = 0; b < 5; ++b) EXPECT_NEAR(v[10 * b + k - 1], expect[b], 1e-5) << b << " " << k;
    }
    // The two edges meet at a third of the swing, 5 samples into the bit.
    EXPECT_NEAR(v[14], -2.5f + 5.0f / 3.0f, 1e-5);
    EXPECT_NEAR(v[34], -2.5f + 5.0f / 3.0f, 1e-5);
}

}  // namespace
}  // namespace nodrix
