#include <cmath>

#include "models/measurements/resampler.h"
#include "tests/support/test_support.h"

namespace nodrix {
namespace {

using ResamplerTest = testing::NodrixTest;

TEST_F(ResamplerTest, StartCounterFollowsTheRule) {
    struct Case {
        std::int32_t i, spb, rec, counter;
    };
    const Case cases[] = {
        {1, 64, 16, 2},   // k = 0: first point at position 4
        {18, 64, 16, 6},  // k = 4: position 20
        {16, 64, 16, 6},  // k = 4: position 20 (position 16 lies after 15 but is passed over)
        {18, 10, 4, 9},   // k = 7: position 20
        {17, 10, 4, 8},   // k = 6: position 17.5
        {5, 8, 8, 7},     // equal rates: k = 5, next point at position 6
    };
    for (const Case& c : cases) {
        Resampler r;
        resample_start(r, c.i, c.spb, c.rec, 3.5f);
        EXPECT_EQ(r.counter, c.counter) << c.i << " " << c.spb << "/" << c.rec;
        EXPECT_EQ(r.previous, 3.5f);
    }
}

TEST_F(ResamplerTest, LinearInputIsReproducedAtThePointPositions) {
    // With the input equal to its position (i - 1), every produced value must
    // equal the position of its point, the points must follow one another at
    // spb / rec, and each must fall between the previous and the current sample.
    struct Case {
        std::int32_t spb, rec, first;
    };
    const Case cases[] = {{64, 16, 1}, {64, 16, 18}, {10, 4, 17}, {7, 3, 5}, {100, 99, 2}, {10, 3, 9999990}};
    for (const Case& c : cases) {
        Resampler r;
        resample_start(r, c.first, c.spb, c.rec, static_cast<float>(c.first - 1));
        const double spacing = static_cast<double>(c.spb) / c.rec;
        double last = -1.0;
        int produced = 0;
        for (std::int32_t i = c.first + 1; i < c.first + 400; ++i) {
            double v = -1.0;
            if (!resample_step(r, i, c.spb, c.rec, static_cast<float>(i - 1), v)) continue;
            ++produced;
            EXPECT_GT(v, i - 2.0) << c.spb << "/" << c.rec << " at " << i;
            EXPECT_LE(v, i - 1.0) << c.spb << "/" << c.rec << " at " << i;
            EXPECT_NEAR(v, (r.counter - 2) * spacing, 1e-6) << c.spb << "/" << c.rec << " at " << i;
            if (last >= 0.0) {
                EXPECT_NEAR(v - last, spacing, 1e-6);
            }
            last = v;
        }
        // 399 samples cover about 399 / spacing points.
        EXPECT_NEAR(produced, 399.0 / spacing, 2.0) << c.spb << "/" << c.rec;
    }
}

}  // namespace
}  // namespace nodrix
