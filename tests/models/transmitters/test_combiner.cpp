#include <array>
#include <tuple>

#include "tests/models/measurements/run_harness.h"
#include "tests/support/block_bench.h"

namespace nodrix {
namespace {

class CombinerTest : public testing::BlockTest {
protected:
    // A combiner of `count` inputs with a 0.5 amplitude factor.
    explicit CombinerTest(int count = 2) {
        bench_.set("amplitude_factor", 0.5);
        for (int k = 0; k < count; ++k) inputs_[static_cast<std::size_t>(k)] = &bench_.input<OpticalSignal>("inputs");
        bench_.producer_window().ton = 100.0f;
    }
    testing::BlockBench bench_{"combiner"};
    std::array<OpticalSignal*, 4> inputs_{};
    const OpticalSignal& out_ = bench_.output<OpticalSignal>("output");
};

TEST_F(CombinerTest, AddsTheDescriptionsAndKeepsTheLatestDelayPerBin) {
    OpticalSignal& a = *inputs_[0];
    OpticalSignal& b = *inputs_[1];
    a.ps.fill(1.0f);
    b.ps.fill(3.0f);
    a.pp = 1.0f;
    b.pp = 3.0f;
    a.gd.fill(5.0f);
    b.gd.fill(2.0f);
    b.gd[400] = 9.0f;
    // Out of band, the spectra and delays still combine; the window stays.
    bench_.design();
    // Bin 7: (1 + 3) x 0.5^2.
    EXPECT_EQ(std::tuple(out_.iv, out_.pp, out_.ps[7], out_.gd[7], bench_.window().toff),
              std::tuple(0, 0.0f, 1.0f, 5.0f, 0.0f));
    // In band: the delays count from the earliest input component, which is
    // that of an open port (0 ps): the output's least delay is 5 ps, its
    // greatest 9 ps.
    b.iv = 1;
    bench_.design();
    EXPECT_EQ(out_.iv, 1);
    EXPECT_EQ(out_.pp, 1.0f);
    const TimeWindow& w = bench_.window();
    const float twin = bench_.context().settings().emission_window_ps;
    EXPECT_EQ((std::array<float, 4>{w.ton, w.tgoodi, w.toff, w.tgoodf}),
              (std::array<float, 4>{105.0f, 109.0f, 100.0f + twin + 9.0f, 100.0f + twin + 5.0f}));
}

TEST_F(CombinerTest, AddsTheFieldsInsideTheWindowAndOpenPortsCarryNoLight) {
    inputs_[0]->iv = 1;
    inputs_[0]->x = FieldSample{1.0f, 2.0f, 0.0f};
    inputs_[1]->x = FieldSample{3.0f, -4.0f, 0.0f};
    bench_.start();  // zero delays: the window is [100, 100 + emission window)
    const struct {
        std::int32_t step;
        float re, im;
    } samples[] = {{1, 0.0f, 0.0f}, {1563, 2.0f, -1.0f}};  // 0 ps: before the window; 100.04 ps: in it
    for (const auto& s : samples) {
        bench_.run(s.step);
        EXPECT_EQ(out_.x.re, s.re) << s.step;
        EXPECT_EQ(out_.x.im, s.im) << s.step;
        EXPECT_EQ(out_.x.fcenter, bench_.context().band_centre());
    }
}

}  // namespace
}  // namespace nodrix
