// The fibre block: actual length, carriers, loss profile and spectral face,
// the set-up of the reference span and grating, the dimensioning lines, the
// working files' life, the report, and the per-sample propagation of pulses
// and a CW against closed forms.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <complex>
#include <filesystem>
#include <functional>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

#include "numerics/filter_tables.h"
#include "kernel/control_blocks.h"
#include "kernel/storage.h"
#include "models/fibre/fibre_block.h"
#include "kernel/filexx.h"
#include "runtime/format.h"
#include "runtime/opxfile.h"
#include "runtime/record_file.h"
#include "tests/models/fibre/fibre_test_support.h"

namespace nodrix {
namespace {

namespace fs = std::filesystem;
using testing::read_text;
using Field = std::vector<std::complex<double>>;
using Cursors = std::array<std::int32_t, 9>;

struct Rig {
    FiberParams p;
    InputWindow in{0.0f, 15360.0f};
    TimeWindow out;
    OpticalSignal input;
    OpticalSignal output;
    Cursors cursors{};  // where this block's records start (per-instance history)
};

// The kernel's storage cursors.
std::array<std::int32_t*, 9> cursor_fields() {
    return {&zzsupv.h, &zzsupv.i, &zzsupv.c, &zzsupv.d, &zzsupv.z, &zzsupv.zd, &zzsupt.ht, &zzsupt.it, &zzsupt.ct};
}
void set_cursors(const Cursors& c) {
    for (std::size_t i = 0; i < c.size(); ++i) *cursor_fields()[i] = c[i];
}
Cursors current_cursors() {
    Cursors c;
    for (std::size_t i = 0; i < c.size(); ++i) c[i] = *cursor_fields()[i];
    return c;
}
constexpr Cursors kFirstCursors{1, 1, 1, 1, 1, 1, 1, 1, 1};

void call(Rig& r) { fiber1(r.p, r.in, r.out, r.input, r.output); }

// A call before the samples: the dimensioning (block mode), the filter
// writing (storage counted) or the initialisation (allocating, saving the set-up).
void setup_pass(Rig& r, std::int32_t blkmode, std::int32_t nohist, const Cursors& cursors = kFirstCursors) {
    zzctrl.pass = 0;
    optcl_ctrl.blkmode = blkmode;
    zzflmn.nohist = nohist;
    zzsupv.storephase = 1 - nohist;
    optcl_ctrl.memused = 0;
    set_cursors(cursors);
    r.cursors = cursors;
    call(r);
}
void dimensioning_pass(Rig& r) { setup_pass(r, 1, 1); }
void filter_pass(Rig& r) { setup_pass(r, 0, 1); }
void init_pass(Rig& r, const Cursors& cursors = kFirstCursors) { setup_pass(r, 0, 0, cursors); }

void set_sample(std::int32_t step) {
    zzctrl.pass = 1;
    zzctrl.step = step;
    zzctrl.time = static_cast<float>(step - 1) * zzctrl.delt;
    zdctrl.dtime = static_cast<double>(step - 1) * zdctrl.ddelt;
}

void sample(Rig& r) {
    set_cursors(r.cursors);
    call(r);
}

// Storage bytes the block asks for, from its layout: 13 saved integers and
// 2055 saved reals (when saving), then per step 3 integer and 7 double arrays,
// the coefficients, the buffer, the 4N work array and the overlap memories
// (complex doubles), 2 integer arrays per buffer and 2 integers of state.
std::int64_t expected_memused(bool saved, std::int64_t steps, std::int64_t ncoef, std::int64_t n, std::int64_t memlen,
                              std::int64_t nbuf) {
    std::int64_t bytes = saved ? (4 * 13 + 8) + (4 * 2055 + 8) : 0;
    bytes += 3 * (4 * steps + 8) + 7 * (8 * steps + 16);
    bytes += (16 * ncoef + 32) + (16 * n + 32) + (16 * 4 * n + 32) + (16 * memlen + 32);
    return bytes + 2 * (4 * nbuf + 8) + (4 * 2 + 8);
}

FiberParams reference_span_params() {
    FiberParams p;
    p.title = "Fiber span 120 km";
    p.name = "sim_160G_FBR0073";
    p.ipar[0] = 73;
    p.ipar[2] = 1;
    p.ipar[12] = 1;
    const std::pair<int, float> r[] = {{1, 120.0f},   {3, 0.2f},    {6, -20.2205f}, {7, 0.147459f}, {11, 20.0f},
                                       {12, 1.26809f}, {13, 0.18f},  {14, 0.0122f},  {15, 0.032f},   {16, 299.792f},
                                       {18, 206.616f}, {19, 1.2f},   {21, 80.0f},    {22, -1.0f},    {23, 120.0f},
                                       {26, 300.0f},   {27, 121.0f}};
    for (const auto& [w, v] : r) p.rpar[static_cast<std::size_t>(w - 1)] = v;
    p.lossf = " ";
    return p;
}

FiberParams reference_grating_params() {
    FiberParams p;
    p.title = "Dispersion compensating grating";
    p.name = "sim_160G_GRT0074";
    p.ipar[0] = 74;
    p.rpar[0] = 1.0f;
    p.rpar[5] = 2448.86f;
    p.rpar[10] = 1e6f;
    p.rpar[26] = 121.0f;
    return p;
}

// A block fed with sixteen 1 mW carriers 50 bins apart around the centre, as the combined lasers bring them.
Rig sixteen_carriers(const FiberParams& p) {
    Rig r;
    r.p = p;
    for (std::size_t c = 0; c < 16; ++c) r.input.ps[512 - 375 + 50 * c] = 1.0f;
    r.input.pp = 16.0f;
    r.input.iv = 1;
    r.input.x = r.input.y = empty_field();
    return r;
}

// A sampling grid of 1024 bins over 1/dt around the centre frequency.
void use_time_step(float dt) {
    zzctrl.delt = dt;
    zdctrl.ddelt = dt;
    flimit.fgridlo = f_vbs_band.fcenter - 0.5f / dt;
    flimit.fgridhi = f_vbs_band.fcenter + 0.5f / dt;
}

// A fibre carrying one carrier at the centre frequency.
struct OneCarrier {
    const char* title;
    std::int32_t number;
    bool nonlinear = true;
    // km, dB/km, ps2/km, 1/W/km, input window [ps], carrier and total power [mW]
    float length = 0.0f, loss = 0.0f, beta2 = 0.0f, gamma = 0.0f, window = 0.0f, power = 1.0f, total = 1.0f;
};

Rig one_carrier_fibre(const OneCarrier& f) {
    Rig r;
    r.p.title = f.title;
    r.p.ipar[0] = f.number;
    r.p.ipar[2] = f.nonlinear ? 1 : 0;
    r.p.rpar[0] = f.length;
    r.p.rpar[2] = f.loss;
    r.p.rpar[5] = f.beta2;
    r.p.rpar[11] = f.gamma;
    r.p.rpar[26] = 121.0f;
    r.in = InputWindow{0.0f, f.window};
    r.input.ps[512] = f.power;
    r.input.pp = f.total;
    r.input.iv = 1;
    return r;
}

// A linear fibre of 2.1 km with beta2 = 1500 ps2/km at dt = 1 ps: four steps of 8192-tap filters.
Rig dispersive_fibre() {
    use_time_step(1.0f);
    Rig r = one_carrier_fibre(
        {.title = "Dispersive test fibre", .number = 5, .nonlinear = false, .length = 2.1f, .beta2 = 1500.0f, .window = 1000.0f});
    r.p.name = "test_fiber_5";
    r.p.ipar[11] = 2;
    return r;
}

double gaussian(double t, double t0, double width) { return std::exp(-0.5 * std::pow((t - t0) / width, 2)); }

// Runs a chain of blocks sample by sample to `last`, the first fed with the
// real field pulse(t); returns the input field and each block's output
// field. `each(step)` looks at every sample.
std::vector<Field> run(const std::vector<Rig*>& chain, std::int32_t last, const std::function<double(double)>& pulse,
                       const std::function<void(std::int32_t)>& each = nullptr) {
    std::vector<Field> fields(chain.size() + 1);
    for (std::int32_t step = 1; step <= last; ++step) {
        set_sample(step);
        chain[0]->input.x = {static_cast<float>(pulse(zzctrl.time)), 0.0f, f_vbs_band.fcenter};
        fields[0].emplace_back(chain[0]->input.x.re, 0.0);
        for (std::size_t i = 0; i < chain.size(); ++i) {
            if (i > 0) chain[i]->input.x = chain[i - 1]->output.x;
            sample(*chain[i]);
            fields[i + 1].emplace_back(chain[i]->output.x.re, chain[i]->output.x.im);
        }
        if (each) each(step);
    }
    return fields;
}

// Pulse statistics of |E|^2 samples 1 ps apart.
struct Moments {
    double energy = 0.0, centre = 0.0, rms = 0.0;
    explicit Moments(const Field& e) {
        double s2 = 0.0;
        for (std::size_t i = 0; i < e.size(); ++i) {
            const double p = std::norm(e[i]), t = static_cast<double>(i);
            energy += p;
            centre += p * t;
            s2 += p * t * t;
        }
        centre /= energy;
        rms = std::sqrt(s2 / energy - centre * centre);
    }
};

// T1 / T0 of a chirp-free Gaussian after an accumulated dispersion beta2 z: sqrt(1 + (beta2 z / T0^2)^2).
double broadening(double beta2z, double width) { return std::sqrt(1.0 + std::pow(beta2z / (width * width), 2)); }

std::vector<std::string> lines_of(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}

class FibreBlock : public testing::FibreTest {
protected:
    // The dimensioning pass with its split lines written to the dimensioning file; returns them.
    std::string dimension(Rig& r) {
        r.p.memfile = open_memfile();
        dimensioning_pass(r);
        return memfile_text(r.p.memfile);
    }
    static std::vector<std::string> files_here() {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(".")) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

// ---------------------------------------------------------------------------
// Parts of the set-up

TEST_F(FibreBlock, ActualLength) {
    std::int32_t unit = 0;
    opnfil("om000073", kUnformattedUnknown, unit, 8);
    // k = 24 draws from stream ((24 mod 10) + 7) mod 10 + 1 = 2, seed 124, after 300 warm-up draws.
    const float la = evalen(24, unit, 120.0f, 5.0f);
    std::int64_t x = 2 * 124 - 1;
    for (int i = 0; i < 301; ++i) x = 71335 * x % 2147483647;
    EXPECT_EQ(la, 120.0f + (static_cast<float>(x) * 4.656613e-10f - 0.5f) * 5.0f * 120.0f * 0.02f);
    EXPECT_NE(la, 120.0f);
    clodev(unit, 0);
    std::vector<unsigned char> expected;
    testing::put_i32(expected, 4);
    testing::put_f32(expected, la);
    testing::put_i32(expected, 4);
    EXPECT_EQ(testing::read_bytes("om000073.DAT"), expected);
    // Seed of the stream 0: the nominal length.
    seeds[1] = 0;
    opnfil("om000073", kUnformattedUnknown, unit, 8);
    EXPECT_EQ(evalen(24, unit, 120.0f, 5.0f), 120.0f);
    clodev(unit, 1);
}

// Carriers counted at 0.01 THz resolution in `s`, with `lines` put over it.
void expect_carriers(std::array<float, kBins> s, std::initializer_list<std::pair<std::size_t, float>> lines, std::int32_t count,
                     float power) {
    for (const auto& [bin, value] : lines) s[bin] = value;
    std::int32_t n = 0;
    float total = 0.0f;
    numcha(0.01f, s.data(), n, total);
    EXPECT_EQ(n, count);
    if (power == 0.0f) EXPECT_EQ(total, 0.0f);
    else EXPECT_FLOAT_EQ(total, power);
}

TEST_F(FibreBlock, SpectrumSmoothingAndCarriers) {
    // Grid of 1024 bins of 0.03 THz: resolution 0.1 THz gives w = 3, h = 2.
    flimit.fgridlo = 178.0f;
    flimit.fgridhi = 178.0f + 1024 * 0.03f;
    f_vbs_band.fcenter = 178.0f + 512 * 0.03f;
    std::array<float, kBins> in{};
    std::array<float, kBins> out{};
    in[499] = 8.0f;  // bin 500
    spemed(0.1f, in.data(), out.data());
    for (std::size_t j = 1; j <= kBins; ++j) EXPECT_EQ(out[j - 1], (j >= 495 && j <= 498) ? 2.0f : 0.0f) << j;  // j+2 .. j+5 hold bin 500

    // At a resolution of 0.01 THz: three carriers over a low floor, a weak bump
    // only 3 dB above its valley, and a strong line outside fc +- 0.4/dt.
    use_time_step(0.0640443f);
    std::array<float, kBins> s{};
    s.fill(1e-4f);
    expect_carriers(s, {{300, 1.0f}, {512, 2.0f}, {700, 0.5f}, {600, 2e-4f}, {5, 10.0f}}, 3, 3.5f);
    // A carrier needs 4 dB on each side: two close lines with a shallow valley
    // between them do not count, and without a carrier the strongest bin is the one.
    expect_carriers(s, {{450, 1.0f}, {451, 0.6f}, {452, 0.9f}}, 1, 1.0f);
    // Gentle ripple (9.5 dB from valley to peak on both sides together): no carrier.
    for (std::size_t j = 0; j < kBins; ++j) s[j] = 1.0f + 0.5f * std::sin(0.1f * static_cast<float>(j));
    expect_carriers(s, {{777, 1.52f}}, 1, 1.52f);
    expect_carriers({}, {}, 1, 0.0f);  // nothing at all: one carrier of no power
}

TEST_F(FibreBlock, LossProfileFileAndSpectralFace) {
    FiberParams p = reference_span_params();
    p.title = "Span with measured loss";
    p.ipar[20] = 1;
    p.lossf = "loss.txt   ";
    testing::write_text("loss.txt", "Measured loss of the span\nfrequency  loss\n## data\n186.0 0.30\n190.0, 0.22\n190.0 0.50\n\n"
                                    "194.0\n  0.19 extra\n198.0 0.21\n202.0 0.26\nend of data\n");
    LossProfile profile;
    EXPECT_EQ(testing::stderr_of([&] { EXPECT_TRUE(read_loss_profile(p, profile)); }),
              "Nodrix-W-User defined loss profile at Span with measured loss\n"
              "     the frequency value 190.000000         \n"
              "     in the data file is repeated \n"
              "     continuing using only the first occurence \n");
    ASSERT_EQ(profile.f.size(), 5u);
    EXPECT_EQ(profile.f[2], 194.0);
    EXPECT_EQ(profile.loss[2], 0.19);
    EXPECT_EQ(profile.loss[1], 0.22);
    EXPECT_NEAR(profile.value(198.0), 0.21, 1e-12);
    EXPECT_TRUE(fs::exists("loss.txt"));

    // The spectral face over the nominal length, bin by bin: with the profile,
    // then with 0.2 dB/km + slope and curvature around fc.
    OpticalSignal in;
    for (std::size_t j = 0; j < kBins; ++j) in.ps[j] = 1.0f + 0.001f * static_cast<float>(j);
    in.pp = 16.0f;
    OpticalSignal out;
    const float delta = (flimit.fgridhi - flimit.fgridlo) / 1024.0f;
    const auto expect_face = [&](std::initializer_list<std::size_t> bins, const std::function<double(double)>& loss, double tol) {
        for (std::size_t j : bins)
            EXPECT_NEAR(out.ps[j], in.ps[j] * std::pow(10.0, -12.0 * loss(flimit.fgridlo + (static_cast<double>(j) + 0.5) * delta)),
                        tol * out.ps[j]) << j;
    };
    fibre_spectrum(p, &profile, in.ps.data(), in.pp, out.ps.data(), out.pp);
    expect_face({0, 100, 512, 900, 1023}, [&](double f) { return profile.value(f); }, 2e-5);
    EXPECT_NEAR(out.pp, 16.0 * std::pow(10.0, -2.4), 1e-6);  // total power: the loss at the centre
    p.rpar[3] = 0.01f;
    p.rpar[4] = 0.002f;
    fibre_spectrum(p, nullptr, in.ps.data(), in.pp, out.ps.data(), out.pp);
    expect_face({0, 300, 511, 1023}, [&](double f) {
        const double df = f - f_vbs_band.fcenter;
        return 0.2 + 0.01 * df + 0.5 * 0.002 * df * df;
    }, 3e-5);

    // A missing file: an error, the loss coefficients instead, and no file made.
    p.lossf = "absent.txt";
    EXPECT_EQ(testing::stderr_of([&] { EXPECT_FALSE(read_loss_profile(p, profile)); }), "Nodrix-E-File absent.txt not found\n");
    EXPECT_FALSE(fs::exists("absent.txt"));
    EXPECT_TRUE(profile.f.empty());

    // Wavelengths: converted and put in rising frequency; the 4096th pair ends the reading.
    p.lossf = "loss.txt";
    p.ipar[21] = 1;
    std::string text = "##\n";
    for (int i = 0; i < 4100; ++i) text += std::to_string(1500.0 + 0.02 * i) + " 0.2\n";
    testing::write_text("loss.txt", text);
    EXPECT_EQ(testing::stderr_of([&] { EXPECT_TRUE(read_loss_profile(p, profile)); }),
              "Nodrix-W-User defined loss profile at Span with measured loss\n"
              "     too many points in data file \n"
              "     continuing with a smaller number \n");
    ASSERT_EQ(profile.f.size(), 4096u);
    EXPECT_NEAR(profile.f.front(), kLightSpeed / (1500.0 + 0.02 * 4095), 1e-9);
    EXPECT_NEAR(profile.f.back(), kLightSpeed / 1500.0, 1e-9);
}

TEST_F(FibreBlock, SpectrumOnlyWhenNoFieldTravels) {
    Rig r = sixteen_carriers(reference_span_params());
    for (std::size_t j = 0; j < kBins; ++j) r.input.gd[j] = 0.5f * static_cast<float>(j);
    r.input.iv = 0;
    r.output.gd.fill(-1.0f);
    optcl_ctrl.setuponly = 1;
    dimensioning_pass(r);
    EXPECT_EQ(r.output.iv, 0);
    EXPECT_EQ(optcl_ctrl.memused, 0);
    // Set-up only: the spectrum is attenuated, the delays are left alone.
    EXPECT_EQ(r.output.gd[10], -1.0f);
    EXPECT_NEAR(r.output.ps[137], std::pow(10.0, -2.4), 1e-7);
    EXPECT_NEAR(r.output.pp, 16.0 * std::pow(10.0, -2.4), 1e-6);
    optcl_ctrl.setuponly = 0;
    dimensioning_pass(r);
    EXPECT_EQ(r.output.gd, r.input.gd);
    EXPECT_EQ(r.output.x.re, 0.0f);
    EXPECT_EQ(r.output.x.fcenter, f_vbs_band.fcenter);
    EXPECT_TRUE(files_here().empty());
}

TEST_F(FibreBlock, RamanOptionsStopTheBlock) {
    Rig r = sixteen_carriers(reference_span_params());
    r.p.ipar[5] = 1;
    EXPECT_EQ(testing::stderr_of([&] { EXPECT_EQ(dimension(r), ""); }),
              "Nodrix-E-Raman amplification is not available in this program\nSimulation stopped\n");
    EXPECT_EQ(optcl_ctrl.memused, 0);
    std::int32_t errors = 0;
    std::int32_t warnings = 0;
    opxget(&errors, &warnings);
    EXPECT_EQ(errors, 1);
}

// ---------------------------------------------------------------------------
// The reference designs

TEST_F(FibreBlock, ReferenceSpanDimensioning) {
    Rig r = sixteen_carriers(reference_span_params());
    r.in.ton = 1000.0f;
    const std::vector<double> pieces = testing::split_pieces(dimension(r), 73);
    // Over the block limit: cut into pieces of consecutive steps.
    ASSERT_GT(optcl_ctrl.memused, r.p.memlim);
    EXPECT_GE(pieces.size(), 2u);
    EXPECT_NEAR(std::accumulate(pieces.begin(), pieces.end(), 0.0), 120.0, 1e-3 * static_cast<double>(pieces.size()));
    // The scratch working files are gone.
    EXPECT_EQ(files_here(), std::vector<std::string>{"x1_test.mem"});
    EXPECT_EQ(r.output.iv, 1);
    EXPECT_NEAR(r.output.pp, 16.0 * std::pow(10.0, -2.4), 1e-6);

    // The accumulated delay follows beta2 L w + beta3 L w^2 / 2 plus whole-sample centring delays.
    const double dt = zdctrl.ddelt;
    std::vector<double> residual;
    for (std::size_t j = 0; j < kBins - 1; ++j) {
        const double w = kPi * (-1.0 + 2.0 * static_cast<double>(j) / 1024.0) / dt;
        residual.push_back(r.output.gd[j] - (-20.2205 * 120.0 * w + 0.147459 * 120.0 * w * w / 2.0));
    }
    const double centring = residual[512];
    for (double v : residual) EXPECT_NEAR(v, centring, 0.05);  // float delays of ~1e5 ps
    EXPECT_NEAR(centring / dt, std::round(centring / dt), 0.2);
    EXPECT_EQ(r.output.gd[1023], r.output.gd[1022]);
    // The output window from the extreme delays over bins 103..923.
    float dmin = 0.0f;
    float dmax = 0.0f;
    opx_gd_minvet(r.output.gd.data(), dmin);
    opx_gd_maxvet(r.output.gd.data(), dmax);
    const float n_dt = 8192.0f * zzctrl.delt;
    EXPECT_NEAR(r.out.tgoodi, 1000.0f + n_dt + dmax, 0.05f);
    EXPECT_NEAR(r.out.toff, r.out.tgoodi + 15360.0f, 0.05f);
    EXPECT_NEAR(r.out.tgoodf, 1000.0f + 15360.0f + n_dt + dmin, 0.05f);
    EXPECT_NEAR(r.out.ton, r.out.tgoodf - 15360.0f, 0.05f);
}

TEST_F(FibreBlock, ReferenceGratingDimensioning) {
    Rig r = sixteen_carriers(reference_grating_params());
    const std::string text = dimension(r);
    const std::int32_t memused = optcl_ctrl.memused;
    // 598 filters of 8192 taps: 598 x 16384 coefficients, N = 8192.
    const std::int64_t nbuf = (std::llround((r.out.toff - r.in.ton) / zzctrl.delt) + 1) / 8192;
    EXPECT_EQ(memused, expected_memused(false, 598, 598 * 16384, 8192, 598 * 8192, nbuf));
    // Pieces as the block limit allows: s = 2 (memused div 598) per step, (count + 1) s < memlim.
    const std::int64_t per_piece = (r.p.memlim - 1) / (2 * (memused / 598));
    const std::int64_t pieces = (598 + per_piece - 1) / per_piece;
    const std::string pad(38, ' ');
    std::string expected = "fiber " + fmt::I(74, 12) + pad + "\n" + "numsplit " + fmt::I(pieces, 12) + pad + "\n";
    for (std::int64_t i = 0; i < pieces; ++i) {
        const std::int64_t steps = std::min<std::int64_t>(per_piece, 598 - i * per_piece);
        expected += "length " + fmt::E(static_cast<double>(steps) / 598.0, 12, 5) + pad + "\n";
    }
    EXPECT_EQ(text, expected);
    // The grating compensates 2448.86 ps2/km over its kilometre.
    for (std::size_t j : {200, 512, 800}) {
        const double w = kPi * (-1.0 + 2.0 * static_cast<double>(j) / 1024.0) / zzctrl.delt;
        EXPECT_NEAR(r.output.gd[j] - r.output.gd[512], 2448.86 * w, 0.05) << j;
    }
}

TEST_F(FibreBlock, MoreThanFiftyThousandStepsContinueWithADummy) {
    Rig r = sixteen_carriers(reference_grating_params());
    r.p.rpar[5] = 244886.0f;  // 59704 steps
    EXPECT_EQ(dimension(r), "fiber           74\nnumsplit            2\nlength  0.50000E+00\nlength  0.50000E+00\n");
    // One step of 1e-6 km with beta2 = 0.1: a filter of 2^6 taps (the design
    // of that step), N = 64; its storage only, and no dimensioning lines.
    const std::int64_t nbuf = (std::llround((r.out.toff - r.in.ton) / zzctrl.delt) + 1) / 64;
    EXPECT_EQ(optcl_ctrl.memused, expected_memused(false, 1, 128, 64, 64, nbuf));
    EXPECT_EQ(files_here(), std::vector<std::string>{"x1_test.mem"});
}

TEST_F(FibreBlock, StepsLargerThanTheLimitArePiecesOfTheirOwn) {
    // Four equal steps (linear element, dt = 1 ps).
    use_time_step(1.0f);
    Rig r = sixteen_carriers(reference_grating_params());
    r.p.ipar[0] = 5;
    r.p.rpar[0] = 2.1f;
    r.p.rpar[5] = 1500.0f;
    r.in.twinin = 1000.0f;
    const auto lines_at = [&](std::int32_t limit) {
        r.p.memlim = limit;
        return dimension(r);
    };
    EXPECT_EQ(lines_at(1 << 30), "");  // within the limit: no lines
    const std::int32_t memused = optcl_ctrl.memused;
    // A piece holds steps while (count + 1) s < limit, with s twice a step's
    // share: a limit below s, or just below the whole, gives one step each.
    const std::string expected = testing::padded_lines({"fiber            5", "numsplit            4", "length  0.52500E+00",
                                                        "length  0.52500E+00", "length  0.52500E+00", "length  0.52500E+00"});
    EXPECT_EQ(lines_at(static_cast<std::int32_t>(2 * (memused / 4) - 1)), expected);
    EXPECT_EQ(lines_at(memused - 1), expected);
}

// ---------------------------------------------------------------------------
// Runs sample by sample

TEST_F(FibreBlock, GaussianPulseBroadensAsInTheory) {
    Rig r = dispersive_fibre();
    filter_pass(r);
    // The working files of the run are on disk; the report is not written yet.
    for (const char* f : {"om000005.DAT", "o1000005.DAT", "o4000005.DAT", "o7000005.DAT", "os000005.DAT"})
        EXPECT_TRUE(fs::exists(f)) << f;
    EXPECT_FALSE(fs::exists("test_fiber_5.DAT"));
    const std::int32_t counted = optcl_ctrl.memused;
    init_pass(r);
    const std::int32_t memused = optcl_ctrl.memused;  // allocating: the records handed out
    EXPECT_TRUE(fs::exists("test_fiber_5.DAT"));
    EXPECT_TRUE(fs::exists("om000005.DAT"));

    const double width = 30.0;  // T0 [ps]
    std::int32_t dark_after = 0;
    const auto fields = run({&r}, static_cast<std::int32_t>(r.out.toff) + 200,
                            [&](double t) { return t < 1000.0 ? gaussian(t, 500.0, width) : 0.0; },
                            [&](std::int32_t step) {
                                if (step == 1) {  // the first call loaded the filters and removed the working files
                                    EXPECT_FALSE(fs::exists("o4000005.DAT"));
                                    EXPECT_FALSE(fs::exists("om000005.DAT"));
                                }
                                EXPECT_EQ(r.output.x.fcenter, f_vbs_band.fcenter);
                                if (step <= 8192) {
                                    EXPECT_EQ(r.output.x.re, 0.0f) << "the first N samples are the initial buffer";
                                }
                                if (zzctrl.time >= r.out.toff && (r.output.x.re != 0.0f || r.output.x.im != 0.0f)) ++dark_after;
                            });
    EXPECT_EQ(dark_after, 0);
    const Moments mi(fields[0]);
    const Moments mo(fields[1]);
    const double factor = broadening(1500.0 * static_cast<double>(2.1f), width);
    EXPECT_NEAR(mo.rms / mi.rms, factor, 0.01 * factor);
    EXPECT_NEAR(mo.energy, mi.energy, 1e-3 * mi.energy);
    // Delay: the buffer of N samples plus the fibre's delay at the centre frequency.
    EXPECT_NEAR(mo.centre - mi.centre, 8192.0 + r.output.gd[512], 1.0);

    // Nothing is left but the report; no unit stays open.
    EXPECT_EQ(files_here(), std::vector<std::string>{"test_fiber_5.DAT"});
    for (std::int32_t u = kFirstRegistryUnit; u <= kLastUnit; ++u) EXPECT_FALSE(unit_registered(u)) << u;
    // The report of level 2. Carrier power: the smoothed carrier (eleven bins of 1/11 at this grid) summed.
    float dmax = 0.0f;
    opx_gd_maxvet(r.output.gd.data(), dmax);
    float carrier = 0.0f;
    for (int i = 0; i < 11; ++i) carrier += 1.0f / 11.0f;
    // The filter precision of the block: 10^((log10(1.2 L / (n Lsys)) - 0.66) 1.0667 - 0.5), as reported.
    const std::string report = read_text("test_fiber_5.DAT");
    const std::string precision_label = "   Filter precision (dmfraz) =";
    const auto at = report.find(precision_label);
    ASSERT_NE(at, std::string::npos);
    const double precision = std::strtod(report.c_str() + at + precision_label.size(), nullptr);
    EXPECT_NEAR(precision,
                std::pow(10.0, (std::log10(static_cast<double>(1.2f) * static_cast<double>(2.1f) / (4.0 * 121.0)) - 0.66) *
                                       1.0666666666666667 - 0.5),
                1e-12);
    const std::vector<std::string> expected = {
        fmt::A("Dispersive test fibre", 50),
        "",
        " Begin of fiber block informations",
        "   Fiber span number 5",
        " P    Actual length [Km] = 2.09999990",
        " P    Number of detected carriers = 1",
        " P    Average power per carrier [mW] =" + fmt::list_real(carrier),
        " P    Input peak power [mW] = 1.00000000",
        " P    Number of steps = 4",
        " P    Minimum step size [Km] = 0.52499997615814209",
        " P    Maximum step size [Km] = 0.52499997615814209",
        precision_label + fmt::list_double(precision),
        " P    Average dispersion [ps2/km] =" + fmt::list_real(static_cast<float>(1500.0 * static_cast<double>(2.1f)) / 2.1f),
        "   Buffer size = 8192",
        "   On instant of the output [ps] =" + fmt::list_real(r.out.ton),
        "   Good output start [ps] =" + fmt::list_real(8192.0f + dmax),
        "   Good output stop [ps] =" + fmt::list_real(r.out.tgoodf),
        "   Off instant of the output [ps] =" + fmt::list_real(r.out.toff),
        "   Allocated memory [bytes]" + fmt::list_int(memused),
        " End of fiber block informations",
        "",
    };
    EXPECT_EQ(lines_of(report), expected);
    const std::int64_t nbuf = (std::llround(r.out.toff - r.in.ton) + 1) / 8192;
    EXPECT_EQ(counted, expected_memused(false, 4, 4 * 16384, 8192, 4 * 8192, nbuf));
    // The set-up saved in this pass adds loci(13) and loch(2055).
    EXPECT_EQ(memused, counted + (4 * 13 + 8) + (4 * 2055 + 8));
}

TEST_F(FibreBlock, SpanThenGratingRestoresThePulse) {
    // Span: -1000 ps2/km over 2 km, as a (lossless, gamma 0) non-linear fibre;
    // grating: +1950 ps2/km over 1 km; residual -50 ps2.
    use_time_step(1.0f);
    Rig span = one_carrier_fibre({.title = "Span", .number = 11, .length = 2.0f, .beta2 = -1000.0f, .window = 600.0f});
    Rig grating = one_carrier_fibre({.title = "Grating", .number = 12, .nonlinear = false, .length = 1.0f, .beta2 = 1950.0f});
    filter_pass(span);
    grating.input = span.output;
    // The grating sees the whole interval in which the span's output lives.
    grating.in = InputWindow{span.out.ton, span.out.toff - span.out.ton};
    filter_pass(grating);
    init_pass(span);
    init_pass(grating, current_cursors());

    const double width = 20.0;
    const auto fields = run({&span, &grating}, static_cast<std::int32_t>(grating.out.toff) + 10,
                            [&](double t) { return t < 600.0 ? gaussian(t, 300.0, width) : 0.0; });
    const Moments mi(fields[0]);
    const Moments mo(fields[2]);
    const double residual = broadening(50.0, width);
    EXPECT_NEAR(Moments(fields[1]).rms / mi.rms, broadening(2000.0, width), 0.01 * broadening(2000.0, width));
    EXPECT_NEAR(mo.rms / mi.rms, residual, 0.01 * residual);
    EXPECT_NEAR(mo.energy, mi.energy, 2e-3 * mi.energy);
    // The restored pulse keeps its shape: peak power as the residual dispersion allows.
    double peak = 0.0;
    for (const auto& v : fields[2]) peak = std::max(peak, std::norm(v));
    EXPECT_NEAR(peak, 1.0 / residual, 0.01);
    EXPECT_EQ(files_here(), std::vector<std::string>{});
}

TEST_F(FibreBlock, GrowingStepsPropagateAsOneDispersion) {
    // A lossy fibre whose steps are set by a strong total power (equal
    // non-linear phase, growing along the fibre) and a weak carrier (four-wave
    // mixing negligible), carrying a weak pulse: dispersion and loss as for one fibre.
    use_time_step(1.0f);
    Rig r = one_carrier_fibre({.title = "Growing steps", .number = 6, .length = 3.0f, .loss = 3.0f, .beta2 = 1500.0f,
                               .gamma = 1.3f, .window = 800.0f, .total = 1000.0f});
    filter_pass(r);
    // The steps from "o1": growing lengths and filters of more than one size.
    std::FILE* o1 = std::fopen("o1000006.DAT", "rb");
    ASSERT_NE(o1, nullptr);
    std::vector<double> lengths;
    std::vector<std::int32_t> exponents;
    std::int32_t k = 0;
    double alpha = 0.0, gamma = 0.0, h = 0.0;
    while (records::read_values(o1, k, alpha, gamma, h)) {
        lengths.push_back(h);
        exponents.push_back(k);
    }
    std::fclose(o1);
    ASSERT_GT(lengths.size(), 50u);
    EXPECT_GT(lengths.back(), 2.0 * lengths.front());
    EXPECT_NE(*std::min_element(exponents.begin(), exponents.end()), *std::max_element(exponents.begin(), exponents.end()));
    init_pass(r);

    const double width = 40.0;
    const auto fields = run({&r}, static_cast<std::int32_t>(r.out.toff) + 10,
                            [&](double t) { return t < 800.0 ? 1e-3 * gaussian(t, 400.0, width) : 0.0; });
    const Moments mi(fields[0]);
    const Moments mo(fields[1]);
    const double factor = broadening(1500.0 * 3.0, width);
    EXPECT_NEAR(mo.rms / mi.rms, factor, 0.01 * factor);
    EXPECT_NEAR(mo.energy / mi.energy, std::pow(10.0, -0.3 * 3.0), 1e-3);
}

TEST_F(FibreBlock, ContinuousWaveTakesTheKerrPhaseAndTheLoss) {
    // 10 km, 0.2 dB/km, gamma 1.3 /W/km, no dispersion, 100 mW.
    Rig r = one_carrier_fibre(
        {.title = "Kerr test fibre", .number = 8, .length = 10.0f, .loss = 0.2f, .gamma = 1.3f, .window = 200.0f, .power = 100.0f, .total = 100.0f});
    filter_pass(r);
    init_pass(r);
    const double alpha = static_cast<double>(0.2f) / (20.0 * std::log10(std::exp(1.0)));
    const double leff = (1.0 - std::exp(-2.0 * alpha * 10.0)) / (2.0 * alpha);
    int checked = 0;
    run({&r}, static_cast<std::int32_t>(r.out.toff / zzctrl.delt) + 5, [](double t) { return t < 200.0 ? 10.0 : 0.0; },
        [&](std::int32_t) {
            const float t = zzctrl.time;
            if (t <= r.out.tgoodi + 5.0f || t >= r.out.tgoodf - 5.0f) return;
            const std::complex<double> e(r.output.x.re, r.output.x.im);
            EXPECT_NEAR(std::norm(e), 100.0 * std::exp(-2.0 * alpha * 10.0), 2e-4);
            EXPECT_NEAR(std::arg(e), -1.3e-3 * 100.0 * leff, 1e-5);
            ++checked;
        });
    EXPECT_GT(checked, 2000);
}

// ---------------------------------------------------------------------------
// Faults

TEST_F(FibreBlock, BadParametersAreReported) {
    Rig r = sixteen_carriers(reference_span_params());
    r.p.rpar[0] = 0.0f;
    EXPECT_EQ(testing::stderr_of([&] { dimensioning_pass(r); }), "Nodrix-E-Fiber at Fiber span 120 km\n     the length must be positive\n");
    EXPECT_EQ(optcl_ctrl.memused, 0);
    // The run of such a fibre stays dark and asks for nothing.
    set_sample(1);
    zzsupv.storephase = 1;
    r.input.x = {1.0f, 1.0f, f_vbs_band.fcenter};
    call(r);
    EXPECT_EQ(r.output.x.re, 0.0f);
}

TEST_F(FibreBlock, StorageBeyondTheCapacityIsRefused) {
    // The blocks before this one have left less double complex storage than
    // 31 filters of 16384 coefficients need.
    Rig r = dispersive_fibre();
    r.p.rpar[0] = 20.0f;
    r.p.ipar[11] = 0;
    filter_pass(r);
    Cursors nearly_full = kFirstCursors;
    StorageCounts capacities = kDefaultCapacities;
    capacities.zd = 32 * 16384;
    allocate_storage(capacities);
    const std::int32_t first_free = capacities.zd - 31 * 16384 + 2;
    nearly_full[5] = first_free;
    EXPECT_EQ(testing::stderr_of([&] { init_pass(r, nearly_full); }),
              "Nodrix-E-Fiber at Dispersive test fibre\n     the kernel storage is too small for this fibre\n");
    // Only the saved set-up was allocated; the run stays dark and asks for no more.
    EXPECT_EQ(zzsupv.zd, first_free);
    run({&r}, 20, [](double) { return 1.0; }, [&](std::int32_t) {
        EXPECT_EQ(r.output.x.re, 0.0f);
        EXPECT_EQ(zzsupv.zd, first_free);
    });
}

// A fibre whose working files cannot be read (a disk that filled while they
// were written) is an error and stays dark in the run: the run neither reads
// the records of the block after it as its own nor writes them (which made
// that block's storage walk loop for ever).
TEST_F(FibreBlock, MissingWorkingFilesAreAnErrorAndTheRunStaysDark) {
    Rig r = dispersive_fibre();
    dimensioning_pass(r);  // the output window of a set-up that went well
    // Without the filter-writing pass before the initialisation.
    EXPECT_EQ(testing::stderr_of([&] { init_pass(r); }), "Nodrix-E-Fiber at Dispersive test fibre\n     the working files cannot be read\n");
    EXPECT_EQ(files_here(), std::vector<std::string>{});
    const std::int32_t next = loci(16);  // the next block's record
    std::fill_n(ist_at(next), 16, 7);
    // The run knows the fibre dark from its own record: it does not try the
    // working files again (nor report them again).
    EXPECT_EQ(testing::stderr_of([&] {
                  run({&r}, 20, [](double) { return 1.0; }, [&](std::int32_t) {
                      EXPECT_EQ(r.output.x.re, 0.0f);
                      EXPECT_EQ(std::count(ist_at(next), ist_at(next) + 16, 7), 16);
                  });
              }),
              "");
}

}  // namespace
}  // namespace nodrix
