// The amplifiers: the uniform streams and Gaussian noise source, and the
// erbium-doped fibre amplifier blocks with the flat and the profile model.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <numeric>
#include <string>
#include <tuple>
#include <vector>

#include "kernel/run_context.h"
#include "kernel/signals.h"
#include "models/amplifiers/amplifier_noise.h"
#include "models/amplifiers/edfa.h"
#include "numerics/spline.h"
#include "models/amplifiers/edfa_profile.h"
#include "runtime/opxfile.h"
#include "tests/support/block_bench.h"
#include "tests/support/test_support.h"

namespace nodrix {
namespace {

using cd = std::complex<double>;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

constexpr double kH = 6.6260755e-22;
constexpr double kFc = 193.61597;
constexpr double kC = 299792.458;
constexpr double kHalfPhoton = kH * kFc * 5e14;  // h fc / 2 [mW/THz]

// The grid, band and time step of a run of the default settings.
const SimulationSettings kDefaultRun;
const double kGridWidth = kDefaultRun.grid.high_thz - kDefaultRun.grid.low_thz;

// The A of G p_in + (G - 1) A = target.
double ase_over_grid(double nf) { return 0.5 * nf * kH * kFc * kGridWidth * 1e15; }
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

// An amplifier made from its registry entry on the block bench, fed `light`.
struct Bench {
    Bench(const char* kind, const OpticalSignal& light, const SimulationSettings& settings = {})
        : bench(kind, settings),
          in(bench.input<OpticalSignal>("input")),
          out(bench.output<OpticalSignal>("output")) {
        in = light;
    }
    testing::BlockBench bench;
    OpticalSignal& in;
    const OpticalSignal& out;
};

class Amplifier : public testing::NodrixTest {
protected:
    void SetUp() override {
        NodrixTest::SetUp();
        testing::set_project_constants();
    }
    OpticalSignal sin = test_signal(2.0f);
};

// Noise source ------------------------------------------------------------------

constexpr std::int64_t kM = 2147483647;
constexpr std::int64_t kA[10] = {65539, 71335, 68771, 68773, 16807, 65539, 71335, 68771, 68773, 16807};

// a x mod (2^31 - 1) directly in 64 bits: the reference for the streams' Schrage form
// (for r > q, as for 68771, one correction is not always enough).
std::int64_t schrage(std::int64_t a, std::int64_t x) { return a * x % kM; }
float unit(std::int64_t x) { return float(x) * 4.656613e-10f; }

TEST_F(Amplifier, StreamsFollowSchrageEvenWhereOneCorrectionIsNotEnough) {
    // Stream 5, seed 458: x = 915; 16807 x = 15378405; 16807 * 15378405 = 120 (2^31 - 1) + 766815195.
    EXPECT_EQ(optrnd_seed_state(5, 458), 915);
    AmplifierStreams streams;
    EXPECT_EQ(optrnd(streams, 5, 1, 458), unit(15378405));
    EXPECT_EQ(optrnd(streams, 5, 2, 458), unit(766815195));
    for (int k = 1; k <= 10; ++k) {
        const std::int32_t seed = 100 * k + 7;
        std::int64_t x = 2 * seed - 1;
        for (int c = 1; c <= 2000; ++c) ASSERT_EQ(optrnd(streams, k, c, seed), unit(x = schrage(kA[k - 1], x))) << k << " " << c;
    }
}

using EdfaProfile = Amplifier;

// Flat model ---------------------------------------------------------------------

TEST_F(Amplifier, AseDensityByHandAndNoneBelowUnitGain) {
    // (3.16228 - 1) x 1.40919 x 6.6260755e-22 x 193.61597 x 1e15 = 3.909e-4 mW/THz.
    EXPECT_NEAR(flat_ase_density(std::pow(10.0f, 0.5f), 1.40919f, 193.61597f), 3.909e-4, 0.0005e-4);
    EXPECT_EQ(flat_ase_density(0.5f, 1.40919f, 193.61597f), 0.0f);  // below unit gain: no ASE
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
        Bench amp("amplifier_fixed_power", test_signal(c.p_in));
        amp.bench.set("max_gain_db", c.max_gain).set("output_power_mw", c.target).set("ase_off", c.noise_off);
        amp.bench.set("ase_polarisations", 1).set("noise_figure_definition", kNoiseFigureHighGain);
        ASSERT_TRUE(amp.bench.design().ok());
        const double a = c.noise_off ? 0.0 : ase_over_grid(2.81838);
        const double g = c.gain > 0.0 ? c.gain : (c.target + a) / (c.p_in + a);
        const double expected = g * c.p_in + (g > 1.0 ? (g - 1.0) * a : 0.0);
        EXPECT_NEAR(sum(amp.out.ps), expected, 2e-6 * expected + 1e-12) << c.p_in << " " << c.target;
        if (c.gain != 100.0) {
            EXPECT_NEAR(sum(amp.out.ps), c.target, 2e-6 * c.target) << c.p_in;
        }
    }
    EXPECT_NEAR(fixed_power_gain(4.0f, 0.01f, 1.0f, 100.0f), 0.25f, 1e-7f);  // not (1 + a) / (4 + a)
}

TEST_F(Amplifier, FixedOutputPowerGainWithTheExactNoiseFigureInBothPolarisations) {
    // Signal and ASE of both polarisations meet the target: G p_in + 2 n_sp(G) (G - 1) h fc span = target
    // with n_sp(G) = (F G - 1) / (2 (G - 1)), solved here by bisection.
    const double nf = 2.81838;
    const double photon_over_grid = kH * kFc * kGridWidth * 1e15;
    for (const double p_in : {2.0, 0.01}) {
        Bench amp("amplifier_fixed_power", test_signal(float(p_in)));
        amp.bench.set("max_gain_db", 35.0).set("output_power_mw", 10.0);
        ASSERT_TRUE(amp.bench.design().ok());
        auto total = [&](double g) { return g * p_in + 2.0 * (nf * g - 1.0) / 2.0 * photon_over_grid; };
        double lo = 1.0, hi = 3162.0;
        for (int k = 0; k < 200; ++k) (total(0.5 * (lo + hi)) < 10.0 ? lo : hi) = 0.5 * (lo + hi);
        // A bin without signal holds the ASE alone; one with signal adds G p_in / 24.
        const double ase_bin = (total(lo) - lo * p_in) / 1024.0;
        EXPECT_NEAR(amp.out.ps[0], ase_bin, 1e-5 * ase_bin) << p_in;
        EXPECT_NEAR((amp.out.ps[510] - amp.out.ps[0]) * 24.0 / p_in, lo, 1e-5 * lo) << p_in;
        EXPECT_NEAR(sum(amp.out.ps), 10.0, 2e-5) << p_in;
    }
}

TEST_F(Amplifier, FieldIsGainTimesInputWithoutNoise) {
    // At 0 dB, or with the noise off, no ASE reaches the field: g x on both
    // polarisations, keeping the third word.
    for (const auto& [gain, ase_off] : {std::tuple{0.0f, 0}, std::tuple{5.0f, 1}}) {
        Bench a("amplifier_fixed_gain", sin, {.polarisations = 2});
        a.bench.set("gain_db", gain).set("ase_off", ase_off);
        ASSERT_TRUE(a.bench.start().ok());
        const float g = std::pow(10.0f, 0.05f * gain);
        for (int k = 1; k <= 50; ++k) {
            a.in.x = FieldSample{0.01f * k, -0.02f * k, 193.5f};
            a.in.y = FieldSample{0.5f, 0.25f, 193.6f};
            a.bench.run(k);
            ASSERT_EQ(words(a.out.x), std::tuple(g * a.in.x.re, g * a.in.x.im, 193.5f)) << k;
            ASSERT_EQ(words(a.out.y), std::tuple(g * a.in.y.re, g * a.in.y.im, 193.6f)) << k;
        }
    }
}

TEST_F(Amplifier, AsePowerPerPolarisationIsNspHNuGMinusOneB) {
    // P_ASE = n_sp h nu (G - 1) B per polarisation over the simulated bandwidth B = 1 / dt, within 0.1 dB,
    // with n_sp = F / 2 or (F G - 1) / (2 (G - 1)); one field carries the polarisations the ASE fills.
    // The spectral description holds the same ASE over the grid.
    const double nf = 2.81838;
    struct Case {
        double gain_db;
        std::int32_t definition, polarisations;
    } cases[] = {{5.0, kNoiseFigureHighGain, 2}, {20.0, kNoiseFigureHighGain, 2}, {5.0, kNoiseFigureExact, 2},
                 {20.0, kNoiseFigureExact, 2},   {5.0, kNoiseFigureExact, 1}};
    for (const Case& c : cases) {
        sin.x = FieldSample{0.0f, 0.0f, 193.61597f};
        Bench a("amplifier_fixed_gain", sin);
        a.bench.set("gain_db", c.gain_db).set("noise_figure_definition", c.definition);
        a.bench.set("ase_polarisations", c.polarisations);
        ASSERT_TRUE(a.bench.start().ok());
        const double g = std::pow(10.0, c.gain_db / 10.0);
        const double n_sp = c.definition == kNoiseFigureExact ? (nf * g - 1.0) / (2.0 * (g - 1.0)) : nf / 2.0;
        const double dt = a.bench.context().time_step();
        const double per_polarisation = n_sp * kH * kFc * 1e15 * (g - 1.0) / dt;
        const int m = 100000;
        double power = 0.0;
        for (int k = 1; k <= m; ++k) {
            a.bench.run(k);
            power += double(a.out.x.re) * a.out.x.re + double(a.out.x.im) * a.out.x.im;
        }
        // |z|^2 of a complex Gaussian is exponential: relative standard error 1/sqrt(m), 0.0014 dB.
        EXPECT_NEAR(10.0 * std::log10(power / m / c.polarisations / per_polarisation), 0.0, 0.1) << c.gain_db;
        const double ase_bin = c.polarisations * per_polarisation * dt * kGridWidth / 1024.0;
        EXPECT_NEAR(a.out.ps[0], ase_bin, 1e-5 * ase_bin) << c.gain_db;
        EXPECT_EQ(a.out.y.re, 0.0f);  // one simulated field: y out stays the idle field
    }
}

TEST_F(Amplifier, DetectedQMeetsTheBeatNoiseClosedFormOfTwoPolarisations) {
    // Marks of G p_in and spaces of no light through an amplifier whose ASE fills both polarisations,
    // detected at 1 A/W over the whole simulated band: the signal beats with the co-polarised ASE alone.
    // With N = n_sp h nu (G - 1) / dt per polarisation the current's variance is 2 P N (signal-ASE)
    // plus N^2 per polarisation (ASE-ASE), so Q = (I1 - I0) / (s1 + s0) = P / (sqrt(2 P N + 2 N^2) + sqrt(2) N).
    // ASE of both polarisations beating in one field would double the variances: 3 dB (20 log) less.
    const double nf = 2.81838, g = 100.0;
    const double n_sp = (nf * g - 1.0) / (2.0 * (g - 1.0));
    for (const double p_in : {0.15, 0.03}) {
        double mean[2], variance[2];
        for (const int mark : {0, 1}) {
            sin.x = FieldSample{0.0f, 0.0f, 193.61597f};
            sin.y = sin.x;
            Bench amp("amplifier_fixed_gain", sin, {.orthogonal_ase = true});
            amp.bench.set("gain_db", 20.0).set("noise_figure_linear", nf);
            testing::BlockBench diode("photodiode", SimulationSettings{.orthogonal_ase = true});
            OpticalSignal& detected = diode.input<OpticalSignal>("input");
            const ElectricalSample& current = diode.output<ElectricalSample>("output");
            diode.set("shot_noise", 0.0).set("responsivity_a_per_w", 1.0);
            ASSERT_TRUE(amp.bench.start().ok());
            detected = amp.out;
            ASSERT_TRUE(diode.start().ok());
            amp.in.x.re = mark ? static_cast<float>(std::sqrt(p_in)) : 0.0f;
            const int m = 60000;
            double sum = 0.0, sum2 = 0.0;
            for (int k = 1; k <= m; ++k) {
                amp.bench.run(k);
                detected = amp.out;
                diode.run(k);
                sum += current.value;
                sum2 += double{current.value} * current.value;
            }
            mean[mark] = sum / m;
            variance[mark] = sum2 / m - mean[mark] * mean[mark];
        }
        const double n = n_sp * kH * kFc * 1e15 * (g - 1.0) / SimulationSettings{}.time_step_ps;  // [mW]
        const double p = g * p_in;
        const double closed = p / (std::sqrt(2.0 * p * n + 2.0 * n * n) + std::sqrt(2.0) * n);
        const double found = (mean[1] - mean[0]) / (std::sqrt(variance[1]) + std::sqrt(variance[0]));
        EXPECT_NEAR(20.0 * std::log10(found / closed), 0.0, 0.3) << p_in;
        EXPECT_NEAR(1e3 * mean[0], 2.0 * n, 0.02 * n) << p_in;  // the ASE of both polarisations detected
    }
}

// Profile model ------------------------------------------------------------------

// A gain of 20 dB +- 3 dB and a noise figure of 1.8 +- 0.3 over the grid.
EdfaShape smooth_shape() {
    write_profile("shape_g.DAT", 180.0, 207.0, 0.1, [](double f) { return 20.0 + 3.0 * std::sin(f / 1.3); });
    write_profile("shape_n.DAT", 180.0, 207.0, 0.2, [](double f) { return 1.8 + 0.3 * std::cos(f / 2.1); });
    return edfa_shape(profile_table(read_profile_file("shape_g.DAT"), false),
                      profile_table(read_profile_file("shape_n.DAT"), true), false);
}

cd hg[kEdfaResponseSize], hn[kEdfaResponseSize];
// The profile model's view of the default run settings.
const SimulationSettings kSettings;
const EdfaRun kRun{kSettings.grid.low_thz, kSettings.grid.high_thz, kSettings.band.low_thz, kSettings.band.high_thz,
                   kSettings.band.centre_thz, 1, double{kSettings.time_step_ps}};

TEST_F(EdfaProfile, SynthesisedFiltersReproduceTheTargets) {
    // In the band |H_g|^2 = G and |H_n|^2 = F, real under the reported delay's linear phase; peak gain 10^2.3.
    const EdfaShape s = smooth_shape();
    float delay = 0.0f;
    const std::int32_t log2n = calcola_filtri_edfa(s, hg, hn, delay, kRun);
    ASSERT_GT(log2n, 0);
    const int n = 1 << log2n;
    const double dt = static_cast<double>(kDefaultRun.time_step_ps);
    int checked = 0;
    for (int k = 0; k < n; ++k) {
        const double fk = (k < n / 2 ? k : k - n) / (n * dt);
        const float f = float(193.61597 + fk);
        if (f < kDefaultRun.band.low_thz || f > kDefaultRun.band.high_thz) continue;
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

TEST_F(EdfaProfile, NoisePowerIsTheNoiseFilterEnergyTimesHalfAPhoton) {
    // The ASE of both polarisations in the one simulated field: twice the noise of one.
    testing::write_text("nf3.DAT", "##\n1500 3.0103\n1650 3.0103\n");  // 2.0 in dB
    sin = test_signal(1.0f);
    sin.x = FieldSample{0.0f, 0.0f, 193.61597f};
    Bench a("amplifier_fixed_gain", sin);
    a.bench.set("gain_db", 20.0).set("noise_figure_linear", -1.0).set("noise_figure_profile_file", std::string("nf3"));
    ASSERT_TRUE(a.bench.start().ok());
    // Its state: N, log2 N, position; the eight areas of N; the noise pair's records.
    std::vector<std::int32_t> elements;
    const cd* h_n = nullptr;
    a.bench.block().claims().visit([&](SlotKind, const void* values, std::int32_t n) {
        if (elements.size() == 2) h_n = static_cast<const cd*>(values);
        elements.push_back(n);
    });
    ASSERT_EQ(elements.size(), 12u);
    const std::int32_t n = elements[1];
    EXPECT_EQ(elements, (std::vector<std::int32_t>{3, n, n, n, n, n, n, n, n, 1, 4, 4}));
    // White noise of h fc / 2 per sample and unit bandwidth through H_n: power (h fc / 2) / dt sum |h_n|^2.
    double taps_energy = 0.0;
    for (int k = 0; k < n; ++k) taps_energy += std::norm(h_n[k]) / n;
    const double expected = 2.0 * kHalfPhoton / a.bench.context().time_step() * taps_energy;
    double power = 0.0;
    const int m = 40000;
    for (int k = 1; k <= m + n; ++k) {
        a.bench.run(k);
        if (k > n) power += double(a.out.x.re) * a.out.x.re + double(a.out.x.im) * a.out.x.im;
    }
    EXPECT_NEAR(power / m, expected, 0.05 * expected);
}

}  // namespace
}  // namespace nodrix
