// The amplifiers: the uniform streams and Gaussian noise source, and the
// erbium-doped fibre amplifier blocks with the flat and the profile model.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <numeric>
#include <string>
#include <tuple>
#include <vector>

#include "kernel/control_blocks.h"
#include "kernel/signals.h"
#include "kernel/storage.h"
#include "models/amplifiers/amplifier_noise.h"
#include "models/amplifiers/edfa.h"
#include "numerics/spline.h"
#include "models/amplifiers/edfa_profile.h"
#include "runtime/opxfile.h"
#include "tests/models/filters/block_schedule.h"
#include "tests/support/test_support.h"

namespace nodrix {
namespace {

using cd = std::complex<double>;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;
using testing::begin_run_init;
using testing::begin_sample;

constexpr double kH = 6.6260755e-22;
constexpr double kFc = 193.61597;
constexpr double kC = 299792.458;
constexpr double kHalfPhoton = kH * kFc * 5e14;  // h fc / 2 [mW/THz]

double bin_width() { return (flimit.fgridhi - flimit.fgridlo) / 1024.0; }
// ASE density per polarisation [mW/THz] at gain_db with noise figure nf (n_sp = nf / 2).
double ase_density(double gain_db, double nf) { return (std::pow(10.0, gain_db / 10.0) - 1.0) * 0.5 * nf * kH * kFc * 1e15; }
// The A of G p_in + (G - 1) A = target.
double ase_over_grid(double nf) { return 0.5 * nf * kH * kFc * (flimit.fgridhi - flimit.fgridlo) * 1e15; }
std::tuple<float, float, float> words(const FieldSample& z) { return {z.re, z.im, z.fcenter}; }
double sum(const std::array<float, kBins>& a) { return std::accumulate(a.begin(), a.end(), 0.0); }

// `power` spread over bins 500..523, group delays gd(i) = 0.01 i ps, in band.
OpticalSignal test_signal(float power) {
    OpticalSignal s;
    for (int i = 0; i < kBins; ++i) s.gd[i] = 0.01f * float(i);
    for (int i = 500; i < 524; ++i) s.ps[i] = power / 24.0f;
    s.pp = power;
    s.iv = 1;
    s.x = FieldSample{0.3f, -0.2f, 193.61597f};
    s.y = FieldSample{-0.1f, 0.4f, 193.61597f};
    return s;
}

// A profile file of value(f): increasing wavelengths behind two header lines and the marker.
void write_profile(const std::string& path, double f_lo, double f_hi, double df, const std::function<double(double)>& value) {
    std::string text = "EDFA profile\nwavelength value\n## data\n";
    for (double f = f_hi; f >= f_lo - 1e-9; f -= df) {
        char line[64];
        std::snprintf(line, sizeof line, "%.6f %.6f\n", kC / f, value(f));
        text += line;
    }
    testing::write_text(path, text);
}

class Amplifier : public testing::NodrixTest {
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

// Noise source ------------------------------------------------------------------

constexpr std::int64_t kM = 2147483647;
constexpr std::int64_t kA[10] = {65539, 71335, 68771, 68773, 16807, 65539, 71335, 68771, 68773, 16807};

// Schrage's a x mod m: a lo - r hi plus m while negative (for r > q, as for 68771, once is not always enough).
std::int64_t schrage(std::int64_t a, std::int64_t x) {
    std::int64_t t = a * (x % (kM / a)) - (kM % a) * (x / (kM / a));
    while (t < 0) t += kM;
    return t;
}
float unit(std::int64_t x) { return float(x) * 4.656613e-10f; }

void first_sample(FieldSample& z1, FieldSample& z2) {
    begin_run_init();
    wgn2an(193.61597f, z1, z2);
    begin_sample(1);
    wgn2an(193.61597f, z1, z2);
}
// A pair from uniforms u (amplitude) and v (angle), deviation sqrt(0.5 / dt).
void expect_pair(const FieldSample& z, float u, float v) {
    const float a = std::sqrt(0.5f / zzctrl.delt) * std::sqrt(-2.0f * std::log(u));
    EXPECT_FLOAT_EQ(z.re, a * std::cos(2.0f * kPiF * v));
    EXPECT_FLOAT_EQ(z.im, a * std::sin(2.0f * kPiF * v));
    EXPECT_EQ(z.fcenter, 193.61597f);
}

TEST_F(Amplifier, StreamsFollowSchrage) {
    // Stream 5, seed 458: x = 915; 16807 x = 15378405; 16807 * 15378405 = 120 (2^31 - 1) + 766815195.
    EXPECT_EQ(optrnd_seed_state(5, 458), 915);
    EXPECT_EQ(optrnd(5, 1, 458), unit(15378405));
    EXPECT_EQ(optrnd(5, 2, 458), unit(766815195));
    for (int k = 1; k <= 10; ++k) {
        const std::int32_t seed = 100 * k + 7;
        std::int64_t x = 2 * seed - 1;
        for (int c = 1; c <= 2000; ++c) ASSERT_EQ(optrnd(k, c, seed), unit(x = schrage(kA[k - 1], x))) << k << " " << c;
    }
}

TEST_F(Amplifier, ReseedOnlyOnFirstCallAtCounterOneAndSeedStates) {
    const float first = optrnd(3, 1, 11);
    EXPECT_EQ(optrnd(3, 1, 11), unit(schrage(68771, schrage(68771, 21))));  // counter 1 again: the stream goes on
    optrnd(3, 2, 11);  // a later counter re-arms the stream
    EXPECT_EQ(optrnd(3, 1, 11), first);  // next run: reseeded
    EXPECT_EQ(optrnd(4, 5, 11), unit(schrage(68773, 21)));  // another stream is untouched
    // 2 seed - 1 = 1 is replaced; -1 is taken modulo 2^31 - 1; 2^31 - 1 would stay at 0 for ever.
    const std::int32_t cases[][3] = {{5, 1, 3173}, {6, 1, 1234}, {2, 0, 2147483646}, {3, 1073741824, 3173}, {7, 349, 697}};
    for (const auto& c : cases) EXPECT_EQ(optrnd_seed_state(c[0], c[1]), c[2]) << c[0] << " " << c[1];
    reset_optrnd_streams();
    EXPECT_EQ(optrnd(3, 1, 1073741824), unit(schrage(68771, 3173)));
}

TEST_F(Amplifier, FirstSampleByHandAndAUniformOfExactlyOneSkipped) {
    // itop1 = 1: streams 5, 6, 7, 8 seeded with 1 + seeds 457, 565, 942, 313.
    FieldSample z1, z2;
    first_sample(z1, z2);
    expect_pair(z1, unit(schrage(16807, 2 * 458 - 1)), unit(schrage(65539, 2 * 566 - 1)));
    expect_pair(z2, unit(schrage(71335, 2 * 943 - 1)), unit(schrage(68771, 2 * 314 - 1)));
    // 16807 x0 mod (2^31 - 1) = 2^31 - 2 rounds to 1 in single precision: stream 5 draws again.
    const std::int64_t x0 = 739806647;
    ASSERT_EQ(unit(schrage(16807, x0)), 1.0f);
    reset_optrnd_streams();
    seeds[4] = std::int32_t((x0 + 1) / 2) - inftop.itop1;
    first_sample(z1, z2);
    expect_pair(z1, unit(schrage(16807, schrage(16807, x0))), unit(schrage(65539, 2 * 566 - 1)));
}

TEST_F(Amplifier, ComponentVarianceIsHalfOverDt) {
    FieldSample z1, z2;
    begin_run_init();
    wgn2an(193.61597f, z1, z2);
    const int m = 100000;
    double mean[4] = {}, sq[4] = {};
    for (int k = 1; k <= m; ++k) {
        begin_sample(k);
        wgn2an(193.61597f, z1, z2);
        const double v[4] = {z1.re, z1.im, z2.re, z2.im};
        for (int j = 0; j < 4; ++j) mean[j] += v[j] / m, sq[j] += v[j] * v[j] / m;
    }
    // Five standard errors: sqrt(var / m) for the mean, var sqrt(2 / m) for the variance.
    const double var = 0.5 / zzctrl.delt;
    for (int j = 0; j < 4; ++j) {
        EXPECT_NEAR(mean[j], 0.0, 5.0 * std::sqrt(var / m)) << j;
        EXPECT_NEAR(sq[j] - mean[j] * mean[j], var, 5.0 * var * std::sqrt(2.0 / m)) << j;
    }
}

class EdfaProfile : public Amplifier {
protected:
    EdfaProfile() { sin = test_signal(1.0f); }
};

// Flat model ---------------------------------------------------------------------

TEST_F(Amplifier, AseDensityOfTheExample) {
    // (3.16228 - 1) x 1.40919 x 6.6260755e-22 x 193.61597 x 1e15 = 3.909e-4 mW/THz.
    EXPECT_NEAR(flat_ase_density(std::pow(10.0f, 0.5f), 1.40919f, 193.61597f), 3.909e-4, 0.0005e-4);
    EXPECT_EQ(flat_ase_density(0.5f, 1.40919f, 193.61597f), 0.0f);  // below unit gain: no ASE
}

TEST_F(Amplifier, FlatSpectrumPowerAndWindow) {
    // The ASE fills every bin of each polarisation; pp carries it over 0.8 / dt unless the field noise is off.
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
    // No ASE at 0 dB, with the noise off, or below 0 dB (given to fg_flat: oampfg takes it as a profile).
    for (const auto& [gain, noise_off] : {std::pair{0.0f, 0}, std::pair{5.0f, 1}, std::pair{-3.0f, 0}}) {
        fg_flat(gain, 2.81838f, noise_off, in, out, sin, sout);
        const double g = std::pow(10.0, gain / 10.0);
        for (int i = 0; i < kBins; ++i) ASSERT_NEAR(sout.ps[i], g * sin.ps[i], 1e-6 * sin.ps[i] + 1e-30) << gain << " " << i;
        EXPECT_NEAR(sout.pp, g * sin.pp, 1e-5) << gain;
    }
    oampfg({0.0f, "", 2.81838f, 0, ""}, in, out, sin, sout);
    EXPECT_EQ(sout.ps, sin.ps);  // unit gain: exactly the input
    EXPECT_EQ(sout.pp, sin.pp);
}

TEST_F(Amplifier, FixedOutputPowerGain) {
    struct Case {
        float p_in, target, max_gain;
        std::int32_t noise_off;
        double gain;  // 0: solves G p_in + (G - 1) A = target
    } cases[] = {
        {2.0f, 10.0f, 35.0f, 0, 0.0}, {0.01f, 10.0f, 35.0f, 0, 0.0},
        {1e-6f, 10.0f, 20.0f, 0, 100.0}, {0.0f, 10.0f, 20.0f, 1, 100.0},  // unreachable: G_max
        {2.0f, 0.5f, 35.0f, 0, 0.25}, {2.0f, 0.5f, 35.0f, 1, 0.25},      // below the input: attenuation without ASE
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

TEST_F(Amplifier, FixedOutputPowerRejectsATargetThatIsNotPositive) {
    const OampfpParams p{35.0f, "", 2.81838f, 0, "", 0.0f};
    in.ton = 10.0f * zzctrl.delt;
    begin_run_init();
    CaptureStderr();
    oampfp(p, in, out, sin, sout);
    EXPECT_EQ(GetCapturedStderr(),
              "Nodrix-E-Fixed output power optical amplifier. \n   The target output power must be positive.\n"
              "   Simulation will proceed, but the branch \n   after this block will be turned off\n");
    EXPECT_EQ(sout.iv, 0);
    EXPECT_EQ(sum(sout.ps), 0.0);
    std::int32_t nerr = 0;
    opxget(&nerr, nullptr);
    EXPECT_EQ(nerr, 1);
    for (int k = 1; k <= 20; ++k) {  // off in the per-sample pass, inside and outside the window
        begin_sample(k);
        oampfp(p, in, out, sin, sout);
        EXPECT_EQ(std::pair(sout.iv, sout.x.re), std::pair(0, 0.0f)) << k;
    }
}

TEST_F(Amplifier, FieldIsGainTimesInputWithoutNoise) {
    // 0 dB, noise off, or no field noise (optaux1): g x on both polarisations, keeping the third word.
    // While an amplifier ahead waits for its late input, the block after it must still find its own state.
    optcl_ctrl.npol = 2;
    const OampfgParams ahead{5.0f, "", 2.81838f, 1, ""};
    const InputWindow late{5.0f * zzctrl.delt, 15360.0f};
    TimeWindow out_ahead;
    OpticalSignal mid;
    for (const auto& [gain, noise_off, optaux1] : {std::tuple{0.0f, 0, 0}, std::tuple{5.0f, 1, 0}, std::tuple{5.0f, 0, 1}}) {
        optcl_ctrl.optaux1 = optaux1;
        const OampfgParams p{gain, "", 2.81838f, noise_off, ""};
        begin_run_init();
        oampfg(ahead, late, out_ahead, sin, mid);
        oampfg(p, in, out, sin, sout);
        const float g = std::pow(10.0f, 0.05f * gain);
        for (int k = 1; k <= 50; ++k) {
            begin_sample(k);
            sin.x = FieldSample{0.01f * k, -0.02f * k, 193.5f};
            sin.y = FieldSample{0.5f, 0.25f, 193.6f};
            oampfg(ahead, late, out_ahead, sin, mid);
            oampfg(p, in, out, sin, sout);
            ASSERT_EQ(words(sout.x), std::tuple(g * sin.x.re, g * sin.x.im, 193.5f)) << k;
            ASSERT_EQ(words(sout.y), std::tuple(g * sin.y.re, g * sin.y.im, 193.6f)) << k;
        }
    }
    // The fixed-output-power amplifier keeps the gain of its initialisation pass (twice the ASE for two polarisations).
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

TEST_F(Amplifier, FieldNoisePowerIsSOverDt) {
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

// Profile model ------------------------------------------------------------------

TEST_F(EdfaProfile, FileNames) {
    const std::pair<const char*, const char*> cases[] = {{"gain      ", "gain.DAT"}, {"gain__ _ ", "gain.DAT"},
        {"  my_gain__", "my_gain.DAT"}, {"a b ", "a b.DAT"}, {"     ", ""}, {"___", ""}};
    for (const auto& [name, file] : cases) EXPECT_EQ(converti_nome(name), file) << name;
}

TEST_F(EdfaProfile, SplineAndBadAbscissas) {
    // With the true end slopes the single-precision spline is the cubic itself; a profile is 0 outside its table.
    auto cubic = [](float x) { return 0.5f * x * x * x - x * x + 2.0f; };
    const float x[] = {0.0f, 0.7f, 1.5f, 2.0f, 3.1f, 4.0f};
    float y[6], y2[6];
    for (int i = 0; i < 6; ++i) y[i] = cubic(x[i]);
    spline(x, y, 6, 0.0f, 24.0f - 8.0f, y2);
    for (float v : {0.0f, 0.3f, 1.0f, 2.5f, 3.99f, 4.0f}) EXPECT_NEAR(splint(x, y, y2, 6, v), cubic(v), 2e-5f) << v;
    ProfileTable table{{x, x + 6}, {y, y + 6}, {y2, y2 + 6}};
    EXPECT_NEAR(table.at(2.5f), cubic(2.5f), 2e-5f);
    EXPECT_EQ(table.at(-0.01f), 0.0f);
    EXPECT_EQ(table.at(4.01f), 0.0f);
    // A repeated abscissa: finite curvatures, the report and the left value there.
    const float xr[] = {1.0f, 2.0f, 2.0f}, yr[] = {1.0f, 5.0f, 7.0f};
    float y2r[3];
    spline(xr, yr, 3, 1e30f, 1e30f, y2r);
    for (float v : y2r) EXPECT_TRUE(std::isfinite(v));
    CaptureStderr();
    EXPECT_EQ(splint(xr, yr, y2r, 3, 2.0f), 5.0f);
    EXPECT_EQ(GetCapturedStderr(), "Nodrix-W-bad xa input in splint\n");
    EXPECT_NEAR(splint(xr, yr, y2r, 3, 1.5f), 3.0f, 1e-6f);
}

TEST_F(EdfaProfile, DataFiles) {
    // The data end at a line without two finite numbers.
    testing::write_text("ok.DAT", "# header\n x ## not a marker\n##\n1550.0 20.0\n\n1560.5, 18.5\n1570 17 extra\n1580 nan\n1590 10\n");
    ProfileData d = read_profile_file("ok.DAT");
    EXPECT_EQ(d.status, ProfileData::Status::kRead);
    EXPECT_EQ(d.wavelength, (std::vector<float>{1550.0f, 1560.5f, 1570.0f}));
    EXPECT_EQ(d.value, (std::vector<float>{20.0f, 18.5f, 17.0f}));
    // Increasing wavelength becomes increasing frequency; dB or linear values.
    EXPECT_FLOAT_EQ(profile_table(d, false).f[0], float(kC / 1570.0));
    EXPECT_FLOAT_EQ(profile_table(d, false).v[0], std::pow(10.0f, 1.7f));
    EXPECT_EQ(profile_table(d, true).v[2], 20.0f);
    // At most 2000 pairs: 2001 are warned and cut, exactly 2000 are not.
    for (int count : {2001, 2000}) {
        std::string big = "##\n";
        for (int k = 0; k < count; ++k) big += std::to_string(1500.0 + 0.05 * k) + " 1.0\n";
        testing::write_text("big.DAT", big);
        CaptureStderr();
        EXPECT_EQ(read_profile_file("big.DAT").wavelength.size(), 2000u);
        EXPECT_EQ(GetCapturedStderr(), count > 2000 ? "Nodrix-W-edfa optical amplifier \n  too many points in data file\n"
                                                      "  continuing with a smaller number\n" : "");
    }
    testing::write_text("nomark.DAT", "# header\n1550 20\n1560 20\n");
    const std::pair<const char*, std::string> failures[] = {
        {"nomark.DAT", "Nodrix-W-edfa optical amplifier \n  no ## marker line in data file nomark.DAT\n"},
        {"absent.DAT", "Nodrix-E-edfa optical amplifier \n  cannot open data file absent.DAT\n"}};
    for (const auto& [file, message] : failures) {
        CaptureStderr();
        d = read_profile_file(file);
        EXPECT_EQ(GetCapturedStderr(), message + "  the amplifier and the branch after it are turned off\n");
        EXPECT_EQ(d.status, file[0] == 'n' ? ProfileData::Status::kNoMarker : ProfileData::Status::kCannotOpen);
        EXPECT_TRUE(d.wavelength.empty());
    }
}

TEST_F(EdfaProfile, SmoothExcessGain) {
    EXPECT_EQ(smooth_excess_gain(0.0f), 0.0f);
    EXPECT_LT(smooth_excess_gain(0.5f), 1e-3f);
    EXPECT_NEAR(smooth_excess_gain(1.0f), std::pow(2.0, 0.125) - 1.0, 1e-6);
    for (float g : {2.0f, 10.0f, 1000.0f, 1e5f, 1e7f})  // (G^8 beyond single precision from 1e5)
        EXPECT_NEAR(smooth_excess_gain(g), g - 1.0, std::pow(double(g), -7.0) / 8.0 + 4e-7 * g) << g;
}

TEST_F(EdfaProfile, UncoveredBinsGetNoGainAndLinearValuesGiveExactFactors) {
    // 20 dB over 190..197 THz only, NF 2: G ps + (h fc / 2) F w per bin, F = ((1 + G^8)^(1/8) - 1) NF = 99 NF.
    write_profile("partial.DAT", 190.0, 197.0, 0.25, [](double) { return 20.0; });
    optcl_ctrl.setuponly = 1;
    sin.ps.fill(0.01f);
    oampfg({-1.0f, "partial", 2.0f, 0, ""}, in, out, sin, sout);
    for (int i = 0; i < kBins; ++i) {
        const double f = flimit.fgridlo + (i + 0.5) * bin_width();
        if (f < 190.0 - 1e-4 || f > 197.0 + 1e-4) {
            ASSERT_EQ(sout.ps[i], 0.0f) << i;
        } else if (f > 190.01 && f < 196.99) {
            ASSERT_NEAR(sout.ps[i], 100.0 * 0.01 + kHalfPhoton * 99.0 * 2.0 * bin_width(), 2e-4) << i;
        }
    }
    // Coverage: 29 points inside the band suffice, 9 do not; a gain file without its marker turns the branch off.
    EXPECT_TRUE(edfa_coverage(profile_table(read_profile_file("partial.DAT"), false), default_noise_figure_table(2.0f)));
    ProfileTable nine;
    for (int k = 0; k < 9; ++k) nine.f.push_back(189.0f + float(k));
    nine.v.assign(9, 2.0f);
    EXPECT_FALSE(edfa_coverage(default_gain_table(10.0f), nine));
    testing::write_text("nomark.DAT", "1550 20\n1560 20\n");
    CaptureStderr();
    oampfg({-1.0f, "nomark", 2.0f, 0, ""}, in, out, sin, sout);
    GetCapturedStderr();
    EXPECT_EQ(sout.iv, 0);
    EXPECT_EQ(sout.ps[512], 0.0f);
    // Linear files (gain parameter -99): F = (G - 1) NF exactly at the points.
    write_profile("lin_gain.DAT", 180.0, 205.0, 0.5, [](double f) { return 30.0 + (f - 193.0); });
    write_profile("lin_nf.DAT", 180.0, 205.0, 1.0, [](double f) { return 2.0 + 0.1 * (f - 193.0); });
    const ProfileTable g = profile_table(read_profile_file("lin_gain.DAT"), true);
    const ProfileTable nf = profile_table(read_profile_file("lin_nf.DAT"), true);
    const EdfaShape s = edfa_shape(g, nf, true);
    for (int j = 0; j < nf.size(); ++j) ASSERT_EQ(s.factor.v[j], (g.at(nf.f[j]) - 1.0f) * nf.v[j]) << j;
    oampfg({-99.0f, "lin_gain", -1.0f, 0, "lin_nf"}, in, out, sin, sout);
    const float f = flimit.fgridlo + 512.5f * float(bin_width());
    EXPECT_NEAR(sout.ps[512], g.at(f) * 0.01 + kHalfPhoton * s.factor.at(f) * bin_width(), 1e-5);
}

// A gain of 20 dB +- 3 dB and a noise figure of 1.8 +- 0.3 over the grid.
EdfaShape smooth_shape() {
    write_profile("shape_g.DAT", 180.0, 207.0, 0.1, [](double f) { return 20.0 + 3.0 * std::sin(f / 1.3); });
    write_profile("shape_n.DAT", 180.0, 207.0, 0.2, [](double f) { return 1.8 + 0.3 * std::cos(f / 2.1); });
    return edfa_shape(profile_table(read_profile_file("shape_g.DAT"), false),
                      profile_table(read_profile_file("shape_n.DAT"), true), false);
}

cd hg[kEdfaResponseSize], hn[kEdfaResponseSize];

TEST_F(EdfaProfile, SynthesisedFiltersReproduceTheTargets) {
    // In the band |H_g|^2 = G and |H_n|^2 = F, real under the reported delay's linear phase; peak gain 10^2.3.
    const EdfaShape s = smooth_shape();
    float delay = 0.0f;
    const std::int32_t log2n = calcola_filtri_edfa(s, hg, hn, delay);
    ASSERT_GT(log2n, 0);
    const int n = 1 << log2n;
    const double dt = zdctrl.ddelt;
    int checked = 0;
    for (int k = 0; k < n; ++k) {
        const double fk = (k < n / 2 ? k : k - n) / (n * dt);
        const float f = float(193.61597 + fk);
        if (f < f_vbs_band.fbandlo || f > f_vbs_band.fbandhi) continue;
        ++checked;
        ASSERT_NEAR(std::norm(hg[k]), s.gain.at(f), 2e-3 * s.gain.at(f)) << k;
        ASSERT_NEAR(std::norm(hn[k]), s.factor.at(f), 2e-3 * s.factor.at(f)) << k;
        const cd undone = hg[k] * std::polar(1.0, kTwoPi * fk * (delay - n / 2 * dt));  // beyond the run-time latency
        ASSERT_NEAR(undone.imag(), 0.0, 2e-3 * std::abs(hg[k])) << k;
    }
    EXPECT_GT(checked, n / 2);
    float pg = 0.0f;
    maxvet_complex(hg, n, pg);
    EXPECT_NEAR(pg, std::pow(10.0, 2.3), 0.01 * std::pow(10.0, 2.3));
}

TEST_F(EdfaProfile, LengthErrorTurnsTheBranchOff) {
    // A gain peak 0.004 THz wide needs a response far longer than 4096 taps.
    EdfaShape s;
    s.gain.f = {180.0f};
    for (int k = -400; k <= 400; ++k) s.gain.f.push_back(193.61597f + 0.0005f * k);
    s.gain.f.push_back(210.0f);
    for (float f : s.gain.f) s.gain.v.push_back(1.0f + 1e6f * std::exp(-std::pow((f - 193.61597f) / 0.002f, 2.0f)));
    s.gain.v2.assign(s.gain.f.size(), 0.0f);
    spline(s.gain.f.data(), s.gain.v.data(), s.gain.size(), 1e30f, 1e30f, s.gain.v2.data());
    s.factor = default_noise_figure_table(1.0f);
    float delay = 1.0f;
    CaptureStderr();
    EXPECT_EQ(coedfa(s, zdctrl.ddelt, 193.61597f, hg, hn, delay), -1);
    EXPECT_EQ(GetCapturedStderr(),
              "Nodrix-E-EDFA Optical Amplifier. \n   The filter syntesis required to implement the \n"
              "   gain and/or noise figure was not possible\n   Please check the amplifier parameters\n"
              "   and the power of the signal at the input of \n   the amplifier.\n"
              "   Excessively large  or small  input powers may\n   cause numerical problems.\n");
    std::int32_t iv = 1, n = -1, log2n = -1;
    CaptureStderr();
    elabora_vet(-1.0f, s.gain, 0, default_noise_figure_table(2.0f), sin.ps.data(), sout.ps.data(), 1, iv, n, log2n,
                hg, hn, delay);
    GetCapturedStderr();
    EXPECT_EQ(iv, 0);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(delay, 0.0f);
}

TEST_F(EdfaProfile, OverlapAddEqualsDirectConvolution) {
    smooth_shape();
    const OampfgParams p{-1.0f, "shape_g", 1.8f, 0, ""};
    optcl_ctrl.optaux1 = 1;  // no noise: the gain filter alone
    optcl_ctrl.npol = 2;
    begin_run_init();
    oampfg(p, in, out, sin, sout);
    ASSERT_EQ(sout.iv, 1);
    const std::int32_t n = *ist_at(3);  // the first integer record: N, log2 N, counter
    const cd* h = zisd_at(3);           // the first complex area: H_g
    // The N/2 taps used, by a direct inverse DFT of the stored response.
    std::vector<cd> taps(n / 2), x;
    for (int t = 0; t < n / 2; ++t) {
        for (int k = 0; k < n; ++k) taps[t] += h[k] * std::polar(1.0, kTwoPi * k * t / n);
        taps[t] /= n;
    }
    double peak = 0.0;
    for (int k = 1; k <= 3 * n + 17; ++k) {
        begin_sample(k);
        x.emplace_back(float(std::sin(0.37 * k) + 0.2 * std::cos(2.1 * k)), float(0.5 * std::cos(0.11 * k * k)));
        sin.x = FieldSample{float(x.back().real()), float(x.back().imag()), 193.61597f};
        sin.y = FieldSample{float(x.back().imag()), float(-x.back().real()), 193.61597f};  // y = -j x
        oampfg(p, in, out, sin, sout);
        cd want = 0.0;
        for (int t = 0; t < n / 2 && (k - 1) - n / 2 - t >= 0; ++t) want += taps[t] * x[(k - 1) - n / 2 - t];  // N/2 behind
        peak = std::max(peak, std::abs(want));
        ASSERT_NEAR(sout.x.re, want.real(), 1e-5 * (1.0 + peak)) << k;
        ASSERT_NEAR(sout.x.im, want.imag(), 1e-5 * (1.0 + peak)) << k;
        ASSERT_NEAR(sout.y.re, want.imag(), 1e-5 * (1.0 + peak)) << k;
        ASSERT_NEAR(sout.y.im, -want.real(), 1e-5 * (1.0 + peak)) << k;
    }
    EXPECT_GT(peak, 1.0);
}

TEST_F(EdfaProfile, NoiseAndStorageOfTheRun) {
    testing::write_text("nf3.DAT", "##\n1500 3.0103\n1650 3.0103\n");  // 2.0 in dB
    const OampfgParams p{20.0f, "", -1.0f, 0, "nf3"};
    zzflmn.nohist = 0;
    oampfg(p, in, out, sin, sout);  // counting
    const std::int32_t counted = optcl_ctrl.memused;
    sin.x = FieldSample{0.0f, 0.0f, 193.61597f};
    begin_run_init();
    oampfg(p, in, out, sin, sout);
    const std::int32_t n = *ist_at(3);
    EXPECT_EQ(counted, 20 + 8 * (16 * n + 32) + 60);
    // White noise of h fc / 2 per sample and unit bandwidth through H_n: power (h fc / 2) / dt sum |h_n|^2.
    const cd* h_n = zisd_at(3 + n + 2);
    double taps_energy = 0.0;
    for (int k = 0; k < n; ++k) taps_energy += std::norm(h_n[k]) / n;
    const double expected = kHalfPhoton / zzctrl.delt * taps_energy;
    double power = 0.0;
    const int m = 40000;
    for (int k = 1; k <= m + n; ++k) {
        begin_sample(k);
        oampfg(p, in, out, sin, sout);
        if (k > n) power += double(sout.x.re) * sout.x.re + double(sout.x.im) * sout.x.im;
    }
    EXPECT_NEAR(power / m, expected, 0.05 * expected);
}

TEST_F(EdfaProfile, FixedOutputPowerLowersTheGain) {
    // 20 dB on 1 mW: lowered to a 50 mW target; never raised for 400 mW.
    optcl_ctrl.setuponly = 1;
    write_profile("g20.DAT", 180.0, 207.0, 0.5, [](double) { return 20.0; });
    for (const auto& [target, expected] : {std::pair{50.0f, 50.0}, std::pair{400.0f, 100.0}}) {
        oampfp({-1.0f, "g20", 2.0f, 1, "", target}, in, out, sin, sout);
        double total = 0.0;
        for (float v : sout.ps) total += v;
        EXPECT_NEAR(total, expected, 1e-5 * expected) << target;
    }
    // Linear files stay linear: gain 100, noise figure 2 (not 10^0.2); P_out summed in single precision.
    write_profile("g100.DAT", 180.0, 207.0, 0.5, [](double) { return 100.0; });
    write_profile("nf2.DAT", 180.0, 207.0, 0.5, [](double) { return 2.0; });
    oampfp({-99.0f, "g100", -1.0f, 0, "nf2", 50.0f}, in, out, sin, sout);
    const double ase = kHalfPhoton * bin_width() * 2.0;  // per unit of excess gain and bin
    const double g = 100.0 * 50.0 / (100.0 * 1.0 + 1024 * ase * 99.0);
    EXPECT_NEAR(sout.ps[510], g * sin.ps[510] + ase * (g - 1.0), 3e-5 * sout.ps[510]);
    EXPECT_NEAR(sout.ps[100], ase * (g - 1.0), 3e-5 * sout.ps[100]);
    // Without a gain file the temporary file carries the flat gain over the grid, lowered by 3 dB.
    oampfp({20.0f, "", -1.0f, 1, "nf2", 50.0f}, in, out, sin, sout);
    EXPECT_EQ(testing::read_text("K3TMPGN.DAT").substr(0, 43), "# TEMPORARY FILE FOR GAIN DATA EXCHANGE\n##\n");
    const ProfileData d = read_profile_file("K3TMPGN.DAT");
    ASSERT_EQ(d.wavelength.size(), 32u);
    EXPECT_FLOAT_EQ(d.wavelength.front(), 300000.0f / flimit.fgridhi - 40.0f);
    EXPECT_FLOAT_EQ(d.wavelength[1], 300000.0f / flimit.fgridhi);
    EXPECT_FLOAT_EQ(d.wavelength[30], 300000.0f / flimit.fgridlo);
    EXPECT_FLOAT_EQ(d.wavelength.back(), 300000.0f / flimit.fgridlo + 40.0f);
    for (float v : d.value) EXPECT_NEAR(v, 20.0 - 10.0 * std::log10(2.0), 1e-5);
}

TEST_F(EdfaProfile, TemporaryFilesGoAtTheEndOfTheRun) {
    for (int mode : {1, 0}) {  // in block mode they stay
        for (const char* f : {"K3TMPGN.DAT", "K3TMPFN.DAT", "K3TMPPN.DAT"}) testing::write_text(f, "x");
        optcl_ctrl.blkmode = mode;
        begin_sample(1);
        zzctrl.time = zzctrl.tend;
        sout.iv = 0;
        fg_gain_dep({-1.0f, "g", 2.0f, 0, ""}, in, out, sin, sout);
        for (const char* f : {"K3TMPGN.DAT", "K3TMPFN.DAT", "K3TMPPN.DAT"}) EXPECT_EQ(std::filesystem::exists(f), mode == 1) << f;
    }
}

}  // namespace
}  // namespace nodrix
