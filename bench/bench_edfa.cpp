// Amplifier timings: the per-sample pass of the link's three flat amplifiers
// (two fixed-gain 5 dB, one fixed output power 10 mW, noise figure 2.81838,
// noise on), the noise source alone, the profile model's per-sample pass and
// its filter synthesis. The amplifiers are made from their registry entries,
// as a link makes them.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>

#include "kernel/block.h"
#include "kernel/driver.h"
#include "models/amplifiers/amplifier_noise.h"
#include "numerics/filter_tables.h"

using namespace nodrix;

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// An amplifier of `kind` from `in` to `out` with the numbers given.
std::unique_ptr<Block> amplifier(const char* kind, const OpticalSignal& in, OpticalSignal& out, TimeWindow& window,
                                 std::initializer_list<std::pair<const char*, double>> numbers,
                                 const std::string& noise_figure_file = "") {
    const KindSpec& k = *find_registered_kind(kind);
    BlockSettings values = BlockSettings::defaults(k);
    for (const auto& [name, number] : numbers) values.set_number(name, number);
    if (!noise_figure_file.empty()) values.set_text("noise_figure_profile_file", noise_figure_file);
    Connections c;
    c.add_input("input", SignalKind::optical, &in);
    c.add_output("output", SignalKind::optical, &out);
    c.window = &window;
    return k.create(values, c);
}

void start(std::initializer_list<Block*> blocks, RunContext& context) {
    for (Block* b : blocks) b->design(context);
    for (Block* b : blocks) b->setup(context);
}

}  // namespace

int main() {
    opx_filter_init();
    SimulationSettings settings;
    settings.emission_window_ps = 1e9f;
    RunContext context{settings};
    const int samples = 2000000;
    OpticalSignal a;
    for (int i = 500; i < 524; ++i) a.ps[i] = 0.05f;
    a.pp = 1.2f;
    a.iv = 1;
    OpticalSignal b;
    OpticalSignal c;
    OpticalSignal d;
    TimeWindow w1;
    TimeWindow w2;
    TimeWindow w3;
    auto fg1 = amplifier("amplifier_fixed_gain", a, b, w1, {{"gain_db", 5.0}});
    auto fp = amplifier("amplifier_fixed_power", b, c, w2, {{"max_gain_db", 35.0}, {"output_power_mw", 10.0}});
    auto fg2 = amplifier("amplifier_fixed_gain", c, d, w3, {{"gain_db", 5.0}});
    start({fg1.get(), fp.get(), fg2.get()}, context);
    auto t0 = Clock::now();
    double check = 0.0;
    for (int k = 1; k <= samples; ++k) {
        context.enter_sample(k);
        a.x = FieldSample{std::sin(0.001f * k), 0.0f, context.band_centre()};
        fg1->run(context);
        fp->run(context);
        fg2->run(context);
        check += d.x.re;
    }
    const double flat = seconds_since(t0);
    std::printf("flat model, 3 amplifiers: %.1f ns per sample (%.2f s for 10^7 samples)  [check %.3g]\n",
                1e9 * flat / samples, flat * 1e7 / samples, check);

    AseNoiseSource noise;
    StateClaims claims;
    noise.claim(claims);
    claims.allocate();
    FieldSample z1;
    FieldSample z2;
    t0 = Clock::now();
    for (int k = 1; k <= samples; ++k) {
        context.enter_sample(k);
        noise.draw(context, z1, z2);
        check += z1.re;
    }
    const double noise_time = seconds_since(t0);
    std::printf("wgn2an alone: %.1f ns per call\n", 1e9 * noise_time / samples);

    // Profile model: the flat gain through the default tables (noise figure
    // parameter negative selects the profile model, a file gives its values).
    std::FILE* f = std::fopen("bench_nf.DAT", "w");
    std::fputs("##\n1450 4.5\n1700 4.5\n", f);
    std::fclose(f);
    auto pg = amplifier("amplifier_fixed_gain", a, b, w1, {{"gain_db", 5.0}, {"noise_figure_linear", -1.0}},
                        "bench_nf");
    context.leave_samples();
    t0 = Clock::now();
    start({pg.get()}, context);
    const double synthesis = seconds_since(t0);
    std::int32_t length = 0;
    pg->claims().visit([&](SlotKind kind, const void*, std::int32_t n) {
        if (kind == SlotKind::complex_double) length = n;
    });
    std::printf("profile model set-up (tables and synthesis): %.2f ms, FFT length %d\n", 1e3 * synthesis, length);
    const int profile_samples = samples / 2;
    t0 = Clock::now();
    for (int k = 1; k <= profile_samples; ++k) {
        context.enter_sample(k);
        a.x = FieldSample{std::sin(0.001f * k), 0.0f, context.band_centre()};
        pg->run(context);
        check += b.x.re;
    }
    const double profile = seconds_since(t0);
    std::printf("profile model, 1 amplifier: %.1f ns per sample  [check %.3g]\n", 1e9 * profile / profile_samples,
                check);
    std::remove("bench_nf.DAT");
    return 0;
}
