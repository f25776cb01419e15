#include <cmath>

#include "models/measurements/resampler.h"
#include "tests/support/test_support.h"

namespace nodrix {
namespace {

using ResamplerTest = testing::NodrixTest;

TEST_F(ResamplerTest, LinearInputIsReproducedAtThePointPositions) {
    // With the input equal to its position (i - 1), every produced value must
    // equal the position of its point, the points must follow one another at
    // spb / rec, and each must fall between the previous and the current
    // sample; also ten million samples into a run.
    struct Case { std::int32_t spb, rec, first, counter; };
    // The first counter: k = trunc(first rec / spb), then k + 2, or k + 3 when
    // point k + 1 lies at or before the first sample (64/16 at 16: position 16
    // lies after 15 but is passed over).
    for (const Case& c : {Case{64, 16, 1, 2}, Case{64, 16, 16, 6}, Case{10, 4, 17, 8}, Case{10, 4, 18, 9},
                          Case{8, 8, 5, 7}, Case{7, 3, 5, 4}, Case{100, 99, 2, 3}, Case{10, 3, 9999990, 2999999}}) {
        Resampler r;
        resample_start(r, c.first, c.spb, c.rec, static_cast<float>(c.first - 1));
        EXPECT_EQ(r.counter, c.counter) << c.spb << "/" << c.rec << " at " << c.first;
        const double spacing = static_cast<double>(c.spb) / c.rec;
        double last = -1.0;
        int produced = 0;
        for (std::int32_t i = c.first + 1; i < c.first + 400; ++i) {
            double v = -1.0;
            if (!resample_step(r, i, c.spb, c.rec, static_cast<float>(i - 1), v)) continue;
            ++produced;
            EXPECT_TRUE(v > i - 2.0 && v <= i - 1.0) << c.spb << "/" << c.rec << " at " << i;
            EXPECT_NEAR(v, (r.counter - 2) * spacing, 1e-6) << c.spb << "/" << c.rec << " at " << i;
            EXPECT_TRUE(last < 0.0 || std::fabs(v - last - spacing) < 1e-6);
            last = v;
        }
        EXPECT_NEAR(produced, 399.0 / spacing, 2.0) << c.spb << "/" << c.rec;  // 399 samples: about 399 / spacing points
    }
}

}  // namespace
}  // namespace nodrix
