// The fibre block through its registry entry on the block bench: the rounds
// of a simulation (filter writing, state, the samples), the per-sample
// propagation of pulses and a CW against closed forms, and its faults. The
// report, the sizing lines and the storage it claims (the memory map) are
// guarded by the regression net.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <filesystem>
#include <functional>
#include <numbers>
#include <string>
#include <vector>

#include "kernel/filexx.h"
#include "models/fibre/graded_steps.h"
#include "tests/models/fibre/fibre_test_support.h"
#include "tests/support/block_bench.h"

namespace nodrix {
namespace {

namespace fs = std::filesystem;
using Field = std::vector<std::complex<double>>;

// Settings of a run at time step dt [ps] whose sources emit for `window` ps:
// a grid of 1024 bins over 1/dt around the band centre.
SimulationSettings run_settings(float dt, float window) {
    SimulationSettings s;
    s.time_step_ps = dt;
    s.emission_window_ps = window;
    s.grid.low_thz = s.band.centre_thz - 0.5f / dt;
    s.grid.high_thz = s.band.centre_thz + 0.5f / dt;
    return s;
}

// A fibre carrying one carrier at the centre frequency.
struct OneCarrier {
    const char* title;
    std::int32_t number;
    bool nonlinear = true;
    // km, dB/km, ps2/km, 1/W/km, carrier and total power [mW]
    double length = 0.0, loss = 0.0, beta2 = 0.0, gamma = 0.0;
    float power = 1.0f, total = 1.0f;
};

struct FibreRig {
    testing::BlockBench bench;
    OpticalSignal& input;
    const OpticalSignal& output;

    FibreRig(const OneCarrier& f, const SimulationSettings& settings)
        : bench("fibre", settings),
          input(bench.input<OpticalSignal>("input")),
          output(bench.output<OpticalSignal>("output")) {
        bench.set("title", std::string(f.title)).set("nonlinear", f.nonlinear ? 1.0 : 0.0).set("length_km", f.length);
        bench.set("attenuation_db_per_km", f.loss).set("beta2_ps2_per_km", f.beta2).set("gamma_per_w_per_km", f.gamma);
        bench.identity().instance = f.number;
        input.ps[512] = f.power;
        input.pp = f.total;
        input.iv = 1;
    }
    RunContext& context() { return bench.context(); }
    const TimeWindow& window() const { return bench.window(); }
    // The rounds of a simulation's set-up: the filters written, then the
    // state claimed and set up. The errors of every phase.
    std::string prepare() {
        std::string errors;
        context().enter_round(SetupRound::filter_writing);
        errors += bench.design().text();
        context().enter_round(SetupRound::state);
        errors += bench.design().text();
        errors += bench.setup().text();
        return errors;
    }
};

// A linear fibre of 2.1 km with beta2 = 1500 ps2/km at dt = 1 ps: four
// steps of 8192-tap filters.
OneCarrier dispersive() {
    return {.title = "Dispersive test fibre", .number = 5, .nonlinear = false, .length = 2.1, .beta2 = 1500.0};
}

double gaussian(double t, double t0, double width) { return std::exp(-0.5 * std::pow((t - t0) / width, 2)); }

// Runs a chain of fibres sample by sample to `last`, the first fed with the
// real field pulse(t); returns the input field and each fibre's output
// field. `each(step)` looks at every sample.
std::vector<Field> run(const std::vector<FibreRig*>& chain, std::int32_t last,
                       const std::function<double(double)>& pulse,
                       const std::function<void(std::int32_t)>& each = nullptr) {
    std::vector<Field> fields(chain.size() + 1);
    const float fc = chain[0]->context().band_centre();
    for (std::int32_t step = 1; step <= last; ++step) {
        const double t = static_cast<double>(step - 1) * chain[0]->context().time_step_double();
        chain[0]->input.x = {static_cast<float>(pulse(t)), 0.0f, fc};
        fields[0].emplace_back(chain[0]->input.x.re, 0.0);
        for (std::size_t i = 0; i < chain.size(); ++i) {
            if (i > 0) chain[i]->input.x = chain[i - 1]->output.x;
            chain[i]->bench.run(step);
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
    FibreRig r(dispersive(), run_settings(1.0f, 1000.0f));
    r.bench.set("file_name", std::string("test_fiber_5")).set("report", 2.0);
    r.context().enter_round(SetupRound::sizing);
    ASSERT_TRUE(r.bench.design().ok());
    EXPECT_TRUE(files_here().empty()) << "the sizing round writes no file";
    // The state round leaves the report; no working file is written at any round.
    ASSERT_EQ(r.prepare(), "");
    EXPECT_EQ(files_here(), std::vector<std::string>{"test_fiber_5.DAT"});

    const double width = 30.0;  // T0 [ps]
    std::int32_t dark_after = 0;
    const auto fields = run({&r}, static_cast<std::int32_t>(r.window().toff) + 200,
                            [&](double t) { return t < 1000.0 ? gaussian(t, 500.0, width) : 0.0; },
                            [&](std::int32_t step) {
                                EXPECT_EQ(r.output.x.fcenter, r.context().band_centre());
                                // The first N samples are the initial buffer.
                                EXPECT_TRUE(step > 8192 || r.output.x.re == 0.0f) << step;
                                if (r.context().time() >= r.window().toff &&
                                    (r.output.x.re != 0.0f || r.output.x.im != 0.0f))
                                    ++dark_after;
                            });
    EXPECT_EQ(dark_after, 0);
    const Moments mi(fields[0]);
    const Moments mo(fields[1]);
    const double factor = broadening(1500.0 * 2.1, width);
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
    FibreRig span({.title = "Span", .number = 11, .length = 2.0, .beta2 = -1000.0}, run_settings(1.0f, 600.0f));
    ASSERT_EQ(span.prepare(), "");
    // The grating sees the whole interval in which the span's output lives.
    const TimeWindow& s = span.window();
    FibreRig grating({.title = "Grating", .number = 12, .nonlinear = false, .length = 1.0, .beta2 = 1950.0},
                     run_settings(1.0f, s.toff - s.ton));
    grating.bench.producer_window() = s;
    grating.input.ps = span.output.ps;
    grating.input.gd = span.output.gd;
    grating.input.pp = span.output.pp;
    ASSERT_EQ(grating.prepare(), "");

    const double width = 20.0;
    const auto fields = run({&span, &grating}, static_cast<std::int32_t>(grating.window().toff) + 10,
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
    FibreRig r({.title = "Kerr test fibre", .number = 8, .length = 10.0, .loss = 0.2, .gamma = 1.3, .power = 100.0f,
                .total = 100.0f},
               run_settings(SimulationSettings{}.time_step_ps, 200.0f));
    ASSERT_EQ(r.prepare(), "");
    const double alpha = static_cast<double>(0.2f) / (20.0 * std::log10(std::exp(1.0)));
    const double leff = (1.0 - std::exp(-2.0 * alpha * 10.0)) / (2.0 * alpha);
    int checked = 0;
    const TimeWindow& w = r.window();
    run({&r}, static_cast<std::int32_t>(w.toff / r.context().time_step()) + 5,
        [](double t) { return t < 200.0 ? 10.0 : 0.0; }, [&](std::int32_t) {
            const float t = r.context().time();
            if (t <= w.tgoodi + 5.0f || t >= w.tgoodf - 5.0f) return;
            const std::complex<double> e(r.output.x.re, r.output.x.im);
            EXPECT_NEAR(std::norm(e), 100.0 * std::exp(-2.0 * alpha * 10.0), 2e-4);
            EXPECT_NEAR(std::arg(e), -1.3e-3 * 100.0 * leff, 1e-5);
            ++checked;
        });
    EXPECT_GT(checked, 2000);
}

// With the ASE orthogonal to the signal in the second field, a fibre whose
// loss falls across the band (10 km, 0.2 dB/km and 0.05 dB/km/THz, no
// dispersion or Kerr effect) gives a tone in that field the loss the signal's
// field takes: 10^(-(0.2 + 0.05 df) 10 / 20) at df from the centre.
TEST_F(FibreBlock, TheOrthogonalFieldTakesTheLossAcrossTheBandAsTheSignalDoes) {
    SimulationSettings settings = run_settings(SimulationSettings{}.time_step_ps, 200.0f);
    settings.orthogonal_ase = true;
    for (const double df : {-3.1, -0.9, 0.4, 2.3}) {
        FibreRig r({.title = "Sloped test fibre", .number = 9, .nonlinear = false, .length = 10.0, .loss = 0.2},
                   settings);
        r.bench.set("attenuation_slope_db_per_km_thz", 0.05);
        ASSERT_EQ(r.prepare(), "");
        const double expected = std::pow(10.0, -(static_cast<double>(0.2f) + 0.05 * df) * 10.0 / 20.0);
        const TimeWindow& w = r.window();
        const double dt = r.context().time_step_double();
        int checked = 0;
        double worst_y = 0.0, worst_apart = 0.0;  // relative to the expected amplitude
        for (std::int32_t step = 1; step <= static_cast<std::int32_t>(w.toff / dt) + 5; ++step) {
            const double t = static_cast<double>(step - 1) * dt;
            const std::complex<double> tone = t < 200.0 ? std::polar(1.0, 2.0 * std::numbers::pi * df * t) : 0.0;
            r.input.x = {static_cast<float>(tone.real()), static_cast<float>(tone.imag()), 0.0f};
            r.input.y = r.input.x;
            r.bench.run(step);
            const float now = r.context().time();
            if (now <= w.tgoodi + 5.0f || now >= w.tgoodf - 5.0f) continue;
            const std::complex<double> x(r.output.x.re, r.output.x.im), y(r.output.y.re, r.output.y.im);
            worst_y = std::max(worst_y, std::abs(std::abs(y) / expected - 1.0));
            worst_apart = std::max(worst_apart, std::abs(y - x) / expected);
            ++checked;
        }
        EXPECT_GT(checked, 2000) << df;
        // The signal's step filters are designed to about 0.1 %.
        EXPECT_LT(worst_y, 1e-4) << df;
        EXPECT_LT(worst_apart, 3e-3) << df;
    }
}

// ---------------------------------------------------------------------------
// Faults

// A fibre whose state round finds no design of the filter-writing round
// before it is an error and gives empty samples in the run.
TEST_F(FibreBlock, AStateRoundWithoutTheFilterDesignIsAnErrorAndTheRunStaysDark) {
    FibreRig r(dispersive(), run_settings(1.0f, 1000.0f));
    r.context().enter_round(SetupRound::sizing);
    ASSERT_TRUE(r.bench.design().ok());  // the output window of a set-up that went well
    r.context().enter_round(SetupRound::state);
    EXPECT_EQ(r.bench.design().text(),
              "Fiber at Dispersive test fibre\n     the step filters were not designed before the run");
    EXPECT_TRUE(r.bench.setup().ok());
    EXPECT_EQ(files_here(), std::vector<std::string>{});
    run({&r}, 9000, [](double) { return 1.0; }, [&](std::int32_t) { ASSERT_EQ(r.output.x.re, 0.0f); });
}

// Parameters the fibre cannot simulate, and a time step the link cannot
// have: the design says which, names the fibre, and the fibre stays dark.
TEST_F(FibreBlock, ParametersItCannotSimulateAreRefusedByName) {
    struct Case { const char* parameter; double value; float dt; const char* problem; };
    const Case cases[] = {
        {"length_km", 0.0, 1.0f, "the length must be positive"},
        {"length_tolerance_percent", 100.0, 1.0f, "the length tolerance must lie below 100 %"},
        {"reference_length_km", -1.0, 1.0f, "the reference system length must be positive"},
        {"length_km", 1.0, 0.0f, "the time step must be positive"},
    };
    for (const Case& c : cases) {
        SimulationSettings settings = run_settings(1.0f, 1000.0f);
        settings.time_step_ps = c.dt;
        FibreRig r(dispersive(), settings);
        r.bench.set(c.parameter, c.value);
        EXPECT_EQ(r.prepare(), std::string("Fiber at Dispersive test fibre\n     ") + c.problem +
                                   "Fiber at Dispersive test fibre\n     " + c.problem)
            << c.parameter;
        EXPECT_EQ(r.output.iv, 1) << c.parameter;
    }
}

// ---------------------------------------------------------------------------
// Step rules and splitting order

// The output field of a fibre fed with `field(t)`, sample by sample, over the
// whole run; its report of the step plan in `note`.
Field run_field(FibreRig& r, const std::function<std::complex<double>(double)>& field, StepPlanNote& note) {
    const StepPlanLog plans;
    EXPECT_EQ(r.prepare(), "");
    if (!plans.notes().empty()) note = plans.notes().back();
    Field out;
    const float fc = r.context().band_centre();
    const auto last = static_cast<std::int32_t>(r.window().toff / r.context().time_step()) + 1000;
    for (std::int32_t step = 1; step <= last; ++step) {
        const std::complex<double> e = field(static_cast<double>(step - 1) * r.context().time_step_double());
        r.input.x = {static_cast<float>(e.real()), static_cast<float>(e.imag()), fc};
        r.bench.run(step);
        out.emplace_back(r.output.x.re, r.output.x.im);
    }
    return out;
}

// Power of `e` at frequency f [THz] over n samples from `from` (dt = 1 ps).
double tone_power(const Field& e, std::size_t from, std::size_t n, double f) {
    std::complex<double> sum;
    for (std::size_t i = 0; i < n; ++i)
        sum += e[from + i] * std::polar(1.0, -2.0 * std::numbers::pi * f * static_cast<double>(from + i));
    return std::norm(sum);
}

// Two tones of 1 mW (the centre and df above it) through 0.25 dB/km of loss:
// the four-wave-mixing product at -df against its closed form,
// P(-df) / P(df) = gamma^2 P^2 |(1 - exp((i dbeta - alpha_p) L)) / (alpha_p - i dbeta)|^2,
// dbeta = beta2 (2 pi df)^2. Equal steps h with dbeta h = 2 pi (the seed's
// rule at a phase limit that leaves them to the dispersion cap) add the
// product up in phase; the graded rule's steps do not.
TEST_F(FibreBlock, GradedStepsKeepTheFourWaveMixingProductThatEqualStepsMakeSpurious) {
    const double df = 112.0 / 8192.0;  // THz, on a bin of 8192 samples
    const double beta2 = -100.0, gamma = 1.3e-3, alpha_p = 0.25 / (10.0 * std::log10(std::exp(1.0)));
    const double dbeta = std::fabs(beta2) * std::pow(2.0 * std::numbers::pi * df, 2);
    const double length = 7.0 * 2.0 * std::numbers::pi / dbeta;  // seven steps of the dispersion cap
    const std::complex<double> k(alpha_p, -dbeta);
    const double closed = 10.0 * std::log10(gamma * gamma * std::norm((1.0 - std::exp(-k * length)) / k));
    struct Case {
        std::int32_t rule, splitting;
        float phase_deg;
        bool equal;        // steps all of one length, resonant
        double low, high;  // product over its closed form [dB]
    } cases[] = {{0, 0, 10.0f, true, 15.0, 30.0}, {1, 1, 0.2f, false, -0.3, 0.3}};
    for (const Case& c : cases) {
        SimulationSettings settings = run_settings(1.0f, 24576.0f);
        settings.split_step.step_rule = c.rule;
        settings.split_step.splitting = c.splitting;
        settings.split_step.max_nonlinear_phase_deg = c.phase_deg;
        FibreRig r({.title = "Two tones", .number = 9, .length = length, .loss = 0.25, .beta2 = beta2, .gamma = 1.3,
                    .power = 1.0f, .total = 4.0f},
                   settings);
        r.input.ps[512 + 14] = 1.0f;
        StepPlanNote note;
        const Field out = run_field(r, [df](double t) { return 1.0 + std::polar(1.0, 2.0 * std::numbers::pi * df * t); },
                                    note);
        const std::vector<double> tones = {r.context().band_centre(), r.context().band_centre() + df};
        EXPECT_EQ(note.equal_steps == note.steps, c.equal) << c.rule;
        EXPECT_EQ(resonant_products(tones, note.beta2, note.step_km, 1e-3).size(), c.equal ? 2u : 0u) << c.rule;
        const auto from = static_cast<std::size_t>(r.window().tgoodi + 1000.0f);
        ASSERT_LT(from + 8192, out.size());
        const double product = 10.0 * std::log10(tone_power(out, from, 8192, -df) / tone_power(out, from, 8192, df));
        EXPECT_GT(product - closed, c.low) << c.rule;
        EXPECT_LT(product - closed, c.high) << c.rule;
    }
}

// A Gaussian of 100 mW and T0 = 20 ps over 20 km (dispersion length 20 km,
// non-linear length 7.7 km), graded steps at 10 degrees of Kerr phase: the
// error of the field against a run with steps 32 times shorter falls by
// about four when the steps halve with symmetric splitting, by about two
// with first-order splitting.
TEST_F(FibreBlock, SymmetricSplittingErrorFallsFourfoldWhenTheStepsHalve) {
    auto output = [](std::int32_t splitting, float refinement) {
        SimulationSettings settings = run_settings(1.0f, 1000.0f);
        settings.split_step.step_rule = 1;
        settings.split_step.splitting = splitting;
        settings.split_step.max_nonlinear_phase_deg = 10.0f;
        settings.split_step.step_refinement = refinement;
        FibreRig r({.title = "Soliton-like pulse", .number = 10, .length = 20.0, .loss = 0.2, .beta2 = -20.0,
                    .gamma = 1.3, .power = 100.0f, .total = 100.0f},
                   settings);
        StepPlanNote note;
        return run_field(r, [](double t) { return 10.0 * gaussian(t, 500.0, 20.0); }, note);
    };
    // The plans' buffers differ by whole samples: the fields are compared
    // about their pulses' centres.
    auto error = [](const Field& a, const Field& b) {
        const auto ca = std::lround(Moments(a).centre), cb = std::lround(Moments(b).centre);
        double d = 0.0, n = 0.0;
        for (long i = -600; i < 600; ++i) {
            const std::complex<double> x = a[static_cast<std::size_t>(ca + i)], y = b[static_cast<std::size_t>(cb + i)];
            d += std::norm(x - y);
            n += std::norm(y);
        }
        return std::sqrt(d / n);
    };
    for (const auto& [splitting, ratio] : {std::pair{1, 4.0}, std::pair{0, 2.0}}) {
        const Field reference = output(splitting, 32.0f);
        const double e1 = error(output(splitting, 1.0f), reference);
        const double e2 = error(output(splitting, 2.0f), reference);
        const double e4 = error(output(splitting, 4.0f), reference);
        EXPECT_NEAR(e1 / e2, ratio, 0.3 * ratio) << splitting << ": " << e1 << " " << e2 << " " << e4;
        EXPECT_NEAR(e2 / e4, ratio, 0.3 * ratio) << splitting << ": " << e1 << " " << e2 << " " << e4;
    }
}

}  // namespace
}  // namespace nodrix
