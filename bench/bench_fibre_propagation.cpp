// Times the per-sample propagation of the reference span (120 km, 0.2 dB/km,
// beta2 -20.2205 ps2/km, beta3 0.147459 ps3/km, gamma 1.26809 /W/km): one
// buffer of 2^13 samples through all its steps (linear half-step by FFT
// overlap-add, non-linear half-step), the share FFTW takes of it, the cost of
// one block call per sample besides the buffer work, and an estimate of the
// span's and the grating's whole run from the buffers each step must pass.
//
//   bench_fibre_propagation [-narrow]
//     -narrow  the half-steps' element loops two doubles wide, not four
#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "kernel/block.h"
#include "kernel/block_kind.h"
#include "kernel/driver.h"
#include "kernel/run_context.h"
#include "kernel/signals.h"
#include "kernel/storage.h"
#include "models/fibre/fibre_filters.h"
#include "models/fibre/split_step.h"
#include "numerics/filter_tables.h"
#include "runtime/wisdom.h"
#include "xu/xu_msg.h"

using namespace nodrix;

namespace {

using Clock = std::chrono::steady_clock;
double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// A fibre loaded for the run: per step the filter, the Kerr and loss factors.
struct LoadedFibre {
    std::int32_t steps = 0;
    std::int32_t n = 0;  // buffer length
    std::vector<std::int32_t> exponent, offset, blocks;
    std::vector<double> gleff, loss, dmin, dmax;
    std::vector<std::complex<double>> coef, memory;
    std::vector<std::int64_t> memory_at;
    std::int64_t memory_length = 0;
};

LoadedFibre load(bool span) {
    const double dt = static_cast<double>(SimulationSettings{}.time_step_ps);
    std::vector<double> h(kMaxSteps);
    std::int32_t n = 0;
    std::int32_t uniform = 0;
    const double alpha = span ? 0.2 / (20.0 * std::log10(std::exp(1.0))) : 0.0;
    const double gamma = span ? 1.26809e-3 : 0.0;
    StepFilterInput step;
    if (span) {
        NonlinearStepInput s;
        s.beta2 = -20.2205;
        s.beta3 = 0.147459;
        s.total_power = 16.0;
        s.carriers = 16;
        const double x = 25.0 * 0.06666667;
        s.peak_power = (1.0 + 7.5 * std::exp(-x * x)) * 16.0;
        s.alpha = alpha;
        s.gamma = gamma;
        s.length = 120.0;
        s.system_length = 121.0;
        s.phase_divisor = 360.0;
        s.fwm_accuracy = 18.0;
        stpeva(s, dt, n, h, uniform, -1, 73);
        step.beta2 = -20.2205;
        step.beta3 = 0.147459;
    } else {
        stpeli(2448.86, 0.0, 0.0, 0.0, 1.0, dt, n, h, -1, 74);
        step.beta2 = 2448.86;
    }
    const double length = span ? 120.0 : 1.0;
    const double eps = std::max(1e-8, std::pow(10.0, (std::log10(1.2 * length / (n * 121.0)) - 0.66) *
                                                        1.0666666666666667 -
                                                    0.5));
    LoadedFibre f;
    f.steps = n;
    std::vector<double> acc(kBins, 0.0);
    double last_h = -1.0;
    StepFilterDesign d;
    std::int32_t kmax = 0;
    for (std::int32_t i = 0; i < n; ++i) {
        step.h = h[static_cast<std::size_t>(i)];
        // Equal steps share one copy of their filter, as the block's run does.
        const bool same = step.h == last_h;
        if (!same) coefn5(step, dt, eps, d);
        last_h = step.h;
        const std::int64_t m = std::int64_t{1} << d.k;
        f.exponent.push_back(d.k);
        f.memory_at.push_back(f.memory_length);
        f.memory_length += m;
        if (same) {
            f.offset.push_back(f.offset.back());
        } else {
            f.offset.push_back(static_cast<std::int32_t>(f.coef.size()));
            for (const auto& c : d.coef) f.coef.push_back(c / static_cast<double>(2 * m));
            chain_order(f.coef.data() + f.offset.back(), d.k);
        }
        kmax = std::max(kmax, d.k);
        f.gleff.push_back(gamma * (alpha > 0 ? (1.0 - std::exp(-2.0 * alpha * step.h)) / (2.0 * alpha) : step.h));
        f.loss.push_back(std::exp(-alpha * step.h));
        for (int j = 0; j < kBins - 1; ++j) acc[static_cast<std::size_t>(j)] += d.tau[static_cast<std::size_t>(j)];
        double lo = 1e300, hi = -1e300;
        for (int j = 102; j <= 922; ++j) {
            lo = std::min(lo, acc[static_cast<std::size_t>(j)]);
            hi = std::max(hi, acc[static_cast<std::size_t>(j)]);
        }
        f.dmin.push_back(lo);
        f.dmax.push_back(hi);
    }
    f.n = 1 << kmax;
    for (std::int32_t k : f.exponent) f.blocks.push_back(f.n >> k);
    f.memory.assign(static_cast<std::size_t>(f.memory_length), {});
    return f;
}

// Buffer-step passes of a whole run, by the block's rule: buffer b passes the
// steps from the first where it can hold signal to the first whose signal
// starts after it.
std::int64_t buffer_step_passes(const LoadedFibre& f, double tindur) {
    const double dt = SimulationSettings{}.time_step_ps;
    const double span = f.n * dt;
    const double tooff = f.n * dt + f.dmax.back() + tindur;
    const std::int64_t nbuf = (std::llround(tooff / dt) + 1) / f.n;
    std::int64_t passes = 0;
    for (std::int64_t b = 1; b <= nbuf; ++b) {
        const double end = b * span;
        std::int32_t e = f.steps;
        for (std::int32_t i = 1; i <= f.steps; ++i)
            if (f.dmin[static_cast<std::size_t>(i - 1)] >= end) {
                e = i;
                break;
            }
        auto reaches = [&](std::int32_t i) { return end - (f.dmax[static_cast<std::size_t>(i - 1)] + tindur) < span; };
        std::int32_t i = e;
        while (i > 1 && reaches(i)) --i;
        const std::int32_t s = (i == 1 && reaches(1)) ? 1 : i + 1;
        if (e >= s) passes += e - s + 1;
    }
    return passes;
}

// Nanoseconds of one block call per sample while a buffer fills (the window
// checks, one buffer slot), for a small dispersive fibre at dt = 1 ps whose
// buffer is 8192 samples: the block made from its registry entry and taken
// through the rounds of a simulation.
double per_call_ns() {
    SimulationSettings settings;
    settings.time_step_ps = 1.0f;
    settings.emission_window_ps = 1000.0f;
    settings.grid.low_thz = settings.band.centre_thz - 0.5f;
    settings.grid.high_thz = settings.band.centre_thz + 0.5f;
    RunContext ctx{settings};
    const KindSpec& kind = *find_registered_kind("fibre");
    BlockSettings values = BlockSettings::defaults(kind);
    values.set_text("title", "bench fibre");
    values.set_number("nonlinear", 0.0);
    values.set_number("length_km", 2.1);
    values.set_number("beta2_ps2_per_km", 1500.0);
    OpticalSignal input;
    input.ps[512] = 1.0f;
    input.pp = 1.0f;
    input.iv = 1;
    OpticalSignal output;
    TimeWindow window;
    Connections c;
    c.add_input("input", SignalKind::optical, &input);
    c.add_output("output", SignalKind::optical, &output);
    c.window = &window;
    c.identity = BlockIdentity{5, 0, 0.0};
    const std::unique_ptr<Block> block = kind.create(values, c);
    ctx.enter_round(SetupRound::filter_writing);
    block->design(ctx);
    ctx.enter_round(SetupRound::state);
    block->design(ctx);
    block->setup(ctx);
    double seconds = 0.0;
    std::int32_t calls = 0;
    for (std::int32_t step = 1; step <= 8192; ++step) {
        ctx.enter_sample(step);
        input.x = {0.5f, 0.25f, settings.band.centre_thz};
        const auto t0 = Clock::now();
        block->run(ctx);
        if (step > 1) {
            seconds += seconds_since(t0);
            ++calls;
        }
    }
    return 1e9 * seconds / calls;
}

}  // namespace

int main(int argc, char** argv) {
    // -narrow: the element loops two doubles wide even where AVX would take four.
    const bool narrow = argc > 1 && std::string(argv[1]) == "-narrow";
    set_wide_loops(!narrow);
    opx_filter_init();
    opxplancreate();

    std::printf("FFT plans (%s by the plan store)\n", plan_rigor() == PlanRigor::estimate ? "estimated" : "measured");
    for (std::int32_t e : {9, 13}) {
        const auto t0 = Clock::now();
        forward_plan(e);
        std::printf("  length 2^%d, forward: %.2f s\n", e, seconds_since(t0));
    }

    const auto t_load = Clock::now();
    LoadedFibre f = load(true);
    std::printf("Reference span: %d steps, N = %d, %zu distinct coefficients (designed and loaded in %.2f s)\n",
                f.steps, f.n, f.coef.size(), seconds_since(t_load));
    for (std::int32_t x : f.exponent) slinea_ready(x);
    std::printf("Transform threads: %d; element loops %s\n", lane_threads(),
                narrow ? "two doubles wide (-narrow)" : "four doubles wide where the processor has AVX");

    std::vector<std::complex<double>> buffer(static_cast<std::size_t>(f.n));
    std::vector<std::complex<double>> work(static_cast<std::size_t>(4 * f.n));
    std::mt19937 rng(1);
    std::normal_distribution<double> g(0.0, 1.0);
    auto refill = [&] {
        for (auto& v : buffer) v = {g(rng), g(rng)};
    };

    // One buffer through every step (best of a few, the machine is shared),
    // with the time the calling thread spends inside FFTW.
    const int repeats = 9;
    double per_buffer = 1e30;
    double fft_per_buffer = 0.0;
    double waited_per_buffer = 0.0;
    std::int64_t transforms_per_buffer = 0;
    fft_timing(true);
    for (int r = 0; r < repeats; ++r) {
        refill();
        reset_fft_usage();
        const auto t0 = Clock::now();
        for (std::int32_t i = 1; i <= f.steps; ++i) {
            const std::int32_t at = f.offset[static_cast<std::size_t>(i - 1)];
            slinea(i, f.exponent.data(), f.offset.data(), f.blocks.data(), f.coef.data() + at,
                   f.memory.data() + f.memory_at[static_cast<std::size_t>(i - 1)], f.n, work.data(), buffer.data(),
                   f.gleff.data(), f.loss.data());
        }
        const double t = seconds_since(t0);
        if (t < per_buffer) {
            per_buffer = t;
            fft_per_buffer = fft_usage().seconds[0];
            transforms_per_buffer = fft_usage().transforms[0];
            waited_per_buffer = fft_usage().waited;
        }
    }
    fft_timing(false);
    std::printf("Per 2^13-sample buffer through all %d steps: %.1f ms (%.1f us per step), FFTW on the calling "
                "thread %.1f ms = %.0f %% (%lld transforms), waiting for the helper %.1f ms\n",
                f.steps, 1e3 * per_buffer, 1e6 * per_buffer / f.steps, 1e3 * fft_per_buffer,
                100.0 * fft_per_buffer / per_buffer, static_cast<long long>(transforms_per_buffer),
                1e3 * waited_per_buffer);
    {
        // One transform of the filters' length alone, hot in the cache: the floor of the calls above.
        const std::int32_t m = std::int32_t{1} << f.exponent[0];
        std::vector<std::complex<double>> in(static_cast<std::size_t>(m), {1.0, 0.5});
        std::vector<std::complex<double>> out(static_cast<std::size_t>(m));
        const FftPlan plan = fft_plan(m, FFTW_FORWARD, in.data(), out.data());
        double best = 1e30;
        for (int r = 0; r < 200; ++r) {
            const auto t0 = Clock::now();
            fft_run(plan, in.data(), out.data());
            best = std::min(best, seconds_since(t0));
        }
        std::printf("  one transform of %d points alone: %.1f us; the calling thread's transforms take %.2f times "
                    "that each\n",
                    m, 1e6 * best, fft_per_buffer / (static_cast<double>(transforms_per_buffer) * best));
    }
    // Non-linear half-steps alone, at a few mW per sample.
    {
        double best = 1e30;
        for (int r = 0; r < repeats; ++r) {
            refill();
            const auto t0 = Clock::now();
            for (std::int32_t i = 1; i <= f.steps; ++i) snonli(i, f.gleff.data(), f.loss.data(), f.n, buffer.data());
            best = std::min(best, seconds_since(t0));
        }
        std::printf("  of which the non-linear half-steps: %.1f ms\n", 1e3 * best);
    }

    const std::int64_t span_passes = buffer_step_passes(f, 15360.0);
    const double per_pass = per_buffer / f.steps;
    std::printf("Whole run of the span (window 15360 ps): %lld buffer-step passes, about %.1f s\n",
                static_cast<long long>(span_passes), span_passes * per_pass);
    f = load(false);
    const std::int64_t grating_passes = buffer_step_passes(f, 15360.0);
    std::printf("Whole run of the grating: %d steps, %lld buffer-step passes, about %.1f s (at the span's cost per pass)\n",
                f.steps, static_cast<long long>(grating_passes), grating_passes * per_pass);

    const auto dir = std::filesystem::temp_directory_path() / "nodrix-bench-fibre-propagation";
    std::filesystem::create_directories(dir);
    std::filesystem::current_path(dir);
    xu_MsgInit("Nodrix", 56, nullptr, nullptr);
    std::printf("One block call per sample while the buffer fills: %.0f ns\n", per_call_ns());
    std::filesystem::current_path(std::filesystem::temp_directory_path());
    std::filesystem::remove_all(dir);
    opxplandestroy();
    return 0;
}
