// Times the BER and Q estimator: the per-sample collection of four estimators
// over a run (made from the registry, as a link makes them), and
// the end-of-run search with its report for several pattern lengths and the
// chi-square approximation. Run it in a scratch directory: it writes reports.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "kernel/block.h"
#include "models/measurements/ber_estimator.h"

using namespace nodrix;

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// An estimator on `input` made from the registry, as a link makes it.
std::unique_ptr<Block> estimator(int k, std::int32_t spb, const ElectricalSample& input, const TimeWindow& window) {
    const KindSpec& kind = *find_registered_kind("ber_estimator");
    const std::string n = std::to_string(k);
    BlockSettings values = BlockSettings::defaults(kind);
    values.set_number("window_ps", 12800.0);
    values.set_number("samples_per_bit", spb);
    values.set_number("instant_chart", 0);
    values.set_number("threshold_chart", 0);
    values.set_text("title", "pestim" + n);
    values.set_text("report_name", "bench_PST" + n);
    values.set_text("chart_name", "bench_BER" + n);
    Connections c;
    c.add_input("input", SignalKind::electrical, &input);
    c.producer_window = &window;
    return kind.create(values, c);
}

}  // namespace

int main(int argc, char** argv) {
    const long samples = argc > 1 ? std::atol(argv[1]) : 10000000L;
    SimulationSettings settings;
    settings.end_time_ps = static_cast<float>((static_cast<double>(samples) - 0.5) * settings.time_step_ps);
    RunContext context{settings};
    const std::int32_t spb = 1561;  // 10 Gb/s at the project's time step: about 1561 samples per bit
    // The observation opens at the run's start.
    const TimeWindow in{0.0f, settings.end_time_ps, -settings.monitor_offset_ps, settings.end_time_ps};
    ElectricalSample input;
    std::vector<std::unique_ptr<Block>> blocks;
    for (int k = 0; k < 4; ++k) blocks.push_back(estimator(k, spb, input, in));
    context.enter_round(SetupRound::state);  // the round whose claims a run keeps
    for (auto& b : blocks) {
        b->design(context);
        b->setup(context);
    }

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

    // Collection: everything but the last sample, after which the search runs.
    const auto t0 = std::chrono::steady_clock::now();
    for (long step = 1; step < samples; ++step) {
        context.enter_sample(static_cast<std::int32_t>(step));
        input.value = signal[static_cast<std::size_t>(step) % signal.size()];
        for (auto& b : blocks) b->run(context);
    }
    const double collect = seconds_since(t0);
    std::printf("collection: %ld samples x 4 estimators in %.3f s (%.2f ns per block call)\n", samples, collect,
                1e9 * collect / (4.0 * static_cast<double>(samples)));

    const auto t1 = std::chrono::steady_clock::now();
    context.enter_sample(static_cast<std::int32_t>(samples));
    input.value = 0.0f;
    for (auto& b : blocks) b->run(context);
    for (auto& b : blocks) b->finish(context);
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
        q_ber_main(eye, 100, r, context.files());
        std::printf("search L = %d, %s: %.3f s\n", c.length, c.dof > 0.0f ? "chi-square (20 degrees of freedom)" : "Gaussian",
                    seconds_since(t2));
    }
    return 0;
}
