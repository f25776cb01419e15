// Times the set-up of the reference fibre span (120 km) and of the dispersion-
// compensating grating that follows it: the sizing round the program runs
// (step choice, every step filter, the storage claimed), and the filter
// synthesis alone with each distinct filter designed once against every
// step designed anew. With --files it also times the filter-writing round
// of a run, which keeps every step filter for the run.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
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
#include "runtime/io_file.h"
#include "xu/xu_msg.h"

using namespace nodrix;

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// A fibre's parameters as the bench sets them.
struct FibreCase {
    std::string name;
    std::int32_t instance = 0;
    bool nonlinear = false;
    double length = 0.0, loss = 0.0, beta2 = 0.0, beta3 = 0.0, section = 1e6, gamma = 0.0;
};

FibreCase span() { return {"bench_span", 73, true, 120.0, 0.2, -20.2205, 0.147459, 20.0, 1.26809}; }
FibreCase grating() { return {"bench_grating", 74, false, 1.0, 0.0, 2448.86, 0.0, 1e6, 0.0}; }

OpticalSignal sixteen_carriers() {
    OpticalSignal s;
    for (int c = 0; c < 16; ++c) s.ps[static_cast<std::size_t>(137 + 50 * c)] = 1.0f;
    s.pp = 16.0f;
    s.iv = 1;
    return s;
}

// A fibre block made from its registry entry, fed with sixteen carriers.
struct FibreUnderTest {
    OpticalSignal input = sixteen_carriers();
    OpticalSignal output;
    TimeWindow window;
    std::unique_ptr<Block> block;

    explicit FibreUnderTest(const FibreCase& f) {
        const KindSpec& kind = *find_registered_kind("fibre");
        BlockSettings settings = BlockSettings::defaults(kind);
        settings.set_text("title", f.name);
        settings.set_text("file_name", f.name);
        settings.set_number("nonlinear", f.nonlinear ? 1.0 : 0.0);
        settings.set_number("length_km", f.length);
        settings.set_number("attenuation_db_per_km", f.loss);
        settings.set_number("beta2_ps2_per_km", f.beta2);
        settings.set_number("beta3_ps3_per_km", f.beta3);
        settings.set_number("section_length_km", f.section);
        settings.set_number("gamma_per_w_per_km", f.gamma);
        Connections c;
        c.add_input("input", SignalKind::optical, &input);
        c.add_output("output", SignalKind::optical, &output);
        c.window = &window;
        c.identity = BlockIdentity{f.instance, 0, 0.0};
        block = kind.create(settings, c);
    }
};

struct SetupResult {
    double seconds = 0.0;
    std::int64_t claimed = 0;
};

SetupResult time_setup(const FibreCase& f, RunContext& ctx, SetupRound round) {
    FibreUnderTest fibre(f);
    ctx.enter_round(round);
    const auto t0 = std::chrono::steady_clock::now();
    fibre.block->design(ctx);
    return {seconds_since(t0), fibre.block->claims().bytes()};
}

// The filter synthesis of a fibre in the sizing round, with or without
// reuse of equal designs.
double time_synthesis(const FibreCase& p, bool reuse, std::int32_t& nsteps) {
    const double dt = static_cast<double>(SimulationSettings{}.time_step_ps);
    std::vector<double> h(kMaxSteps);
    std::int32_t uniform = 0;
    const float beta2 = static_cast<float>(p.beta2);
    const float beta3 = static_cast<float>(p.beta3);
    const float length = static_cast<float>(p.length);
    const float loss = static_cast<float>(p.loss);
    const float gamma = static_cast<float>(p.gamma);
    if (p.nonlinear) {
        NonlinearStepInput s;
        s.beta2 = beta2;
        s.beta3 = beta3;
        s.total_power = 16.0;
        s.carriers = 16;
        const double x = 25.0 * 0.06666667;
        s.peak_power = (1.0 + 7.5 * std::exp(-x * x)) * 16.0;
        s.alpha = static_cast<double>(loss) / (20.0 * std::log10(std::exp(1.0)));
        s.gamma = 0.001 * static_cast<double>(gamma);
        s.length = length;
        s.system_length = 121.0f;
        s.phase_divisor = 360.0;
        s.fwm_accuracy = 18.0;
        stpeva(s, dt, nsteps, h, uniform, -1, p.instance);
    } else {
        stpeli(beta2, 0.0, 0.0, 0.0, length, dt, nsteps, h, -1, p.instance);
    }
    const double precision = std::max(1e-8, std::pow(10.0, (std::log10(1.2 * length / (nsteps * 121.0)) - 0.66) *
                                                                   1.0666666666666667 -
                                                               0.5));
    std::vector<float> dlyin(kBins, 0.0f);
    const Messages messages;
    FibreStreams streams;
    WrtfisInput in;
    in.k = p.instance % 50 + 1;
    in.precision = precision;
    in.loss = loss;
    in.beta2 = beta2;
    in.beta3 = beta3;
    in.section = static_cast<float>(p.section);
    in.gamma = gamma;
    in.nsteps = nsteps;
    in.h = h.data();
    in.dlyin = dlyin.data();
    in.reuse_designs = reuse;
    in.round = FilterDesignRound{dt, true, &messages};
    in.seeds = SimulationSettings{}.seeds;
    in.streams = &streams;
    FibreDesignRecords records;
    const auto t0 = std::chrono::steady_clock::now();
    wrtfis(in, records);
    return seconds_since(t0);
}

}  // namespace

int main(int argc, char** argv) {
    const bool with_files = argc > 1 && std::strcmp(argv[1], "--files") == 0;
    xu_MsgInit("Nodrix", 56, nullptr, nullptr);
    opx_filter_init();
    const auto dir = std::filesystem::temp_directory_path() / "nodrix-bench-fibre-setup";
    std::filesystem::create_directories(dir);
    std::filesystem::current_path(dir);
    RunContext ctx{SimulationSettings{}};

    std::printf("Fibre set-up, sizing round (all step filters designed, the run's storage claimed)\n");
    for (const FibreCase& p : {span(), grating()}) {
        time_setup(p, ctx, SetupRound::sizing);  // first call: warm caches
        double best = 1e30;
        SetupResult r;
        for (int i = 0; i < 5; ++i) {
            r = time_setup(p, ctx, SetupRound::sizing);
            best = std::min(best, r.seconds);
        }
        std::printf("  %-14s %8.1f ms   storage claimed %lld bytes\n", p.name.c_str(), 1e3 * best,
                    static_cast<long long>(r.claimed));
    }

    std::printf("Filter synthesis alone (wrtfis), equal steps designed once vs every step designed\n");
    for (const FibreCase& p : {span(), grating()}) {
        std::int32_t n = 0;
        const double once = time_synthesis(p, true, n);
        const double every = time_synthesis(p, false, n);
        std::printf("  %-14s %4d steps   once %8.1f ms   every step %8.1f ms\n", p.name.c_str(), n, 1e3 * once,
                    1e3 * every);
    }

    if (with_files) {
        std::printf("Filter-writing round of a run (every step filter kept for the run)\n");
        for (const FibreCase& p : {span(), grating()}) {
            const SetupResult r = time_setup(p, ctx, SetupRound::filter_writing);
            std::printf("  %-14s %8.1f ms\n", p.name.c_str(), 1e3 * r.seconds);
        }
    }
    std::filesystem::current_path(std::filesystem::temp_directory_path());
    std::filesystem::remove_all(dir);
    return 0;
}
