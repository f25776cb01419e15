// Per-sample cost of the transmitter section of sim_160G: sixteen
// transmitters (laser, data source, NRZ driver, modulator) and the five
// combiners, run sample by sample with real kernel storage, as a per-sample
// schedule would. Prints the time per sample round and per block call.
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include <memory>
#include <string_view>

#include "kernel/block.h"
#include "kernel/driver.h"
#include "models/transmitters/gaussian.h"

using namespace nodrix;

namespace {

struct Transmitter {
    std::unique_ptr<Block> laser;
    std::unique_ptr<Block> source;
    std::unique_ptr<Block> driver;
    std::unique_ptr<Block> modulator;
    OpticalSignal light;
    TimeWindow light_window;
    ElectricalSample clock;
    LogicalSignal bits{};
    ElectricalSample drive;
    OpticalSignal out;
    TimeWindow out_window;
};

// A block of a declared kind, with its numbers set and its ports connected.
std::unique_ptr<Block> make_block(std::string_view name, std::initializer_list<std::pair<std::string_view, double>> numbers,
                                  const Connections& connections) {
    const KindSpec& kind = *find_registered_kind(name);
    BlockSettings settings = BlockSettings::defaults(kind);
    for (const auto& [param, value] : numbers) settings.set_number(param, value);
    return kind.create(settings, connections);
}

Connections optical_connections(std::initializer_list<const OpticalSignal*> inputs, OpticalSignal* output,
                                const TimeWindow* producer, TimeWindow* window) {
    Connections c;
    for (const OpticalSignal* in : inputs) c.add_input("inputs", SignalKind::optical, in);
    c.add_output("output", SignalKind::optical, output);
    c.producer_window = producer;
    c.window = window;
    return c;
}

}  // namespace

int main(int argc, char** argv) {
    const long samples = argc > 1 ? std::atol(argv[1]) : 200000;
    const float linewidth = argc > 2 ? static_cast<float>(std::atof(argv[2])) : 10.0f;

    static std::array<Transmitter, 16> tx;
    RunContext run{SimulationSettings{}};
    for (int k = 0; k < 16; ++k) {
        Transmitter& t = tx[static_cast<std::size_t>(k)];
        Connections laser;
        laser.add_output("output", SignalKind::optical, &t.light);
        laser.window = &t.light_window;
        t.laser = make_block("laser",
                             {{"frequency_thz", static_cast<double>(193.85f - 0.05f * static_cast<float>(k))},
                              {"power_mw", 1.0},
                              {"linewidth_mhz", static_cast<double>(linewidth)}},
                             laser);
        Connections source;
        source.add_output("output", SignalKind::logical, &t.bits);
        source.add_output("clock_output", SignalKind::electrical, &t.clock);
        t.source = make_block("prbs_source",
                              {{"degree", 7},
                               {"polynomial", static_cast<double>(1 + k % 18)},
                               {"samples_per_bit", 1561},
                               {"first_boundary_samples", static_cast<double>((227 + 836 * k) % 1561)},
                               {"skipped_symbols", static_cast<double>(72 - 2 * k)}},
                              source);
        Connections driver;
        driver.add_input("input", SignalKind::logical, &t.bits);
        driver.add_output("output", SignalKind::electrical, &t.drive);
        t.driver = make_block("nrz_driver",
                              {{"samples_per_bit", 1561}, {"low_level_v", -2.5}, {"high_level_v", 2.5},
                               {"rise_time_bits", static_cast<double>(0.3f)}, {"crossing_point_percent", 50.0}},
                              driver);
        Connections c;
        c.add_input("input", SignalKind::optical, &t.light);
        c.add_input("drive", SignalKind::electrical, &t.drive);
        c.add_output("output", SignalKind::optical, &t.out);
        c.producer_window = &t.light_window;
        c.window = &t.out_window;
        t.modulator = make_block("modulator",
                                 {{"insertion_loss_db", 3.0}, {"bias_voltage_v", 2.5}, {"switching_voltage_v", 5.0},
                                  {"symmetry", 0.999}, {"spectral_field_factor", 0.7079457}},
                                 c);
    }
    static std::array<OpticalSignal, 5> comb;
    std::array<TimeWindow, 5> comb_window{};
    std::array<std::unique_ptr<Block>, 5> combiners;
    for (std::size_t g = 0; g < 4; ++g) {
        const Transmitter* q = &tx[4 * g];
        combiners[g] = make_block("combiner", {},
                                  optical_connections({&q[0].out, &q[1].out, &q[2].out, &q[3].out}, &comb[g],
                                                      &q[0].out_window, &comb_window[g]));
    }
    combiners[4] = make_block("combiner", {},
                              optical_connections({&comb[0], &comb[1], &comb[2], &comb[3]}, &comb[4], &comb_window[0],
                                                  &comb_window[4]));

    // The set-up call runs every block's design and set-up, a sample call their run.
    auto round = [&] {
        const bool sample = run.phase() == Phase::run;
        for (Transmitter& t : tx) {
            for (Block* b : {t.laser.get(), t.source.get(), t.driver.get(), t.modulator.get()}) {
                if (sample) {
                    b->run(run);
                } else {
                    b->design(run);
                    b->setup(run);
                }
            }
        }
        for (auto& c : combiners) {
            if (sample) {
                c->run(run);
            } else {
                c->design(run);
                c->setup(run);
            }
        }
    };

    reset_uniform_generators();
    run.enter_round(SetupRound::state);
    round();

    // Samples inside the sources' window (first 15360 ps), then samples after
    // it, where the lasers only keep their phase noise running.
    double power = 0.0;
    auto timed = [&](long first, long count) {
        const auto start = std::chrono::steady_clock::now();
        for (long k = first; k < first + count; ++k) {
            run.enter_sample(static_cast<std::int32_t>(k));
            round();
            power += static_cast<double>(comb[4].x.re) * comb[4].x.re + static_cast<double>(comb[4].x.im) * comb[4].x.im;
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        return seconds / static_cast<double>(count) * 1e9;
    };
    const double inside = timed(1, samples);
    const double outside = timed(300000, samples);
    const double window_samples = 15360.0 / 0.0640443;
    const double projected = (inside * window_samples + outside * (1e7 - window_samples)) * 1e-9;
    std::printf("transmitter section, %ld samples each, line width %.1f MHz\n", samples, static_cast<double>(linewidth));
    std::printf("  inside the window:  %7.1f ns per sample round (16 x 4 blocks + 5 combiners), %5.1f ns per block\n",
                inside, inside / 69.0);
    std::printf("  after the window:   %7.1f ns per sample round, %5.1f ns per block\n", outside, outside / 69.0);
    std::printf("  projected for 10^7 samples: %.1f s\n", projected);
    std::printf("  checksum %.6f\n", power);
    return 0;
}
