#include <string>
#include <vector>

#include "kernel/control_blocks.h"
#include "models/transmitters/nrz_driver.h"
#include "tests/models/transmitters/sample_harness.h"

namespace nodrix {
namespace {

using testing::begin_run;
using testing::begin_sample;

class NrzTest : public testing::NodrixTest {
protected:
    void SetUp() override {
        NodrixTest::SetUp();
        testing::set_project_constants();
    }
};

RecnrzParams params(int n, float low, float high, float rise, float crossing) {
    RecnrzParams p;
    p.samples_per_bit = n;
    p.low_level = low;
    p.high_level = high;
    p.rise_time = rise;
    p.crossing_point = crossing;
    return p;
}

// Drives the block with one bit per bit period and returns the samples.
std::vector<float> drive(const RecnrzParams& p, const std::vector<int>& bits) {
    ElectricalSample out;
    begin_run();
    recnrz(p, 0, out);
    std::vector<float> v;
    int k = 1;
    for (int b : bits)
        for (int j = 0; j < p.samples_per_bit; ++j, ++k) {
            begin_sample(k);
            out = ElectricalSample{9.0f, 9.0f, 9.0f};
            recnrz(p, b, out);
            EXPECT_EQ(out.w2, 0.0f);
            EXPECT_EQ(out.w3, 0.0f);
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
        {params(10, -2.5f, 2.5f, 0.6f, 20.0f), -2.5f, 2.5f, 1.0f / 3.0f, 2.5f, 0.0f, 5.0f / 7.5f, true},
        {params(10, -2.5f, 2.5f, 0.6f, 80.0f), -2.5f, 2.5f, 2.0f / 3.0f, 0.0f, 2.5f, 5.0f / 7.5f, true},
        {params(10, -2.5f, 2.5f, 0.6f, 50.0f), -2.5f, 2.5f, 0.5f, 0.0f, 0.0f, 5.0f / 7.5f, false},
        {params(10, -2.5f, 2.5f, 0.6f, 40.0f), -2.5f, 2.5f, 0.4f, 1.5f, 0.0f, 5.0f / 7.5f, false},
        // T = 0.25: any crossing point in [0, 1] is reachable; offset (1 - 2c) N T.
        {params(20, 0.0f, 1.0f, 0.2f, 20.0f), 0.0f, 1.0f, 0.2f, 3.0f, 0.0f, 0.2f, false},
        // Exchanged levels mirror the crossing point: 30 % becomes 70 %.
        {params(10, 2.5f, -2.5f, 0.4f, 30.0f), -2.5f, 2.5f, 0.7f, 0.0f, 2.0f, 1.0f, false},
        // No edges: the crossing point is only mirrored.
        {params(10, 1.0f, -1.0f, 0.0f, 20.0f), -1.0f, 1.0f, 0.8f, 0.0f, 0.0f, 0.0f, false},
        {params(0, -1.0f, 1.0f, 0.5f, 20.0f), -1.0f, 1.0f, 0.2f, 0.0f, 0.0f, 0.0f, false},
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

TEST_F(NrzTest, AdjustmentWarnings) {
    ElectricalSample out;
    ::testing::internal::CaptureStderr();
    begin_run();
    recnrz(params(10, -2.5f, 2.5f, 0.6f, 20.0f), 0, out);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Nodrix-W-The crossing point has been adjusted\nNodrix-W-to:  33.3 percent\n");
    ::testing::internal::CaptureStderr();
    begin_run();
    recnrz(params(10, -2.5f, 2.5f, 0.6f, 50.0f), 0, out);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    // The project's set-up (nohist 1) skips the initialisation entirely.
    ::testing::internal::CaptureStderr();
    testing::begin_counting();
    recnrz(params(10, -2.5f, 2.5f, 0.6f, 20.0f), 0, out);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(optcl_ctrl.memused, 0);
    zzflmn.nohist = 0;
    recnrz(params(10, -2.5f, 2.5f, 0.6f, 50.0f), 0, out);
    EXPECT_EQ(optcl_ctrl.memused, (4 * 3 + 8) + (4 * 6 + 8));
}

TEST_F(NrzTest, RectangularPulsesAtRiseTimeZero) {
    const std::vector<float> v = drive(params(4, -2.5f, 2.5f, 0.0f, 50.0f), {0, 1, 1, 0, 1});
    const std::vector<float> expect = {-2.5f, -2.5f, -2.5f, -2.5f, 2.5f, 2.5f, 2.5f, 2.5f, 2.5f, 2.5f,
                                       2.5f,  2.5f,  -2.5f, -2.5f, -2.5f, -2.5f, 2.5f, 2.5f, 2.5f, 2.5f};
    EXPECT_EQ(v, expect);
}

TEST_F(NrzTest, EdgesDelayedToTheCrossingPoint) {
    // N = 10, rise 0.4: T = 0.5, edges of 5 samples, slope 1 V per sample.
    // The register starts with both bits 1 (first bit period at the upper
    // level); each later bit takes the input at its first sample.
    {
        const std::vector<float> v = drive(params(10, -2.5f, 2.5f, 0.4f, 50.0f), {1, 0, 0, 1, 1});
        std::vector<float> expect(10, 2.5f);
        for (int k = 1; k <= 10; ++k) expect.push_back(k >= 6 ? -2.5f : 2.5f - static_cast<float>(k));  // falling
        for (int k = 1; k <= 10; ++k) expect.push_back(-2.5f);                                           // steady 0
        for (int k = 1; k <= 10; ++k) expect.push_back(k >= 6 ? 2.5f : -2.5f + static_cast<float>(k));  // rising
        for (int k = 1; k <= 10; ++k) expect.push_back(2.5f);
        ASSERT_EQ(v.size(), expect.size());
        for (std::size_t i = 0; i < v.size(); ++i) EXPECT_NEAR(v[i], expect[i], 1e-6) << i;
    }
    {
        // Crossing point 20 % with rise 0.6 becomes 1/3: T = 0.75 (7.5
        // samples), slope 2/3 V per sample, the rising edge 2.5 samples late.
        const std::vector<float> v = drive(params(10, -2.5f, 2.5f, 0.6f, 20.0f), {1, 0, 1});
        const float slope = 5.0f / 7.5f;
        for (int k = 1; k <= 10; ++k) {
            // Falling edge from the bit start: upper - k slope until k >= 8.
            const float fall = k >= 8 ? -2.5f : 2.5f - static_cast<float>(k) * slope;
            // Rising edge: lower while k <= 2, then lower + (k - 2.5) slope.
            const float rise = k <= 2 ? -2.5f : -2.5f + (static_cast<float>(k) - 2.5f) * slope;
            EXPECT_NEAR(v[static_cast<std::size_t>(9 + k)], fall, 1e-5) << k;
            EXPECT_NEAR(v[static_cast<std::size_t>(19 + k)], rise, 1e-5) << k;
        }
        // The two edges meet at a third of the swing, 5 samples into the bit.
        EXPECT_NEAR(v[14], -2.5f + 5.0f / 3.0f, 1e-5);
        EXPECT_NEAR(v[24], -2.5f + 5.0f / 3.0f, 1e-5);
    }
}

}  // namespace
}  // namespace nodrix
