// Times the BER and Q estimator: the per-sample collection of four estimators
// over a run (as in the project, each call walking its storage records), and
// the end-of-run search with its report for several pattern lengths and the
// chi-square approximation. Run it in a scratch directory: it writes reports.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "kernel/control_blocks.h"
#include "kernel/driver.h"
#include "kernel/storage.h"
#include "models/measurements/ber_estimator.h"

using namespace nodrix;

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

PestimParams params(int k, std::int32_t spb) {
    const std::string n = std::to_string(k);
    return PestimParams{0.0f, 12800.0f, spb, 3, 0, 0.5f, {0, 0, 1, 1}, {0.5f, 0.0f},
                        "pestim" + n, "bench_PST" + n, "pestim" + n, "bench_BER" + n};
}

void reset_cursors() { zzsupv.h = zzsupv.i = zzsupv.c = zzsupv.d = zzsupv.z = zzsupv.zd = 1; }

}  // namespace

int main(int argc, char** argv) {
    allocate_storage(kDefaultCapacities);  // the kernel storage of a default run
    const long samples = argc > 1 ? std::atol(argv[1]) : 10000000L;
    write_run_constants(ProjectConstants{});
    zzctrl.tend = static_cast<float>(samples * static_cast<double>(zzctrl.delt));
    zzsupv.storephase = 1;
    optcl_ctrl.blkmode = 1;
    const std::int32_t spb = 1561;  // 10 Gb/s at the project's time step: about 1561 samples per bit
    const TimeWindow in{0.0f, zzctrl.tend, 0.0f, zzctrl.tend};
    std::vector<PestimParams> blocks;
    for (int k = 0; k < 4; ++k) blocks.push_back(params(k, spb));
    zzctrl.pass = 0;
    reset_cursors();
    for (const PestimParams& p : blocks) pestim(p, in, ElectricalSample{});

    // A received NRZ signal of random bits, with more noise on the marks (as
    // signal-spontaneous beating gives), precomputed so that only the
    // estimator is timed.
    std::mt19937 gen(5);
    std::normal_distribution<float> noise(0.0f, 1.0f);
    std::vector<int> bits(512);
    for (int& b : bits) b = static_cast<int>(gen() & 1u);
    auto sample = [&](int bit) { return static_cast<float>(bit) * (1.0f + 0.08f * noise(gen)) + 0.04f * noise(gen); };
    std::vector<float> signal(static_cast<std::size_t>(spb) * bits.size());
    for (std::size_t i = 0; i < signal.size(); ++i) signal[i] = sample(bits[i / static_cast<std::size_t>(spb)]);

    // Collection: everything but the last sample, which runs the search.
    const auto t0 = std::chrono::steady_clock::now();
    for (long step = 1; step < samples; ++step) {
        zzctrl.pass = 1;
        zzctrl.step = static_cast<std::int32_t>(step);
        zzctrl.time = static_cast<float>((step - 1) * static_cast<double>(zzctrl.delt));
        reset_cursors();
        const float v = signal[static_cast<std::size_t>(step) % signal.size()];
        for (const PestimParams& p : blocks) pestim(p, in, ElectricalSample{v, 0.0f, 0.0f});
    }
    const double collect = seconds_since(t0);
    std::printf("collection: %ld samples x 4 estimators in %.3f s (%.2f ns per block call)\n", samples, collect,
                1e9 * collect / (4.0 * static_cast<double>(samples)));

    const auto t1 = std::chrono::steady_clock::now();
    zzctrl.step = static_cast<std::int32_t>(samples);
    zzctrl.time = static_cast<float>((samples - 1) * static_cast<double>(zzctrl.delt));
    reset_cursors();
    for (const PestimParams& p : blocks) pestim(p, in, ElectricalSample{});
    std::printf("end of run: 4 searches (L = 3, 100 instants x 31 thresholds) in %.3f s\n", seconds_since(t1));

    // The search alone on 128 bits of 100 samples for each pattern length and approximation.
    std::vector<float> eye;
    for (int b = 0; b < 128; ++b)
        for (int j = 0; j < 100; ++j) eye.push_back(sample(bits[static_cast<std::size_t>(b)]));
    struct Case {
        std::int32_t length;
        float dof;
    };
    for (const Case c : {Case{1, 0.0f}, Case{3, 0.0f}, Case{5, 0.0f}, Case{1, 20.0f}, Case{3, 20.0f}, Case{5, 20.0f}}) {
        QBerRequest r;
        r.mode = 1;
        r.pattern_length = c.length;
        r.nv = {1, 1, 1, 1};
        r.rv = {0.5f, c.dof};
        r.bit_period = 100.0;
        r.title = "bench";
        r.report_name = "bench_search";
        r.file_name = "bench_search";
        const auto t2 = std::chrono::steady_clock::now();
        q_ber_main(eye, 100, r);
        std::printf("search L = %d, %s: %.3f s\n", c.length, c.dof > 0.0f ? "chi-square (20 degrees of freedom)" : "Gaussian",
                    seconds_since(t2));
    }
    return 0;
}
