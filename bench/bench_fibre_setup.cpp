// Times the set-up of the reference fibre span (120 km) and of the dispersion-
// compensating grating that follows it: the dimensioning pass the program runs
// (step choice, every step filter, scratch working files, storage count), and
// the filter synthesis alone with each distinct filter designed once against
// every step designed anew. With --files it also times the filter-writing pass
// of a run, which writes every coefficient to the "o4" working file.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "kernel/control_blocks.h"
#include "kernel/driver.h"
#include "kernel/filexx.h"
#include "kernel/signals.h"
#include "kernel/storage.h"
#include "models/fibre/fibre_block.h"
#include "models/fibre/fibre_filters.h"
#include "models/fibre/split_step.h"
#include "numerics/filter_tables.h"
#include "runtime/io_file.h"
#include "runtime/opxfile.h"
#include "xu/xu_msg.h"

using namespace nodrix;

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void project_constants() {
    write_run_constants(ProjectConstants{});
    opx_filter_init();
}

FiberParams span() {
    FiberParams p;
    p.title = "Fiber span";
    p.name = "bench_span";
    p.ipar[0] = 73;
    p.ipar[2] = 1;
    p.rpar[0] = 120.0f;
    p.rpar[2] = 0.2f;
    p.rpar[5] = -20.2205f;
    p.rpar[6] = 0.147459f;
    p.rpar[10] = 20.0f;
    p.rpar[11] = 1.26809f;
    p.rpar[26] = 121.0f;
    return p;
}

FiberParams grating() {
    FiberParams p;
    p.title = "Grating";
    p.name = "bench_grating";
    p.ipar[0] = 74;
    p.rpar[0] = 1.0f;
    p.rpar[5] = 2448.86f;
    p.rpar[10] = 1e6f;
    p.rpar[26] = 121.0f;
    return p;
}

OpticalSignal sixteen_carriers() {
    OpticalSignal s;
    for (int c = 0; c < 16; ++c) s.ps[static_cast<std::size_t>(137 + 50 * c)] = 1.0f;
    s.pp = 16.0f;
    s.iv = 1;
    return s;
}

struct SetupResult {
    double seconds = 0.0;
    std::int32_t memused = 0;
};

SetupResult time_setup(const FiberParams& p, bool dimensioning, std::int32_t memfile) {
    FiberParams q = p;
    q.memfile = memfile;
    InputWindow in{0.0f, 15360.0f};
    TimeWindow out;
    OpticalSignal input = sixteen_carriers();
    OpticalSignal output;
    zzctrl.pass = 0;
    optcl_ctrl.blkmode = dimensioning ? 1 : 0;
    zzflmn.nohist = 1;
    zzsupv.storephase = 0;
    optcl_ctrl.memused = 0;
    const auto t0 = std::chrono::steady_clock::now();
    fiber1(q, in, out, input, output);
    return {seconds_since(t0), optcl_ctrl.memused};
}

// The filter synthesis of a fibre in the dimensioning mode, with or without
// reuse of equal designs.
double time_synthesis(const FiberParams& p, bool reuse, std::int32_t& nsteps) {
    std::vector<double> h(kMaxSteps);
    std::int32_t uniform = 0;
    if (p.ipar[2] == 1) {
        NonlinearStepInput s;
        s.beta2 = p.rpar[5];
        s.beta3 = p.rpar[6];
        s.total_power = 16.0;
        s.carriers = 16;
        const double x = 25.0 * 0.06666667;
        s.peak_power = (1.0 + 7.5 * std::exp(-x * x)) * 16.0;
        s.alpha = static_cast<double>(p.rpar[2]) / (20.0 * std::log10(std::exp(1.0)));
        s.gamma = 0.001 * static_cast<double>(p.rpar[11]);
        s.length = p.rpar[0];
        s.system_length = p.rpar[26];
        s.phase_divisor = 360.0;
        s.fwm_accuracy = 18.0;
        stpeva(s, nsteps, h, uniform, -1, p.ipar[0]);
    } else {
        stpeli(p.rpar[5], 0.0, 0.0, 0.0, p.rpar[0], nsteps, h, -1, p.ipar[0]);
    }
    const double precision = std::max(1e-8, std::pow(10.0, (std::log10(1.2 * p.rpar[0] / (nsteps * 121.0)) - 0.66) *
                                                                   1.0666666666666667 -
                                                               0.5));
    optcl_ctrl.blkmode = 1;
    zzflmn.nohist = 1;
    open_scratch_unit(99, false);
    open_scratch_unit(96, false);
    open_scratch_unit(95, false);
    std::vector<float> dlyin(kBins, 0.0f);
    WrtfisInput in;
    in.k = p.ipar[0] % 50 + 1;
    in.precision = precision;
    in.loss = p.rpar[2];
    in.beta2 = p.rpar[5];
    in.beta3 = p.rpar[6];
    in.section = p.rpar[10];
    in.gamma = p.rpar[11];
    in.unit_om = 99;
    in.unit_o7 = 96;
    in.unit_os = 95;
    in.nsteps = nsteps;
    in.h = h.data();
    in.dlyin = dlyin.data();
    in.reuse_designs = reuse;
    const auto t0 = std::chrono::steady_clock::now();
    wrtfis(in);
    const double seconds = seconds_since(t0);
    close_unit(99);
    close_unit(96);
    close_unit(95);
    return seconds;
}

}  // namespace

int main(int argc, char** argv) {
    allocate_storage(kDefaultCapacities);  // the kernel storage of a default run
    const bool with_files = argc > 1 && std::strcmp(argv[1], "--files") == 0;
    xu_MsgInit("Nodrix", 56, nullptr, nullptr);
    project_constants();
    const auto dir = std::filesystem::temp_directory_path() / "nodrix-bench-fibre-setup";
    std::filesystem::create_directories(dir);
    std::filesystem::current_path(dir);
    const std::int32_t mem = io_open("bench.mem", kIoWrite, 0);

    std::printf("Fibre set-up, dimensioning pass (all step filters designed, scratch working files)\n");
    for (const FiberParams& p : {span(), grating()}) {
        time_setup(p, true, mem);  // first call: warm caches
        double best = 1e30;
        SetupResult r;
        for (int i = 0; i < 5; ++i) {
            r = time_setup(p, true, mem);
            best = std::min(best, r.seconds);
        }
        std::printf("  %-14s %8.1f ms   storage counted %d bytes\n", p.name.c_str(), 1e3 * best, r.memused);
    }

    std::printf("Filter synthesis alone (wrtfis), equal steps designed once vs every step designed\n");
    for (const FiberParams& p : {span(), grating()}) {
        std::int32_t n = 0;
        const double once = time_synthesis(p, true, n);
        const double every = time_synthesis(p, false, n);
        std::printf("  %-14s %4d steps   once %8.1f ms   every step %8.1f ms\n", p.name.c_str(), n, 1e3 * once,
                    1e3 * every);
    }

    if (with_files) {
        std::printf("Filter-writing pass of a run (o1, o4, o7, os, om on disk)\n");
        for (const FiberParams& p : {span(), grating()}) {
            const SetupResult r = time_setup(p, false, mem);
            const auto o4 = "o4" + std::string(p.ipar[0] == 73 ? "000073" : "000074") + ".DAT";
            const double mb = std::filesystem::exists(o4) ? std::filesystem::file_size(o4) / 1e6 : 0.0;
            std::printf("  %-14s %8.1f ms   o4 %.0f MB\n", p.name.c_str(), 1e3 * r.seconds, mb);
        }
    }
    io_close(mem);
    std::filesystem::current_path(std::filesystem::temp_directory_path());
    std::filesystem::remove_all(dir);
    return 0;
}
