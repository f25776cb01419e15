// The fibre block: loss profile and spectral face, the reference span's delays
// and pieces, the working files' life, and the per-sample propagation of
// pulses and a CW against closed forms; its faults. The report and the
// dimensioning lines are guarded by the regression net.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <complex>
#include <filesystem>
#include <functional>
#include <numeric>
#include <string>
#include <vector>

#include "numerics/filter_tables.h"
#include "kernel/control_blocks.h"
#include "kernel/storage.h"
#include "models/fibre/fibre_block.h"
#include "kernel/filexx.h"
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

class FibreBlock : public testing::FibreTest {
protected:
    static std::vector<std::string> files_here() {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(".")) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST_F(FibreBlock, GaussianPulseBroadensAsInTheory) {
    Rig r = dispersive_fibre();
    filter_pass(r);
    // The working files of the run are on disk; the report is not written yet.
    for (const char* f : {"om000005.DAT", "o1000005.DAT", "o4000005.DAT", "o7000005.DAT", "os000005.DAT"})
        EXPECT_TRUE(fs::exists(f)) << f;
    EXPECT_FALSE(fs::exists("test_fiber_5.DAT"));
    init_pass(r);
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
