// The amplifier blocks with the flat model: spectra, powers, windows and
// storage of the initialisation pass, the fixed-output-power gain, and the
// per-sample pass (gain, ASE power, window, record walk).
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "kernel/control_blocks.h"
#include "kernel/storage.h"
#include "models/amplifiers/amplifier_noise.h"
#include "models/amplifiers/edfa.h"
#include "runtime/opxfile.h"
#include "tests/models/amplifiers/amplifier_harness.h"
#include "tests/support/test_support.h"

namespace nodrix {
namespace {

using testing::begin_run_init;
using testing::begin_sample;
using testing::test_signal;

constexpr double kH = 6.6260755e-22;
constexpr double kFc = 193.61597;

double bin_width() { return (flimit.fgridhi - flimit.fgridlo) / 1024.0; }
double ase_density(double gain_db, double nf) { return (std::pow(10.0, gain_db / 10.0) - 1.0) * 0.5 * nf * kH * kFc * 1e15; }

double sum(const std::array<float, kBins>& a) {
    double s = 0.0;
    for (float v : a) s += v;
    return s;
}

class Edfa : public testing::NodrixTest {
protected:
    void SetUp() override {
        NodrixTest::SetUp();
        testing::set_project_constants();
        reset_optrnd_streams();
        optcl_ctrl.blkmode = 1;
        zzflmn.nohist = 1;
    }
    InputWindow in{0.0f, 15360.0f};
    TimeWindow out;
    OpticalSignal sin = test_signal(2.0f);
    OpticalSignal sout;
};

TEST_F(Edfa, AseDensityOfTheExample) {
    // (3.16228 - 1) x 1.40919 x 6.6260755e-22 x 193.61597 x 1e15 = 3.909e-4 mW/THz.
    const float s = flat_ase_density(std::pow(10.0f, 0.5f), 1.40919f, 193.61597f);
    EXPECT_NEAR(s, 3.909e-4, 0.0005e-4);
    EXPECT_EQ(flat_ase_density(1.0f, 1.40919f, 193.61597f), 0.0f);
    EXPECT_EQ(flat_ase_density(0.5f, 1.40919f, 193.61597f), 0.0f);  // below unit gain: no ASE
}

TEST_F(Edfa, FlatSpectrumPowerAndWindow) {
    struct Case {
        std::int32_t npol, optaux1;
    } cases[] = {{1, 0}, {2, 0}, {1, 1}};
    for (const Case& c : cases) {
        optcl_ctrl.npol = c.npol;
        optcl_ctrl.optaux1 = c.optaux1;
        oampfg({5.0f, "", 2.81838f, 0, ""}, in, out, sin, sout);
        const double g = std::pow(10.0, 0.5);
        const double s = ase_density(5.0, 2.81838);
        for (int i : {0, 300, 510, 1023})
            EXPECT_NEAR(sout.ps[i], g * sin.ps[i] + c.npol * s * bin_width(), 1e-6 * (1 + sout.ps[i])) << i;
        const double noise_power = c.optaux1 == 0 ? c.npol * 0.8 / zzctrl.delt * s : 0.0;
        EXPECT_NEAR(sout.pp, g * sin.pp + noise_power, 1e-5) << c.npol;
        EXPECT_EQ(sout.iv, 1);
        EXPECT_EQ(sout.gd, sin.gd);
    }
    // Window from gd(i) = 0.01 i: smallest 1.02, largest 9.22 over bins 102..922.
    const InputWindow w{100.0f, 15360.0f};
    oampfg({5.0f, "", 2.81838f, 0, ""}, w, out, sin, sout);
    EXPECT_FLOAT_EQ(out.ton, 100.0f);
    EXPECT_FLOAT_EQ(out.tgoodi, 100.0f + (9.22f - 1.02f));
    EXPECT_FLOAT_EQ(out.toff, 100.0f + 15360.0f + (9.22f - 1.02f));
    EXPECT_FLOAT_EQ(out.tgoodf, 100.0f + 15360.0f);
}

TEST_F(Edfa, ZeroGainAndNoiseOffAddNothing) {
    struct Case {
        float gain;
        std::int32_t noise_off;
        double power_gain;
    } cases[] = {{0.0f, 0, 1.0}, {5.0f, 1, std::pow(10.0, 0.5)}};
    for (const Case& c : cases) {
        oampfg({c.gain, "", 2.81838f, c.noise_off, ""}, in, out, sin, sout);
        for (int i = 0; i < kBins; ++i) ASSERT_NEAR(sout.ps[i], c.power_gain * sin.ps[i], 1e-6 * sout.ps[i]) << i;
        EXPECT_NEAR(sout.pp, c.power_gain * sin.pp, 1e-5);
    }
    oampfg({0.0f, "", 2.81838f, 0, ""}, in, out, sin, sout);
    EXPECT_EQ(sout.ps, sin.ps);  // unit gain: exactly the input
    EXPECT_EQ(sout.pp, sin.pp);
}

TEST_F(Edfa, GainBelowZeroDbAttenuatesWithoutAse) {
    fg_flat(-3.0f, 2.81838f, 0, in, out, sin, sout);
    const double g = std::pow(10.0, -0.3);
    for (int i = 0; i < kBins; ++i) ASSERT_NEAR(sout.ps[i], g * sin.ps[i], 1e-6 * sin.ps[i] + 1e-30) << i;
    EXPECT_NEAR(sout.pp, g * sin.pp, 1e-6);
}

TEST_F(Edfa, StorageRequests) {
    struct Case {
        bool fixed_power;
        std::int32_t optaux1, iv;
        std::int32_t bytes;
    } cases[] = {
        {false, 0, 1, 60 + 20},       // wgn2an, then g, n_sp, S
        {false, 1, 1, 20},            // no noise source
        {true, 0, 1, 12 + 60 + 20},   // the gain slot first
        {false, 0, 0, 0},
    };
    for (const Case& c : cases) {
        optcl_ctrl.memused = 0;
        optcl_ctrl.optaux1 = c.optaux1;
        sin.iv = c.iv;
        if (c.fixed_power)
            oampfp({35.0f, "", 2.81838f, 0, "", 10.0f}, in, out, sin, sout);
        else
            oampfg({5.0f, "", 2.81838f, 0, ""}, in, out, sin, sout);
        EXPECT_EQ(optcl_ctrl.memused, c.bytes);
        EXPECT_EQ(sout.iv, c.iv);
    }
}

TEST_F(Edfa, FixedOutputPowerGain) {
    struct Case {
        float p_in, target, max_gain;
        std::int32_t noise_off;
        bool limited;
    } cases[] = {
        {2.0f, 10.0f, 35.0f, 0, false},   // the link's amplifier
        {0.01f, 10.0f, 35.0f, 0, false},
        {1e-6f, 10.0f, 20.0f, 0, true},   // unreachable: G_max
        {2.0f, 0.5f, 35.0f, 0, false},    // target below the input: attenuation
        {2.0f, 0.5f, 35.0f, 1, false},
        {0.0f, 10.0f, 20.0f, 1, true},    // nothing in, nothing added: G_max
    };
    for (const Case& c : cases) {
        OpticalSignal s = test_signal(c.p_in);
        oampfp({c.max_gain, "", 2.81838f, c.noise_off, "", c.target}, in, out, s, sout);
        const double a = c.noise_off ? 0.0 : 0.5 * 2.81838 * kH * kFc * (flimit.fgridhi - flimit.fgridlo) * 1e15;
        double g = c.limited ? std::pow(10.0, c.max_gain / 10.0) : (c.target + a) / (c.p_in + a);
        if (c.target < c.p_in) g = c.target / c.p_in;  // no ASE below unit gain
        const double expected = g * c.p_in + (g > 1.0 ? (g - 1.0) * a : 0.0);
        EXPECT_NEAR(sum(sout.ps), expected, 2e-6 * expected + 1e-12) << c.p_in << " " << c.target;
        if (!c.limited) {
            EXPECT_NEAR(sum(sout.ps), c.target, 2e-6 * c.target) << c.p_in;
        }
    }
    EXPECT_NEAR(fixed_power_gain(2.0f, 0.0f, 10.0f, 100.0f), 5.0f, 1e-6f);
    EXPECT_EQ(fixed_power_gain(0.0f, 0.0f, 10.0f, 100.0f), 100.0f);
    EXPECT_EQ(fixed_power_gain(0.001f, 0.0f, 10.0f, 100.0f), 100.0f);
    EXPECT_NEAR(fixed_power_gain(4.0f, 0.01f, 1.0f, 100.0f), 0.25f, 1e-7f);  // not (1 + a) / (4 + a)
}

TEST_F(Edfa, FixedOutputPowerRejectsATargetThatIsNotPositive) {
    const OampfpParams p{35.0f, "", 2.81838f, 0, "", 0.0f};
    in.ton = 10.0f * zzctrl.delt;
    testing::begin_run_init();
    ::testing::internal::CaptureStderr();
    oampfp(p, in, out, sin, sout);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err,
              "Nodrix-E-Fixed output power optical amplifier. \n"
              "   The target output power must be positive.\n"
              "   Simulation will proceed, but the branch \n"
              "   after this block will be turned off\n");
    EXPECT_EQ(sout.iv, 0);
    EXPECT_EQ(sum(sout.ps), 0.0);
    std::int32_t nerr = 0;
    opxget(&nerr, nullptr);
    EXPECT_EQ(nerr, 1);
    // The branch stays off in the per-sample pass, inside and outside the window.
    for (int k = 1; k <= 20; ++k) {
        begin_sample(k);
        oampfp(p, in, out, sin, sout);
        EXPECT_EQ(sout.iv, 0) << k;
        EXPECT_EQ(sout.x.re, 0.0f) << k;
    }
}

// Per-sample pass ------------------------------------------------------------

class EdfaRun : public Edfa {
protected:
    void init(const OampfgParams& p) {
        begin_run_init();
        oampfg(p, in, out, sin, sout);
    }
};

TEST_F(EdfaRun, FieldIsGainTimesInputWithoutNoise) {
    optcl_ctrl.npol = 2;
    struct Case {
        float gain;
        std::int32_t noise_off, optaux1;
    } cases[] = {{0.0f, 0, 0}, {5.0f, 1, 0}, {5.0f, 0, 1}};
    for (const Case& c : cases) {
        optcl_ctrl.optaux1 = c.optaux1;
        init({c.gain, "", 2.81838f, c.noise_off, ""});
        const float g = std::pow(10.0f, 0.05f * c.gain);
        for (int k = 1; k <= 50; ++k) {
            begin_sample(k);
            sin.x = FieldSample{0.01f * k, -0.02f * k, 193.5f};
            sin.y = FieldSample{0.5f, 0.25f, 193.6f};
            oampfg({c.gain, "", 2.81838f, c.noise_off, ""}, in, out, sin, sout);
            ASSERT_EQ(sout.x.re, g * sin.x.re) << k;
            ASSERT_EQ(sout.x.im, g * sin.x.im) << k;
            ASSERT_EQ(sout.x.fcenter, 193.5f);  // the input's third word
            ASSERT_EQ(sout.y.re, g * sin.y.re);
            ASSERT_EQ(sout.y.fcenter, 193.6f);
        }
    }
}

TEST_F(EdfaRun, FieldNoisePowerIsSOverDt) {
    const OampfgParams p{5.0f, "", 2.81838f, 0, ""};
    sin.x = FieldSample{0.0f, 0.0f, 193.61597f};
    init(p);
    const int m = 100000;
    double power = 0.0;
    sout.y = FieldSample{9.0f, 9.0f, 9.0f};
    for (int k = 1; k <= m; ++k) {
        begin_sample(k);
        oampfg(p, in, out, sin, sout);
        power += double(sout.x.re) * sout.x.re + double(sout.x.im) * sout.x.im;
    }
    const double expected = ase_density(5.0, 2.81838) / zzctrl.delt;
    // |z|^2 of a complex Gaussian is exponential: relative standard error 1/sqrt(m).
    EXPECT_NEAR(power / m, expected, 5.0 * expected / std::sqrt(double(m)));
    EXPECT_EQ(sout.y.re, 9.0f);  // one polarisation: y out is not written
}

TEST_F(EdfaRun, BlocksAfterAnIdleAmplifierFindTheirOwnState) {
    // Two amplifiers in a row; the first one's input starts late. While the
    // first waits, the second must still read its own gain.
    const OampfgParams first{5.0f, "", 2.81838f, 1, ""};
    const OampfgParams second{10.0f, "", 2.81838f, 1, ""};
    InputWindow in1{5.0f * zzctrl.delt, 15360.0f};
    InputWindow in2{0.0f, 15360.0f};
    TimeWindow out1;
    TimeWindow out2;
    OpticalSignal mid;
    OpticalSignal last;
    begin_run_init();
    oampfg(first, in1, out1, sin, mid);
    oampfg(second, in2, out2, sin, last);
    for (int k = 1; k <= 10; ++k) {
        begin_sample(k);
        oampfg(first, in1, out1, sin, mid);
        oampfg(second, in2, out2, sin, last);
        EXPECT_EQ(last.x.re, std::pow(10.0f, 0.5f) * sin.x.re) << k;
    }
}

TEST_F(EdfaRun, FixedOutputPowerKeepsItsGain) {
    optcl_ctrl.optaux1 = 1;
    const OampfpParams p{35.0f, "", 2.81838f, 0, "", 10.0f};
    begin_run_init();
    oampfp(p, in, out, sin, sout);
    const double a = 0.5 * 2.81838 * kH * kFc * (flimit.fgridhi - flimit.fgridlo) * 1e15;
    const double g = std::sqrt((10.0 + a) / (2.0 + a));
    for (int k = 1; k <= 5; ++k) {
        begin_sample(k);
        oampfp(p, in, out, sin, sout);
        EXPECT_NEAR(sout.x.re, g * sin.x.re, 2e-6) << k;
        EXPECT_NEAR(sout.x.im, g * sin.x.im, 2e-6) << k;
    }
}

}  // namespace
}  // namespace nodrix
