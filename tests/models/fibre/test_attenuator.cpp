// The attenuator: its field, spectrum, power, delays and window against the
// loss worked by hand, for losses over its range; no light from a dark input.
#include <gtest/gtest.h>


#include "tests/models/measurements/run_harness.h"
#include "tests/support/block_bench.h"

namespace nodrix {
namespace {

class AttenuatorTest : public testing::BlockTest {};

TEST_F(AttenuatorTest, ScalesTheFieldAndSpectrumAndPassesTheDelays) {
    // loss [dB], field factor and power factor worked by hand.
    const struct {
        double loss_db, field, power;
    } cases[] = {{0.0, 1.0, 1.0}, {3.0, 0.70794578, 0.50118723}, {10.0, 0.31622777, 0.1}, {20.0, 0.1, 0.01},
                 {300.0, 1e-15, 1e-30}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.loss_db);
        for (std::int32_t polarisations : {1, 2}) {
            testing::BlockBench bench("attenuator", SimulationSettings{.polarisations = polarisations});
            bench.set("loss_db", c.loss_db);
            OpticalSignal& in = bench.input<OpticalSignal>("input");
            const OpticalSignal& out = bench.output<OpticalSignal>("output");
            in.iv = 1;  // dark (iv = 0) after the first round
            in.pp = 2.0f;
            in.ps.fill(3.0f);
            for (std::size_t i = 0; i < kBins; ++i) in.gd[i] = 0.01f * static_cast<float>(i);
            in.x = FieldSample{0.6f, 0.8f, 193.0f};
            in.y = FieldSample{0.3f, -0.4f, 193.0f};
            ASSERT_TRUE(bench.start().ok());
            EXPECT_NEAR(out.pp, 2.0 * c.power, 1e-6 * 2.0 * c.power);
            EXPECT_NEAR(out.ps[700], 3.0 * c.power, 1e-6 * 3.0 * c.power);
            EXPECT_EQ(out.gd, in.gd);
            EXPECT_NEAR(bench.window().toff, 15360.0f + 8.2f, 1e-3f);  // the delay spread over bins 102 to 922
            bench.run(1);
            EXPECT_NEAR(out.x.re, 0.6 * c.field, 1e-6 * c.field);
            EXPECT_EQ(out.x.fcenter, bench.context().band_centre());
            EXPECT_NEAR(out.y.im, polarisations == 2 ? -0.4 * c.field : 0.0, 1e-6 * c.field);
            in.iv = 0;
            ASSERT_TRUE(bench.design().ok());
            bench.run(1);
            EXPECT_EQ(out.pp, 0.0f);
            EXPECT_EQ(out.x.re, 0.0f);
        }
    }
}

}  // namespace
}  // namespace nodrix
