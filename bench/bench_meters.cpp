// Times the per-sample path of the receiver and measurement blocks in the
// numbers the project carries: 16 photodiodes (shot noise on), 4 optical power
// meters, 2 optical spectrum analysers (frames of 1000) and 2 eye scopes, over
// a run of samples, and extrapolates to 10^7 samples. Two cases: the project's
// windows (the signals last 15360 ps of the 640443 ps run) and windows that
// span the whole run, in which every block works on every sample.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "kernel/block.h"
#include "kernel/driver.h"
#include "kernel/filexx.h"
#include "kernel/signals.h"
#include "models/transmitters/gaussian.h"

using namespace nodrix;

namespace {

double run(std::int32_t samples, float twinin) {
    reset_uniform_generators();
    std::vector<OpticalSignal> channels(16);
    for (auto& c : channels) c.iv = 1;
    OpticalSignal line;
    line.iv = 1;
    std::vector<TimeWindow> pd_out(16), pm_out(4), osa_out(2);
    std::vector<ElectricalSample> currents(16);
    SimulationSettings settings;
    // The last sample is sample `samples`.
    settings.end_time_ps = static_cast<float>((samples - 0.5) * static_cast<double>(settings.time_step_ps));
    settings.emission_window_ps = twinin;
    RunContext context{settings};
    // The declared measurement blocks, each on the line with a window of its own.
    std::vector<std::unique_ptr<Block>> declared;
    auto declare = [&](const char* kind, const std::string& title, const std::string& file, TimeWindow& window) {
        const KindSpec& entry = *find_registered_kind(kind);
        BlockSettings values = BlockSettings::defaults(entry);
        values.set_text("title", title);
        values.set_text("file_name", file);
        Connections c;
        c.add_input("input", SignalKind::optical, &line);
        c.window = &window;
        declared.push_back(entry.create(values, c));
    };
    for (int k = 0; k < 4; ++k)
        declare("power_meter", "opowme Run(s): 1", "bench_PWM" + std::to_string(k), pm_out[static_cast<std::size_t>(k)]);
    for (int k = 0; k < 2; ++k)
        declare("spectrum_analyser", "optspr Run(s): 1", "bench_OSA" + std::to_string(k), osa_out[static_cast<std::size_t>(k)]);
    std::vector<std::unique_ptr<Block>> pd;
    const KindSpec& diode = *find_registered_kind("photodiode");
    for (int k = 0; k < 16; ++k) {
        BlockSettings values = BlockSettings::defaults(diode);
        values.set_number("shot_noise", std::getenv("NOSHOT") ? 0 : 1);
        values.set_number("dark_current_na", 10.0);
        Connections c;
        c.add_input("input", SignalKind::optical, &channels[static_cast<std::size_t>(k)]);
        c.add_output("output", SignalKind::electrical, &currents[static_cast<std::size_t>(k)]);
        c.window = &pd_out[static_cast<std::size_t>(k)];
        pd.push_back(diode.create(values, c));
    }
    const TimeWindow good{0.0f, twinin, 0.0f, twinin};
    // The scopes, called after the photodiodes whose currents they record.
    std::vector<std::unique_ptr<Block>> scopes;
    const KindSpec& eye = *find_registered_kind("eye_scope");
    for (const int k : {7, 13}) {
        BlockSettings values = BlockSettings::defaults(eye);
        values.set_number("window_ps", twinin);
        values.set_number("samples_per_bit", 1561);
        values.set_text("title", "scope Run(s): 1");
        values.set_text("file_name", "bench_EYE" + std::to_string(k));
        Connections c;
        c.add_input("input", SignalKind::electrical, &currents[static_cast<std::size_t>(k)]);
        c.producer_window = &good;
        scopes.push_back(eye.create(values, c));
    }

    auto drive = [&](std::vector<std::unique_ptr<Block>>& blocks) {
        for (auto& m : blocks) {
            if (context.phase() == Phase::run) {
                m->run(context);
            } else {
                m->design(context);
                m->setup(context);
            }
        }
    };
    auto call_all = [&]() {
        drive(declared);
        drive(pd);
        drive(scopes);
    };

    call_all();

    const auto t0 = std::chrono::steady_clock::now();
    for (std::int32_t s = 1; s <= samples; ++s) {
        context.enter_sample(s);
        // A field per channel turning slowly, as a demultiplexed carrier does.
        const float ph = 0.001f * static_cast<float>(s);
        const FieldSample f{std::cos(ph), std::sin(ph), settings.band.centre_thz};
        for (auto& c : channels) c.x = f;
        line.x = f;
        call_all();
    }
    for (auto& m : declared) m->finish(context);
    for (auto& m : scopes) m->finish(context);
    const auto t1 = std::chrono::steady_clock::now();
    return std::chrono::duration<double>(t1 - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
    const std::int32_t samples = argc > 1 ? std::atoi(argv[1]) : 2000000;
    const auto dir = std::filesystem::temp_directory_path() / "nodrix-bench-meters";
    std::filesystem::create_directories(dir);
    std::filesystem::current_path(dir);
    const double run_length = samples * 0.0640443;
    struct Case {
        const char* name;
        float twinin;
    };
    for (const Case& c : {Case{"project windows (signal 15360 ps)", 15360.0f},
                          Case{"windows spanning the run", static_cast<float>(run_length + 10000.0)}}) {
        const double s = run(samples, c.twinin);
        std::printf("%-36s %d samples: %.3f s, %.1f ns per sample (24 blocks), %.2f s per 10^7 samples\n", c.name,
                    samples, s, 1e9 * s / samples, s * 1e7 / samples);
        reset_units();
    }
    std::filesystem::current_path(dir.parent_path());
    std::filesystem::remove_all(dir);
    return 0;
}
