// Amplifier timings: the per-sample pass of the link's three flat amplifiers
// (two fixed-gain 5 dB, one fixed output power 10 mW, noise figure 2.81838,
// noise on), the noise source alone, the profile model's per-sample pass and
// its filter synthesis.
#include <chrono>
#include <cmath>
#include <cstdio>

#include "kernel/control_blocks.h"
#include "kernel/driver.h"
#include "kernel/storage.h"
#include "models/amplifiers/amplifier_noise.h"
#include "models/amplifiers/edfa.h"
#include "models/amplifiers/edfa_profile.h"
#include "numerics/filter_tables.h"

using namespace nodrix;

namespace {

using Clock = std::chrono::steady_clock;

void set_constants() {
    write_run_constants(ProjectConstants{});
    zzctrl.tend = 640443.06f;
    opx_filter_init();
}

void cursors() {
    zzsupv.h = zzsupv.i = zzsupv.c = zzsupv.d = zzsupv.z = zzsupv.zd = 1;
    zzsupt.ht = zzsupt.it = zzsupt.ct = 1;
    zzsupv.storephase = 1;
}

void sample(std::int32_t step) {
    cursors();
    zzctrl.pass = 1;
    zzctrl.step = step;
    zzctrl.time = static_cast<float>(step - 1) * zzctrl.delt;
}

double seconds_since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

}  // namespace

int main() {
    allocate_storage(kDefaultCapacities);  // the kernel storage of a default run
    set_constants();
    const int samples = 2000000;
    InputWindow in{0.0f, 1e9f};
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
    const OampfgParams fg{5.0f, "", 2.81838f, 0, ""};
    const OampfpParams fp{35.0f, "", 2.81838f, 0, "", 10.0f};

    cursors();
    zzctrl.pass = 0;
    zzflmn.nohist = 0;
    oampfg(fg, in, w1, a, b);
    oampfp(fp, in, w2, b, c);
    oampfg(fg, in, w3, c, d);
    auto t0 = Clock::now();
    double check = 0.0;
    for (int k = 1; k <= samples; ++k) {
        sample(k);
        a.x = FieldSample{std::sin(0.001f * k), 0.0f, f_vbs_band.fcenter};
        oampfg(fg, in, w1, a, b);
        oampfp(fp, in, w2, b, c);
        oampfg(fg, in, w3, c, d);
        check += d.x.re;
    }
    const double flat = seconds_since(t0);
    std::printf("flat model, 3 amplifiers: %.1f ns per sample (%.2f s for 10^7 samples)  [check %.3g]\n",
                1e9 * flat / samples, flat * 1e7 / samples, check);

    cursors();
    zzctrl.pass = 0;
    FieldSample z1;
    FieldSample z2;
    wgn2an(f_vbs_band.fcenter, z1, z2);
    t0 = Clock::now();
    for (int k = 1; k <= samples; ++k) {
        sample(k);
        wgn2an(f_vbs_band.fcenter, z1, z2);
        check += z1.re;
    }
    const double noise = seconds_since(t0);
    std::printf("wgn2an alone: %.1f ns per call\n", 1e9 * noise / samples);

    // Profile model: the flat gain through the default tables (noise figure
    // parameter negative selects the profile model, a file gives its values).
    std::FILE* f = std::fopen("bench_nf.DAT", "w");
    std::fputs("##\n1450 4.5\n1700 4.5\n", f);
    std::fclose(f);
    const OampfgParams pg{5.0f, "", -1.0f, 0, "bench_nf"};
    cursors();
    zzctrl.pass = 0;
    t0 = Clock::now();
    oampfg(pg, in, w1, a, b);
    const double synthesis = seconds_since(t0);
    std::printf("profile model set-up (tables and synthesis): %.2f ms, FFT length %d\n", 1e3 * synthesis,
                *ist_at(3));
    const int profile_samples = samples / 2;
    t0 = Clock::now();
    for (int k = 1; k <= profile_samples; ++k) {
        sample(k);
        a.x = FieldSample{std::sin(0.001f * k), 0.0f, f_vbs_band.fcenter};
        oampfg(pg, in, w1, a, b);
        check += b.x.re;
    }
    const double profile = seconds_since(t0);
    std::printf("profile model, 1 amplifier: %.1f ns per sample  [check %.3g]\n", 1e9 * profile / profile_samples,
                check);
    std::remove("bench_nf.DAT");
    return 0;
}
