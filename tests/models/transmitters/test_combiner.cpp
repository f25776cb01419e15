#include <array>
#include <cmath>
#include <vector>

#include "models/transmitters/combiner.h"
#include "models/transmitters/laser.h"
#include "models/transmitters/modulator.h"
#include "models/transmitters/nrz_driver.h"
#include "models/transmitters/prbs_source.h"
#include "tests/models/measurements/run_harness.h"

namespace nodrix {
namespace {

using testing::begin_init_pass;
using testing::begin_sample;

class CombinerTest : public testing::BlockTest {
protected:
    void SetUp() override {
        BlockTest::SetUp();
        for (int k = 0; k < 4; ++k) {
            const auto n = static_cast<float>(k + 1);
            OpticalSignal& s = in_[k];
            s.iv = 1;
            s.pp = n;
            s.ps.fill(n);
            s.x = FieldSample{0.1f * n, -0.2f * n, 0.0f};
            s.y = FieldSample{1.0f, 2.0f, 0.0f};
        }
    }

    void call(const Ocmb04Params& p) { ocmb04(p, window_in_, window_, in_[0], in_[1], in_[2], in_[3], out_); }
    std::vector<float> window() const { return {window_.ton, window_.tgoodi, window_.toff, window_.tgoodf}; }

    std::array<OpticalSignal, 4> in_;
    OpticalSignal out_;
    InputWindow window_in_{10.0f, 100.0f};
    TimeWindow window_{-1.0f, -1.0f, -1.0f, -1.0f};
};

TEST_F(CombinerTest, SumsAndWorstCaseDelay) {
    in_[1].gd.fill(5.0f);
    in_[2].gd[50] = 99.0f;  // outside bins 102..922: kept, but not in the window
    in_[3].gd[700] = 8.0f;
    testing::begin_counting_pass();
    call(Ocmb04Params{4, 0.5f, 3.0f, 2.0f});
    EXPECT_EQ(optcl_ctrl.memused, 0);  // no storage
    EXPECT_EQ(out_.ps[0], 10.0f * 0.25f * 2.0f);
    EXPECT_EQ(out_.pp, 10.0f * 0.25f * 3.0f);
    EXPECT_EQ(out_.iv, 1);
    EXPECT_EQ((std::vector<float>{out_.gd[50], out_.gd[700], out_.gd[600]}), (std::vector<float>{99.0f, 8.0f, 5.0f}));
    // Smallest input minimum 0 (inputs 1, 3, 4); output in-band delays 5 to 8.
    EXPECT_EQ(window(), (std::vector<float>{15.0f, 18.0f, 118.0f, 115.0f}));
}

TEST_F(CombinerTest, WindowOfOneValidInputAndOfNone) {
    for (int k = 1; k < 4; ++k) in_[k].iv = 0;
    call(Ocmb04Params{});
    EXPECT_EQ(out_.iv, 1);
    EXPECT_EQ(window(), (std::vector<float>{10.0f, 10.0f, 110.0f, 110.0f}));

    in_[0].iv = 0;
    in_[2].gd.fill(2.0f);
    window_ = TimeWindow{-1.0f, -1.0f, -1.0f, -1.0f};
    call(Ocmb04Params{});
    EXPECT_EQ(out_.iv, 0);
    EXPECT_EQ(out_.pp, 0.0f);
    EXPECT_EQ(out_.ps[3], 10.0f);  // still the scaled sum
    EXPECT_EQ(out_.gd[3], 2.0f);
    EXPECT_EQ(window_.ton, -1.0f);  // untouched
    begin_sample(200);
    call(Ocmb04Params{});
    EXPECT_EQ(out_.x.re, 0.0f);
    EXPECT_EQ(out_.x.fcenter, f_vbs_band.fcenter);
}

TEST_F(CombinerTest, FieldsSummedInsideTheWindow) {
    call(Ocmb04Params{4, 2.0f, 1.0f, 1.0f});
    for (std::int32_t step : {157, 158, 1718, 1719}) {  // 10 ps falls in step 158, 110 ps in step 1719
        begin_sample(step);
        call(Ocmb04Params{4, 2.0f, 1.0f, 1.0f});
        const float inside = step == 158 || step == 1718 ? 1.0f : 0.0f;
        EXPECT_FLOAT_EQ(out_.x.re, inside * 2.0f * (0.1f + 0.2f + 0.3f + 0.4f)) << step;
        EXPECT_FLOAT_EQ(out_.x.im, inside * -2.0f * (0.2f + 0.4f + 0.6f + 0.8f)) << step;
        EXPECT_EQ(out_.y.re, 0.0f);  // one polarisation
        EXPECT_EQ(out_.x.fcenter, f_vbs_band.fcenter);
    }
    optcl_ctrl.npol = 2;
    begin_sample(500);
    call(Ocmb04Params{4, 2.0f, 1.0f, 1.0f});
    EXPECT_EQ(out_.y.re, 8.0f);
    EXPECT_EQ(out_.y.im, 16.0f);
}

// Four transmitters and their combiner per sample: every block finds its own state, so a transmitter in the
// group gives the samples it gives alone.
struct Transmitter {
    LaslorParams laser;
    SpnseqParams source;
    RecnrzParams driver{16, -2.5f, 2.5f, 0.3f, 50.0f};
    OamodParams modulator{3.0f, 2.5f, 5.0f, 0.999f, 0.0f, 0.7079457f};
    OpticalSignal light, out;
    TimeWindow light_window, out_window;
    ElectricalSample clock, drive;
    LogicalSignal bits{};

    explicit Transmitter(int k)
        : laser{193.1f + 0.1f * static_cast<float>(k), 1.0f + static_cast<float>(k), 0.0f, 0.0f, 0, 0.0f, 0.0f},
          source{0, 7, 1 + 3 * k, 3 * k, 16, 5 + k, 1, 1, ""} {}
    void step(const InputWindow& in) {
        laslor(laser, in, light_window, light);
        spnseq(source, clock, bits);
        recnrz(driver, bits[0], drive);
        oamod(modulator, InputWindow{light_window.ton, in.twinin}, out_window, light, drive, out);
    }
};

TEST_F(CombinerTest, TransmitterGroupPerSample) {
    const InputWindow in{0.0f, 15360.0f};
    const int samples = 16 * 60;
    Transmitter solo(2);
    std::vector<FieldSample> alone;
    for (int k = 0; k <= samples; ++k) {
        k == 0 ? begin_init_pass() : begin_sample(k);
        solo.step(in);
        alone.push_back(solo.out.x);
    }
    std::array<Transmitter, 4> group{Transmitter(0), Transmitter(1), Transmitter(2), Transmitter(3)};
    OpticalSignal line;
    TimeWindow line_window;
    int ones = 0;
    for (int k = 0; k <= samples; ++k) {
        k == 0 ? begin_init_pass() : begin_sample(k);
        for (Transmitter& t : group) t.step(in);
        ocmb04(Ocmb04Params{}, InputWindow{group[0].out_window.ton, in.twinin}, line_window, group[0].out, group[1].out,
               group[2].out, group[3].out, line);
        const FieldSample& x = group[2].out.x;
        ASSERT_EQ(x.re, alone[k].re) << k;
        ASSERT_EQ(x.im, alone[k].im) << k;
        ASSERT_FLOAT_EQ(line.x.re, group[0].out.x.re + group[1].out.x.re + x.re + group[3].out.x.re);
        // Mid-bit the drive sits at a level: full or (nearly) no light.
        const float p = x.re * x.re + x.im * x.im;
        const float full = 3.0f / std::pow(10.0f, 0.3f);
        if (k % 16 != 8) continue;
        EXPECT_TRUE(std::fabs(p - full) < 1e-4f || p < 0.01f * full) << k << " " << p;
        ones += p > 0.5f * full ? 1 : 0;
    }
    EXPECT_NEAR(line.pp, (1.0f + 2.0f + 3.0f + 4.0f) * std::pow(10.0f, -0.3f), 1e-5);
    EXPECT_GT(ones, 15);  // data, not a constant level
    EXPECT_LT(ones, 45);
}

}  // namespace
}  // namespace nodrix
