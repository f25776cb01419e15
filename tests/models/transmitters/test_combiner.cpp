#include <array>
#include <cmath>
#include <vector>

#include "kernel/control_blocks.h"
#include "models/transmitters/combiner.h"
#include "models/transmitters/gaussian.h"
#include "models/transmitters/laser.h"
#include "models/transmitters/modulator.h"
#include "models/transmitters/nrz_driver.h"
#include "models/transmitters/prbs_source.h"
#include "tests/models/transmitters/sample_harness.h"

namespace nodrix {
namespace {

using testing::begin_run;
using testing::begin_sample;

class CombinerTest : public testing::NodrixTest {
protected:
    void SetUp() override {
        NodrixTest::SetUp();
        testing::set_project_constants();
        for (int k = 0; k < 4; ++k) {
            OpticalSignal& s = in_[static_cast<std::size_t>(k)];
            s.iv = 1;
            s.pp = static_cast<float>(k + 1);
            s.ps.fill(static_cast<float>(k + 1));
            s.x = FieldSample{0.1f * static_cast<float>(k + 1), -0.2f * static_cast<float>(k + 1), 0.0f};
            s.y = FieldSample{1.0f, 2.0f, 0.0f};
        }
    }

    void call(const Ocmb04Params& p) { ocmb04(p, window_in_, window_, in_[0], in_[1], in_[2], in_[3], out_); }

    std::array<OpticalSignal, 4> in_;
    OpticalSignal out_;
    InputWindow window_in_{10.0f, 100.0f};
    TimeWindow window_{-1.0f, -1.0f, -1.0f, -1.0f};
};

TEST_F(CombinerTest, SumsAndWorstCaseDelay) {
    in_[1].gd.fill(5.0f);
    in_[2].gd[50] = 99.0f;   // outside bins 102..922: kept, but not in the window
    in_[3].gd[700] = 8.0f;
    testing::begin_counting();
    call(Ocmb04Params{4, 0.5f, 3.0f, 2.0f});
    EXPECT_EQ(optcl_ctrl.memused, 0);  // no storage
    EXPECT_EQ(out_.ps[0], 10.0f * 0.25f * 2.0f);
    EXPECT_EQ(out_.pp, 10.0f * 0.25f * 3.0f);
    EXPECT_EQ(out_.iv, 1);
    EXPECT_EQ(out_.gd[50], 99.0f);
    EXPECT_EQ(out_.gd[700], 8.0f);
    EXPECT_EQ(out_.gd[600], 5.0f);
    // Smallest input minimum 0 (inputs 1, 3, 4); output in-band delays 5 to 8.
    EXPECT_EQ(window_.ton, 15.0f);
    EXPECT_EQ(window_.tgoodi, 18.0f);
    EXPECT_EQ(window_.toff, 118.0f);
    EXPECT_EQ(window_.tgoodf, 115.0f);
    EXPECT_EQ(out_.x.fcenter, f_vbs_band.fcenter);
}

TEST_F(CombinerTest, WindowOfOneValidInputAndOfNone) {
    for (int k = 1; k < 4; ++k) {
        in_[static_cast<std::size_t>(k)].iv = 0;
        in_[static_cast<std::size_t>(k)].pp = 0.0f;
    }
    call(Ocmb04Params{});
    EXPECT_EQ(out_.iv, 1);
    EXPECT_EQ(window_.ton, 10.0f);
    EXPECT_EQ(window_.toff, 110.0f);
    EXPECT_EQ(window_.tgoodi, 10.0f);
    EXPECT_EQ(window_.tgoodf, 110.0f);

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
    for (std::int32_t step : {1, 157, 158, 1718, 1719}) {  // 10 ps falls in step 158, 110 ps in step 1719
        begin_sample(step);
        call(Ocmb04Params{4, 2.0f, 1.0f, 1.0f});
        const bool inside = step == 158 || step == 1718;
        EXPECT_EQ(inside, zzctrl.time >= 10.0f && zzctrl.time < 110.0f);
        EXPECT_FLOAT_EQ(out_.x.re, inside ? 2.0f * (0.1f + 0.2f + 0.3f + 0.4f) : 0.0f) << step;
        EXPECT_FLOAT_EQ(out_.x.im, inside ? -2.0f * (0.2f + 0.4f + 0.6f + 0.8f) : 0.0f) << step;
        EXPECT_EQ(out_.y.re, 0.0f);  // one polarisation
        EXPECT_EQ(out_.x.fcenter, f_vbs_band.fcenter);
    }
    optcl_ctrl.npol = 2;
    begin_sample(500);
    call(Ocmb04Params{4, 2.0f, 1.0f, 1.0f});
    EXPECT_EQ(out_.y.re, 8.0f);
    EXPECT_EQ(out_.y.im, 16.0f);
}

// Four transmitters and their combiner per sample, as the schedule runs them:
// every block finds its own state, so a transmitter in the group gives the
// samples it gives alone.
struct Transmitter {
    LaslorParams laser;
    SpnseqParams source;
    RecnrzParams driver;
    OamodParams modulator;
    OpticalSignal light;
    TimeWindow light_window;
    ElectricalSample clock;
    LogicalSignal bits{};
    ElectricalSample drive;
    OpticalSignal out;
    TimeWindow out_window;

    void step(const InputWindow& in) {
        laslor(laser, in, light_window, light);
        spnseq(source, clock, bits);
        recnrz(driver, bits[0], drive);
        oamod(modulator, InputWindow{light_window.ton, in.twinin}, out_window, light, drive, out);
    }
};

Transmitter transmitter(int k) {
    Transmitter t;
    t.laser.frequency = 193.1f + 0.1f * static_cast<float>(k);
    t.laser.power = 1.0f + static_cast<float>(k);
    t.source.ndeg = 7;
    t.source.ipoly = 1 + 3 * k;
    t.source.ioffs = 3 * k;
    t.source.nsbit = 16;
    t.source.nstart = 5 + k;
    t.driver = RecnrzParams{16, -2.5f, 2.5f, 0.3f, 50.0f};
    t.modulator = OamodParams{3.0f, 2.5f, 5.0f, 0.999f, 0.0f, 0.7079457f};
    return t;
}

TEST_F(CombinerTest, TransmitterGroupPerSample) {
    const InputWindow in{0.0f, 15360.0f};
    const int samples = 16 * 60;
    // Transmitter 2 alone.
    std::vector<FieldSample> alone;
    {
        Transmitter t = transmitter(2);
        reset_uniform_generators();
        begin_run();
        t.step(in);
        for (int k = 1; k <= samples; ++k) {
            begin_sample(k);
            t.step(in);
            alone.push_back(t.out.x);
        }
    }
    std::array<Transmitter, 4> group{transmitter(0), transmitter(1), transmitter(2), transmitter(3)};
    reset_uniform_generators();
    OpticalSignal line;
    TimeWindow line_window;
    auto round = [&] {
        for (Transmitter& t : group) t.step(in);
        ocmb04(Ocmb04Params{}, InputWindow{group[0].out_window.ton, in.twinin}, line_window, group[0].out, group[1].out,
               group[2].out, group[3].out, line);
    };
    begin_run();
    round();
    EXPECT_NEAR(line.pp, (1.0f + 2.0f + 3.0f + 4.0f) * std::pow(10.0f, -0.3f), 1e-5);
    int ones = 0;
    for (int k = 1; k <= samples; ++k) {
        begin_sample(k);
        round();
        const FieldSample& x = group[2].out.x;
        ASSERT_EQ(x.re, alone[static_cast<std::size_t>(k - 1)].re) << k;
        ASSERT_EQ(x.im, alone[static_cast<std::size_t>(k - 1)].im) << k;
        float re = 0.0f;
        float im = 0.0f;
        for (const Transmitter& t : group) {
            re += t.out.x.re;
            im += t.out.x.im;
        }
        ASSERT_FLOAT_EQ(line.x.re, re);
        ASSERT_FLOAT_EQ(line.x.im, im);
        // Mid-bit the drive sits at a level: full or (nearly) no light.
        if (k % 16 == 8) {
            const float p = x.re * x.re + x.im * x.im;
            const float full = 3.0f / std::pow(10.0f, 0.3f);
            EXPECT_TRUE(std::fabs(p - full) < 1e-4f || p < 0.01f * full) << k << " " << p;
            ones += p > 0.5f * full ? 1 : 0;
        }
    }
    EXPECT_GT(ones, 15);  // data, not a constant level
    EXPECT_LT(ones, 45);
}

}  // namespace
}  // namespace nodrix
