// The amplifier blocks with the flat model: spectra, powers, windows and
// storage of the initialisation pass, the fixed-output-power gain, and the
// per-sample pass (gain, ASE power, window, record walk).
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <tuple>

#include "kernel/control_blocks.h"
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

// ASE density per polarisation [mW/THz] at gain_db with noise figure nf (n_sp = nf / 2).
double ase_density(double gain_db, double nf) { return (std::pow(10.0, gain_db / 10.0) - 1.0) * 0.5 * nf * kH * kFc * 1e15; }
// The A of G p_in + (G - 1) A = target: ASE of unit excess gain over the grid.
double ase_over_grid(double nf) { return 0.5 * nf * kH * kFc * (flimit.fgridhi - flimit.fgridlo) * 1e15; }

std::tuple<float, float, float> words(const FieldSample& z) { return {z.re, z.im, z.fcenter}; }

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
    EXPECT_NEAR(flat_ase_density(std::pow(10.0f, 0.5f), 1.40919f, 193.61597f), 3.909e-4, 0.0005e-4);
    EXPECT_EQ(flat_ase_density(0.5f, 1.40919f, 193.61597f), 0.0f);  // below unit gain: no ASE
}

TEST_F(Edfa, FlatSpectrumPowerAndWindow) {
    // (npol, optaux1): the ASE fills every bin of each polarisation; pp
    // carries it over 0.8 / dt unless the field noise is off.
    for (const auto& [npol, optaux1] : {std::pair{1, 0}, std::pair{2, 0}, std::pair{1, 1}}) {
        optcl_ctrl.npol = npol;
        optcl_ctrl.optaux1 = optaux1;
        oampfg({5.0f, "", 2.81838f, 0, ""}, in, out, sin, sout);
        const double g = std::pow(10.0, 0.5), s = ase_density(5.0, 2.81838);
        for (int i : {0, 300, 510, 1023})
            EXPECT_NEAR(sout.ps[i], g * sin.ps[i] + npol * s * (flimit.fgridhi - flimit.fgridlo) / 1024.0, 1e-6 * (1 + sout.ps[i])) << i;
        EXPECT_NEAR(sout.pp, g * sin.pp + (optaux1 == 0 ? npol * 0.8 / zzctrl.delt * s : 0.0), 1e-5) << npol;
        EXPECT_EQ(sout.iv, 1);
        EXPECT_EQ(sout.gd, sin.gd);
    }
    // Window from gd(i) = 0.01 i: smallest 1.02, largest 9.22 over bins 102..922.
    oampfg({5.0f, "", 2.81838f, 0, ""}, InputWindow{100.0f, 15360.0f}, out, sin, sout);
    EXPECT_FLOAT_EQ(out.ton, 100.0f);
    EXPECT_FLOAT_EQ(out.tgoodi, 100.0f + (9.22f - 1.02f));
    EXPECT_FLOAT_EQ(out.toff, 100.0f + 15360.0f + (9.22f - 1.02f));
    EXPECT_FLOAT_EQ(out.tgoodf, 100.0f + 15360.0f);
}

TEST_F(Edfa, NoAseAtZeroGainBelowZeroDbOrWithNoiseOff) {
    struct Case {
        float gain;
        std::int32_t noise_off;
    } cases[] = {{0.0f, 0}, {5.0f, 1}, {-3.0f, 0}};
    for (const Case& c : cases) {
        fg_flat(c.gain, 2.81838f, c.noise_off, in, out, sin, sout);  // (oampfg takes a negative gain as a profile)
        const double g = std::pow(10.0, c.gain / 10.0);
        for (int i = 0; i < kBins; ++i) ASSERT_NEAR(sout.ps[i], g * sin.ps[i], 1e-6 * sin.ps[i] + 1e-30) << c.gain << " " << i;
        EXPECT_NEAR(sout.pp, g * sin.pp, 1e-5) << c.gain;
    }
    oampfg({0.0f, "", 2.81838f, 0, ""}, in, out, sin, sout);
    EXPECT_EQ(sout.ps, sin.ps);  // unit gain: exactly the input
    EXPECT_EQ(sout.pp, sin.pp);
}

TEST_F(Edfa, StorageRequests) {
    struct Case {
        bool fixed_power;
        std::int32_t optaux1, iv, bytes;
    } cases[] = {
        {false, 0, 1, 60 + 20},      // wgn2an, then g, n_sp, S
        {false, 1, 1, 20},           // no noise source
        {true, 0, 1, 12 + 60 + 20},  // the gain slot first
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
        double gain;  // 0: solves G p_in + (G - 1) A = target
    } cases[] = {
        {2.0f, 10.0f, 35.0f, 0, 0.0},  // the link's amplifier
        {0.01f, 10.0f, 35.0f, 0, 0.0},
        {1e-6f, 10.0f, 20.0f, 0, 100.0},  // unreachable: G_max
        {0.0f, 10.0f, 20.0f, 1, 100.0},   // nothing in, nothing added: G_max
        {2.0f, 0.5f, 35.0f, 0, 0.25},     // target below the input: attenuation without ASE
        {2.0f, 0.5f, 35.0f, 1, 0.25},
    };
    for (const Case& c : cases) {
        const OpticalSignal s = test_signal(c.p_in);
        oampfp({c.max_gain, "", 2.81838f, c.noise_off, "", c.target}, in, out, s, sout);
        const double a = c.noise_off ? 0.0 : ase_over_grid(2.81838);
        const double g = c.gain > 0.0 ? c.gain : (c.target + a) / (c.p_in + a);
        const double expected = g * c.p_in + (g > 1.0 ? (g - 1.0) * a : 0.0);
        EXPECT_NEAR(sum(sout.ps), expected, 2e-6 * expected + 1e-12) << c.p_in << " " << c.target;
        if (c.gain != 100.0) {
            EXPECT_NEAR(sum(sout.ps), c.target, 2e-6 * c.target) << c.p_in;
        }
    }
    EXPECT_NEAR(fixed_power_gain(4.0f, 0.01f, 1.0f, 100.0f), 0.25f, 1e-7f);  // not (1 + a) / (4 + a)
}

TEST_F(Edfa, FixedOutputPowerRejectsATargetThatIsNotPositive) {
    const OampfpParams p{35.0f, "", 2.81838f, 0, "", 0.0f};
    in.ton = 10.0f * zzctrl.delt;
    begin_run_init();
    ::testing::internal::CaptureStderr();
    oampfp(p, in, out, sin, sout);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Nodrix-E-Fixed output power optical amplifier. \n   The target output power must be positive.\n"
              "   Simulation will proceed, but the branch \n   after this block will be turned off\n");
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

TEST_F(Edfa, FieldIsGainTimesInputWithoutNoise) {
    // 0 dB, noise off, or no field noise (optaux1): g x on both
    // polarisations, each keeping its input's third word.
    optcl_ctrl.npol = 2;
    struct Case {
        float gain;
        std::int32_t noise_off, optaux1;
    } cases[] = {{0.0f, 0, 0}, {5.0f, 1, 0}, {5.0f, 0, 1}};
    for (const Case& c : cases) {
        optcl_ctrl.optaux1 = c.optaux1;
        const OampfgParams p{c.gain, "", 2.81838f, c.noise_off, ""};
        begin_run_init();
        oampfg(p, in, out, sin, sout);
        const float g = std::pow(10.0f, 0.05f * c.gain);
        for (int k = 1; k <= 50; ++k) {
            begin_sample(k);
            sin.x = FieldSample{0.01f * k, -0.02f * k, 193.5f};
            sin.y = FieldSample{0.5f, 0.25f, 193.6f};
            oampfg(p, in, out, sin, sout);
            ASSERT_EQ(words(sout.x), std::tuple(g * sin.x.re, g * sin.x.im, 193.5f)) << k;
            ASSERT_EQ(words(sout.y), std::tuple(g * sin.y.re, g * sin.y.im, 193.6f)) << k;
        }
    }
    // The fixed-output-power amplifier keeps the gain of its initialisation
    // pass (two polarisations: twice the ASE over the grid).
    optcl_ctrl.optaux1 = 1;
    const OampfpParams p{35.0f, "", 2.81838f, 0, "", 10.0f};
    begin_run_init();
    oampfp(p, in, out, sin, sout);
    const double g = std::sqrt((10.0 + 2.0 * ase_over_grid(2.81838)) / (2.0 + 2.0 * ase_over_grid(2.81838)));
    begin_sample(1);
    oampfp(p, in, out, sin, sout);
    EXPECT_NEAR(sout.x.re, g * sin.x.re, 2e-6);
    EXPECT_NEAR(sout.x.im, g * sin.x.im, 2e-6);
}

TEST_F(Edfa, FieldNoisePowerIsSOverDt) {
    const OampfgParams p{5.0f, "", 2.81838f, 0, ""};
    sin.x = FieldSample{0.0f, 0.0f, 193.61597f};
    begin_run_init();
    oampfg(p, in, out, sin, sout);
    const int m = 100000;
    double power = 0.0;
    sout.y = FieldSample{9.0f, 9.0f, 9.0f};
    for (int k = 1; k <= m; ++k) {
        begin_sample(k);
        oampfg(p, in, out, sin, sout);
        power += double(sout.x.re) * sout.x.re + double(sout.x.im) * sout.x.im;
    }
    // |z|^2 of a complex Gaussian is exponential: relative standard error 1/sqrt(m).
    const double expected = ase_density(5.0, 2.81838) / zzctrl.delt;
    EXPECT_NEAR(power / m, expected, 5.0 * expected / std::sqrt(double(m)));
    EXPECT_EQ(sout.y.re, 9.0f);  // one polarisation: y out is not written
}

TEST_F(Edfa, BlocksAfterAnIdleAmplifierFindTheirOwnState) {
    // Two amplifiers in a row; the first one's input starts late. While the
    // first waits, the second must still read its own gain.
    const OampfgParams first{5.0f, "", 2.81838f, 1, ""}, second{10.0f, "", 2.81838f, 1, ""};
    const InputWindow in1{5.0f * zzctrl.delt, 15360.0f};
    TimeWindow out1, out2;
    OpticalSignal mid, last;
    for (int k = 0; k <= 10; ++k) {
        k == 0 ? begin_run_init() : begin_sample(k);
        oampfg(first, in1, out1, sin, mid);
        oampfg(second, in, out2, sin, last);
        if (k > 0) {
            EXPECT_EQ(last.x.re, std::pow(10.0f, 0.5f) * sin.x.re) << k;
        }
    }
}

}  // namespace
}  // namespace nodrix
