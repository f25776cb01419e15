// The optical power meter (opowme): the mean optical power of a signal over
// the part of the run in which every spectral component is present, less a
// guard at both ends, reported at the end of the run in dBm and mW.
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "kernel/block_declaration.h"
#include "models/measurements/file_name_check.h"
#include "models/measurements/observation.h"
#include "runtime/format.h"
#include "runtime/opxfile.h"

namespace nodrix {
namespace {

// Below this mean power [mW] the report gives -100 dBm and a warning.
constexpr float kLowestPower = 1e-10f;

// The report's lines for a mean power [mW].
std::vector<std::string> report_lines(const std::string& title, float power) {
    const bool truncated = power < kLowestPower;
    const float dbm = truncated ? -100.0f : 10.0f * std::log10(power);
    std::vector<std::string> lines = {
        "",
        "Optical power at " + fmt::A(title, 50),
        " P Power [dBm] = " + fmt::F(dbm, 12, 3),
        " P Power [mW] = " + fmt::E(power, 12, 3),
        "",
    };
    if (truncated) {
        lines.push_back("WARNING !");
        lines.push_back("  The evaluated optical power is very low");
        lines.push_back("  and has been conventionally truncated to" + fmt::F(-100.0, 12, 3) + " dBm");
    }
    return lines;
}

struct PowerMeter {
    std::string title;      // caption in the report
    std::string file_name;  // report file, ".DAT" appended; cut at its first blank
    std::string label;      // where the meter sits, for the run's summary

    Input<OpticalSignal> input;
    Window window;

    // The running sum of the power samples [mW] and their number, held while
    // the input is in band.
    State<double> sums;
    // At the last sample: how much of the measuring window the meter saw
    // and, once the run reached the window, the mean power; the report is
    // written from them at the end.
    bool run_ended = false;
    ObservationCoverage coverage;
    bool measured = false;
    float mean_power = 0.0f;

    static KindDeclaration<PowerMeter> declaration() {
        using M = PowerMeter;
        return {
            .name = "power_meter",
            .routine = "opowme",
            .help = "optical power meter: the mean power over the good interval, reported in dBm and mW",
            .family = BlockFamily::measurements,
            .parameters =
                {
                    parameter(&M::title, {.name = "title", .text_fallback = "opowme{n} Run(s): 1",
                                          .help = "caption in the report"}),
                    parameter(&M::file_name, {.name = "file_name", .text_fallback = "{link}_OPM{id}",
                                              .help = "report file name (\".DAT\" appended)"}),
                    parameter(&M::label, {.name = "label", .text_fallback = "at signal {input}",
                                          .help = "where the meter sits, in the run's summary"}),
                },
            .inputs = {port(&M::input, {.key = "input", .help = "the light measured"})},
            .window = &M::window,
            .check = [](const BlockSettings& s, const LinkContext&, Findings& found) {
                check_result_file_name(s, "file_name", true, found);
            },
        };
    }

    // The meter passes its input's window on, from its least delayed component.
    void design(const RunContext& ctx, StateClaims& state) {
        const float* gd = input->gd.data();
        group_delay_window(window.input(ctx), gd, least_group_delay(gd), window.output());
        if (input->iv != 0) state.claim(sums, 2);
        run_ended = false;
        measured = false;
    }

    // An earlier run's coverage is none of this run's.
    void setup(const RunContext&) { forget_observation(file_name); }

    // |x|^2 with one field, |x|^2 + |y|^2 with two [mW].
    static float sample_power(const RunContext& ctx, const FieldSample& x, const FieldSample& y) {
        float p = x.re * x.re + x.im * x.im;
        if (ctx.fields() != 1) p += y.re * y.re + y.im * y.im;
        return p;
    }

    void run(const RunContext& ctx) {
        const TimeWindow& good = window.output();
        const float t = ctx.time();
        const float start = good.tgoodi + ctx.monitor_offset();
        const bool in_band = input->iv != 0;
        if (in_band && t >= start && t <= good.tgoodf - ctx.monitor_offset()) {
            sums[0] += sample_power(ctx, input->x, input->y);
            sums[1] += 1.0;
        }
        if (ctx.last_sample()) end_of_run(ctx, start, in_band);
    }

    void end_of_run(const RunContext& ctx, float start, bool in_band) {
        const float t = ctx.time();
        const float end = window.output().tgoodf - ctx.monitor_offset();
        const float step = ctx.time_step();
        // An input out of band is measured (as nothing) over the whole window.
        const double collected = in_band ? sums[1] : std::max(std::floor((std::min(t, end) - start) / step) + 1.0, 0.0);
        coverage = interval_coverage(ObservationUnit::samples, static_cast<std::int64_t>(collected), 1, start, end, t,
                                     step);
        run_ended = true;
        if (t < start) return;
        // No sample in the window (an empty window, or an input out of band)
        // measures no power.
        mean_power = in_band && sums[1] > 0.0 ? static_cast<float>(sums[0] / sums[1]) : 0.0f;
        measured = true;
    }

    Status finish(const RunContext& ctx) {
        if (run_ended) post_observation(file_name, coverage);
        if (!measured) return {};
        const std::string name = cut_at_first_blank(file_name.c_str());
        if (name.empty()) {
            const auto last = title.find_last_not_of(' ');
            return Status::error("Optical power meter " + title.substr(0, last == std::string::npos ? 0 : last + 1) +
                                 ": no report name given");
        }
        const ReportFile report = ctx.files().create_report(name);
        for (const std::string& line : report_lines(title, mean_power)) report.write_line(line);
        return {};
    }
};

const KindRegistration registration{declare_kind<PowerMeter>()};

}  // namespace
}  // namespace nodrix
