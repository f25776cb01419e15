// The eye scope (scope): records an electrical signal over an observation
// window, resampled to the requested number of samples per bit, into a
// sampled-signal file (file base + ".qsg") from which the front end draws the
// eye diagram. The values are gathered while the run proceeds; the file,
// its header with the sample count and the extremes, is written when the
// run ends.
#include <algorithm>
#include <span>
#include <cmath>
#include <string>
#include <vector>

#include "kernel/block_declaration.h"
#include "models/measurements/file_name_check.h"
#include "models/measurements/observation.h"
#include "models/measurements/observed_input.h"
#include "models/measurements/resampler.h"
#include "runtime/chart_compact.h"

namespace nodrix {
namespace {

// Words of the integer record.
enum : int { kRecording = 0, kCounter = 1, kOpen = 2, kCount = 3 };

std::string trimmed_right(const std::string& s) {
    const auto last = s.find_last_not_of(' ');
    return last == std::string::npos ? std::string() : s.substr(0, last + 1);
}

struct EyeScope {
    float delay_ps = 0.0f;                     // delay of the recording start
    float window_ps = 0.0f;                    // length of the recording
    std::int32_t samples_per_bit = 1;          // of the simulation
    std::int32_t recorded_samples_per_bit = 32;  // 1 .. samples_per_bit
    std::string title;                         // caption
    std::string file_name;                     // signal file, ".qsg" appended; trailing blanks dropped

    Input<ElectricalSample> input;
    const TimeWindow* input_window = &window_of_no_block();  // its good interval opens the observation

    State<float> window;           // recording start, recording end
    State<std::int32_t> words;     // recording, resample counter, recording open, sample count
    State<float> previous;         // previous input sample
    State<double> extremes;        // smallest and largest recorded value
    // The recorded values; their file is written at the end of the run, once
    // the window has passed (or the run ended inside it).
    std::vector<double> recorded;
    bool recording_ended = false;
    ObservationCoverage coverage;

    static KindDeclaration<EyeScope> declaration();

    bool valid_rates() const {
        return samples_per_bit >= 1 && recorded_samples_per_bit >= 1 && recorded_samples_per_bit <= samples_per_bit;
    }

    Status design(const RunContext&, StateClaims& state) {
        state.claim(window, 2);
        state.claim(words, 4);
        state.claim(previous, 1);
        state.claim(extremes, 2);
        recording_ended = false;
        if (!valid_rates())
            return Status::error("Eye scope " + trimmed_right(title) +
                                 ": the samples per bit must be at least 1, and those recorded at most the simulated ones");
        return {};
    }

    // The window from the input's good interval; room for every sample in
    // it (at most one value per sample). An earlier run's coverage is none
    // of this run's.
    void setup(const RunContext& ctx) {
        forget_observation(file_name);
        recording_ended = false;
        const float m = ctx.monitor_offset();
        window[0] = input_window->tgoodi + m + delay_ps;
        window[1] = std::min(input_window->tgoodf - m, input_window->tgoodi + m + window_ps);
        recorded.clear();
        const double span = (static_cast<double>(window[1]) - window[0]) / ctx.time_step_double();
        recorded.reserve(static_cast<std::size_t>(std::clamp(span + 3.0, 0.0, 1e8)));
        words[kOpen] = valid_rates() ? 1 : 0;
    }

    void record(double v) {
        if (words[kCount] == 0) {
            extremes[0] = v;
            extremes[1] = v;
        } else {
            extremes[0] = std::min(extremes[0], v);
            extremes[1] = std::max(extremes[1], v);
        }
        recorded.push_back(v);
        ++words[kCount];
    }

    void resample(const RunContext& ctx) {
        Resampler r{words[kCounter], previous[0]};
        if (words[kRecording] == 0) {
            words[kRecording] = 1;
            resample_start(r, ctx.step(), samples_per_bit, recorded_samples_per_bit, input->value);
        } else {
            double v;
            if (resample_step(r, ctx.step(), samples_per_bit, recorded_samples_per_bit, input->value, v)) record(v);
        }
        words[kCounter] = r.counter;
        previous[0] = r.previous;
    }

    void run(const RunContext& ctx) {
        if (words[kOpen] <= 0) return;  // invalid rates, or the recording is complete
        const float t = ctx.time();
        const float end = window[1] + ctx.time_step();
        if (window[0] <= t && t < end) {
            if (recorded_samples_per_bit == samples_per_bit) {
                words[kRecording] = 1;
                record(input->value);
            } else {
                resample(ctx);
            }
        }
        // The window has passed (or was empty), or the run ends inside it.
        if (t > end || ctx.last_sample()) end_recording(ctx);
    }

    void end_recording(const RunContext& ctx) {
        const double bit = static_cast<double>(samples_per_bit) * ctx.time_step();
        coverage = windowed_coverage(delay_ps, window_ps, bit, nearest_whole_bits(words[kCount], recorded_samples_per_bit),
                                     input_window->tgoodi, input_window->tgoodf, ctx.monitor_offset(), ctx.time(),
                                     ctx.time_step());
        recording_ended = true;
        words[kOpen] = 0;
        words[kRecording] = 0;
    }

    Qsg2Header signal_header(const RunContext& ctx, std::int32_t count, double minimum, double maximum) const {
        Qsg2Header h;
        h.type = 1;
        h.columns = 1;
        h.samples = count;
        h.samples_per_bit = recorded_samples_per_bit;
        h.minimum = minimum;
        h.maximum = maximum;
        h.delt = static_cast<double>(samples_per_bit) * ctx.time_step_double() /
                 static_cast<double>(recorded_samples_per_bit);
        h.tstart = 0.0;
        h.fsym = ctx.band_centre();
        return h;
    }

    // The signal file goes in place only if complete (a failure is reported
    // by the io layer, naming the file).
    void finish(const RunContext& ctx) {
        if (!recording_ended) return;
        post_observation(file_name, coverage);
        const std::int32_t id = qsg2_create(trimmed_right(file_name) + ".qsg", signal_header(ctx, 0, 0.0, 0.0));
        if (id <= 0) return;
        for (const double v : recorded) qsg2_append(id, std::span<const double>(&v, 1));
        qsg2_finish(id, signal_header(ctx, words[kCount], extremes[0], extremes[1]));
    }
};

void check_eye_scope(const BlockSettings& s, const LinkContext&, Findings& found) {
    const std::int32_t simulated = s.integer("samples_per_bit");
    const std::int32_t recorded = s.integer("recorded_samples_per_bit");
    if (recorded > simulated)
        found.error("recorded_samples_per_bit", "recorded_samples_per_bit = " + std::to_string(recorded) +
                                                    " is above samples_per_bit = " + std::to_string(simulated) +
                                                    "; allowed: 1 to " + std::to_string(simulated));
    check_result_file_name(s, "file_name", false, found);
}

KindDeclaration<EyeScope> EyeScope::declaration() {
    using S = EyeScope;
    return {
        .name = "eye_scope",
        .routine = "scope",
        .help = "eye scope: the signal over the observation window, written as a signal file (.qsg)",
        .family = BlockFamily::measurements,
        .parameters =
            {
                parameter(&S::delay_ps, {.name = "delay_ps", .unit = "ps", .fallback = 0.0,
                                         .help = "delay of the observation's start"}),
                parameter(&S::window_ps, {.name = "window_ps", .unit = "ps", .help = "length of the observation",
                                          .low = 0, .low_open = true, .required = true}),
                parameter(&S::samples_per_bit,
                          {.name = "samples_per_bit", .unit = "samples",
                           .help = "samples per bit of the signal", .low = 1, .required = true,
                           .limits = "those of the channel's data source and NRZ driver"}),
                parameter(&S::recorded_samples_per_bit,
                          {.name = "recorded_samples_per_bit", .unit = "samples",
                           .fallback = 32, .help = "samples per bit recorded, at most samples_per_bit", .low = 1,
                           .limits = "at most samples_per_bit"}),
                parameter(&S::title, {.name = "title", .text_fallback = "scope{n} Run(s): 1",
                                      .help = "caption in the report"}),
                parameter(&S::file_name, {.name = "file_name", .text_fallback = "{link}_EYE{id}",
                                          .help = "signal file name (\".qsg\" appended)"}),
            },
        .inputs = {observed_input(&S::input, &S::input_window, {.key = "input", .help = "the received signal"})},
        .check = check_eye_scope,
    };
}

const KindRegistration registration{declare_kind<EyeScope>()};

}  // namespace
}  // namespace nodrix
