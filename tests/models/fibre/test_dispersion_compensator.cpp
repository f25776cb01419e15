// The dispersion compensator on the block bench: a Gaussian pulse against
// the closed-form dispersed pulse, a fibre followed by its exact
// compensator against the input pulse, and the values it refuses.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <numbers>
#include <string>
#include <vector>

#include "tests/models/fibre/fibre_test_support.h"
#include "tests/support/block_bench.h"

namespace nodrix {
namespace {

using DispersionCompensator = testing::FibreTest;  // the filter tables made, plans by estimate

// A run at dt = 1 ps whose sources emit for `window` ps, its grid 1 THz wide.
SimulationSettings one_ps_steps(float window) {
    SimulationSettings s;
    s.time_step_ps = 1.0f;
    s.emission_window_ps = window;
    s.grid.low_thz = s.band.centre_thz - 0.5f;
    s.grid.high_thz = s.band.centre_thz + 0.5f;
    return s;
}

// beta2 L [ps^2] of D [ps/nm] at f [THz]: -D lambda^2 / (2 pi c), c = 299792.458 nm THz.
double beta2l_of(double d, double f) {
    const double lambda = 299792.458 / f;
    return -d * lambda * lambda / (2.0 * std::numbers::pi * 299792.458);
}

double gaussian(double t, double t0) { return std::exp(-0.5 * t * t / (t0 * t0)); }

TEST_F(DispersionCompensator, AGaussianPulseSpreadsAsTheClosedFormSays) {
    testing::BlockBench bench("dispersion_compensator", one_ps_steps(2000.0f));
    // 80 km of standard fibre, with the slope S = -2 D / lambda at which beta3 = 0.
    const double f = bench.context().band_centre();
    bench.set("dispersion_ps_per_nm", 1360.0).set("dispersion_slope_ps_per_nm2", -2.0 * 1360.0 * f / 299792.458);
    OpticalSignal& in = bench.input<OpticalSignal>("input");
    const OpticalSignal& out = bench.output<OpticalSignal>("output");
    in.iv = 1;
    ASSERT_TRUE(bench.start().ok());
    // -1731 ps^2 spread the 1 THz band over 10876 samples: a guard of 1360 at each end, 2^15 points.
    const double beta2l = beta2l_of(1360.0, f);
    EXPECT_EQ(bench.block().claims().bytes(), 3 * 16 * (32768 + 2) + 4 * (1 + 2));
    // The delay at the centre bin is the latency, whole samples; at bin 768 (w = pi / 2) beta2 L w more.
    const double latency = out.gd[512];
    EXPECT_EQ(latency, std::round(latency));
    EXPECT_NEAR(out.gd[768] - latency, beta2l * std::numbers::pi / 2.0, 1e-2);

    // exp(-t^2 / (2 T0^2)) after beta2 L, the spectrum times exp(-i beta2 L w^2 / 2) (the fibre's
    // convention): T0 / sqrt(q) exp(-t^2 / (2 q)), q = T0^2 + i beta2 L. The peak falls to 0.46.
    const double t0 = 30.0;
    const std::complex<double> q(t0 * t0, beta2l);
    double worst = 0.0;
    for (std::int32_t step = 1; step <= static_cast<std::int32_t>(bench.window().toff) + 10; ++step) {
        const double t = step - 1.0;
        in.x = {static_cast<float>(t < 2000.0 ? gaussian(t - 1000.0, t0) : 0.0), 0.0f, static_cast<float>(f)};
        bench.run(step);
        const double s = t - 1000.0 - latency;
        const std::complex<double> expected = t0 / std::sqrt(q) * std::exp(-s * s / (2.0 * q));
        worst = std::max(worst, std::abs(std::complex<double>(out.x.re, out.x.im) - expected));
    }
    EXPECT_LT(worst, 1e-6);  // 3e-8 measured: the samples' single precision
}

TEST_F(DispersionCompensator, UndoesTheFibreItIsMadeFor) {
    // A linear fibre of 2 km at -1000 ps^2/km, then the opposite dispersion with 3 dB of loss.
    testing::BlockBench fibre("fibre", one_ps_steps(600.0f));
    fibre.set("nonlinear", 0.0).set("length_km", 2.0).set("beta2_ps2_per_km", -1000.0);
    OpticalSignal& in = fibre.input<OpticalSignal>("input");
    const OpticalSignal& span = fibre.output<OpticalSignal>("output");
    in.iv = 1;
    fibre.context().enter_round(SetupRound::filter_writing);
    ASSERT_TRUE(fibre.design().ok());
    fibre.context().enter_round(SetupRound::state);
    ASSERT_TRUE(fibre.start().ok());
    testing::BlockBench compensator("dispersion_compensator",
                                    one_ps_steps(fibre.window().toff - fibre.window().ton));
    compensator.set("dispersion_ps_per_nm", 2000.0 / beta2l_of(1.0, compensator.context().band_centre()));
    compensator.set("loss_db", 3.0).producer_window() = fibre.window();
    OpticalSignal& middle = compensator.input<OpticalSignal>("input");
    const OpticalSignal& out = compensator.output<OpticalSignal>("output");
    middle = span;
    ASSERT_TRUE(compensator.start().ok());
    const double field_factor = std::pow(10.0, -0.15);
    EXPECT_NEAR(out.pp, field_factor * field_factor * span.pp, 1e-6);

    std::vector<double> input;
    std::vector<std::complex<double>> output;
    double c_in = 0.0, c_out = 0.0, e_in = 0.0, e_out = 0.0;  // centres of mass and energies
    for (std::int32_t step = 1; step <= static_cast<std::int32_t>(compensator.window().toff) + 10; ++step) {
        input.push_back(step <= 600 ? gaussian(step - 301.0, 20.0) : 0.0);
        in.x = {static_cast<float>(input.back()), 0.0f, span.x.fcenter};
        fibre.run(step);
        middle.x = span.x;
        compensator.run(step);
        output.emplace_back(out.x.re, out.x.im);
        e_in += input.back() * input.back();
        e_out += std::norm(output.back());
        c_in += input.back() * input.back() * step;
        c_out += std::norm(output.back()) * step;
    }
    // The output is the input, late by the whole samples its centre of mass says, 3 dB lower.
    const auto delay = static_cast<std::size_t>(std::lround(c_out / e_out - c_in / e_in));
    double worst = 0.0;
    for (std::size_t n = 0; n < output.size(); ++n)
        worst = std::max(worst, std::abs(output[n] - (n >= delay ? field_factor * input[n - delay] : 0.0)));
    // Within 2e-4 of the peak of 0.71 (7e-5 measured): what the fibre's step filters,
    // designed to a finite precision, leave.
    EXPECT_LT(worst, 2e-4);
}

// Values it cannot filter: refused at design, naming the value, and by the
// kind's check as the link loader calls it.
TEST_F(DispersionCompensator, RefusesWhatItCannotFilter) {
    const struct { const char* parameter; double value; float dt; const char* text; } cases[] = {
        {"dispersion_ps_per_nm", std::numeric_limits<double>::infinity(), 1.0f,
         "dispersion_ps_per_nm = inf is not a finite number"},
        {"dispersion_slope_ps_per_nm2", std::nan(""), 1.0f, "dispersion_slope_ps_per_nm2 = nan is not a finite number"},
        // 1360 ps/nm at 0.01 ps: the band spread over 2 pi 1731 / 1e-4 steps.
        {"dispersion_ps_per_nm", 1360.0, 0.01f,
         "dispersion_ps_per_nm = 1360 spreads the band over too many time steps of 0.01 ps: the filter would need a "
         "transform of more than 2^24 points"},
    };
    for (const auto& c : cases) {
        SimulationSettings settings = one_ps_steps(100.0f);
        settings.time_step_ps = c.dt;
        testing::BlockBench bench("dispersion_compensator", settings);
        bench.set("dispersion_ps_per_nm", 100.0).set(c.parameter, c.value);
        bench.input<OpticalSignal>("input").iv = 1;
        const OpticalSignal& out = bench.output<OpticalSignal>("output");
        EXPECT_EQ(bench.start().text(), std::string("dispersion compensator: ") + c.text) << c.parameter;
        EXPECT_EQ(out.iv, 0);
        BlockSettings values = BlockSettings::defaults(bench.kind());
        values.set_number("dispersion_ps_per_nm", 100.0);
        values.set_number(c.parameter, c.value);
        Findings found;
        bench.kind().check(values, LinkContext{.time_step_ps = c.dt, .centre_thz = 193.1f}, found);
        ASSERT_EQ(found.list().size(), 1u) << c.parameter;
        EXPECT_EQ(found.list()[0].text, c.text);
    }
}

}  // namespace
}  // namespace nodrix
