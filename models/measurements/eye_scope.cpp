#include "models/measurements/eye_scope.h"

#include <algorithm>

#include "kernel/control_blocks.h"
#include "kernel/storage.h"
#include "models/measurements/observation.h"
#include "models/measurements/resampler.h"
#include "models/measurements/run_end.h"
#include "runtime/chart_compact.h"
#include "runtime/io_file.h"
#include "runtime/opxfile.h"

namespace nodrix {
namespace {

// Words of the integer record.
enum : int { kRecording = 0, kCounter = 1, kFile = 2, kCount = 3 };

std::string trimmed_right(const std::string& s) {
    const auto last = s.find_last_not_of(' ');
    return last == std::string::npos ? std::string() : s.substr(0, last + 1);
}

std::string signal_path(const ScopeParams& p) { return trimmed_right(p.file_name) + ".qsg"; }

bool valid_rates(const ScopeParams& p) {
    return p.samples_per_bit >= 1 && p.recorded_samples_per_bit >= 1 &&
           p.recorded_samples_per_bit <= p.samples_per_bit;
}

Qsg2Header signal_header(const ScopeParams& p, std::int32_t count, double minimum, double maximum) {
    Qsg2Header h;
    h.type = 1;
    h.columns = 1;
    h.samples = count;
    h.samples_per_bit = p.recorded_samples_per_bit;
    h.minimum = minimum;
    h.maximum = maximum;
    h.delt = static_cast<double>(p.samples_per_bit) * zdctrl.ddelt / static_cast<double>(p.recorded_samples_per_bit);
    h.tstart = 0.0;
    h.fsym = f_vbs_band.fcenter;
    return h;
}

void record(std::int32_t* w, double* extremes, double v) {
    if (w[kCount] == 0) {
        extremes[0] = v;
        extremes[1] = v;
    } else {
        extremes[0] = std::min(extremes[0], v);
        extremes[1] = std::max(extremes[1], v);
    }
    qsg2_append(w[kFile], std::span<const double>(&v, 1));
    ++w[kCount];
}

// Writes the header again with the final count and extremes and closes the
// signal file, which goes in place only if complete (a failure is reported by
// the io layer); the scope is idle afterwards.
void finish(const ScopeParams& p, const TimeWindow& in, std::int32_t* w, const double* extremes) {
    qsg2_finish(w[kFile], signal_header(p, w[kCount], extremes[0], extremes[1]));
    const double bit = static_cast<double>(p.samples_per_bit) * zzctrl.delt;
    post_observation(p.file_name, windowed_coverage(p.delay, p.window, bit, nearest_whole_bits(w[kCount], p.recorded_samples_per_bit),
                                                    in.tgoodi, in.tgoodf, polmon.tmon, zzctrl.time, zzctrl.delt));
    w[kFile] = 0;
    w[kRecording] = 0;
}

// The state of one scope.
struct ScopeState {
    std::int32_t window, words, previous, extremes;
};
constexpr StateSlot<ScopeState> kScopeState[] = {
    {&ScopeState::window, SlotKind::real, 2},          // window start, window end
    {&ScopeState::words, SlotKind::integer, 4},        // recording flag, resample counter, file identifier, sample count
    {&ScopeState::previous, SlotKind::real, 1},        // previous input sample
    {&ScopeState::extremes, SlotKind::real_double, 2}, // smallest and largest recorded value
};

}  // namespace

void scope(const ScopeParams& p, const TimeWindow& in, const ElectricalSample& input) {
    const ScopeState st = claim_state(kScopeState);
    float* win = hist_at(st.window);
    std::int32_t* w = ist_at(st.words);
    float& previous = *hist_at(st.previous);
    double* extremes = dist_at(st.extremes);

    if (zzctrl.pass == 0) {
        if (!valid_rates(p)) {
            opxerr("Eye scope " + trimmed_right(p.title) +
                   ": the samples per bit must be at least 1, and those recorded at most the simulated ones");
        }
        if (zzflmn.nohist == 1) return;
        forget_observation(p.file_name);
        w[kRecording] = 0;
        w[kCounter] = 0;
        w[kFile] = 0;
        w[kCount] = 0;
        previous = 0.0f;
        extremes[0] = 0.0;
        extremes[1] = 0.0;
        const float m = polmon.tmon;
        win[0] = in.tgoodi + m + p.delay;
        win[1] = std::min(in.tgoodf - m, in.tgoodi + m + p.window);
        // The file belongs to a run: a counting call of the dimensioning pass
        // (storage not allocated) opens nothing that no sample would close.
        if (!valid_rates(p) || zzsupv.storephase != 1) return;
        const std::int32_t id = qsg2_create(signal_path(p), signal_header(p, 0, 0.0, 0.0));
        if (id > 0) w[kFile] = id;  // else the io layer has reported why
        return;
    }

    if (w[kFile] <= 0) return;  // no file, or the recording is complete
    const float t = zzctrl.time;
    const float end = win[1] + zzctrl.delt;
    if (win[0] <= t && t < end) {
        if (p.recorded_samples_per_bit == p.samples_per_bit) {
            w[kRecording] = 1;
            record(w, extremes, input.value);
        } else {
            Resampler r{w[kCounter], previous};
            const std::int32_t i = zzctrl.step;
            if (w[kRecording] == 0) {
                w[kRecording] = 1;
                resample_start(r, i, p.samples_per_bit, p.recorded_samples_per_bit, input.value);
            } else {
                double v;
                if (resample_step(r, i, p.samples_per_bit, p.recorded_samples_per_bit, input.value, v))
                    record(w, extremes, v);
            }
            w[kCounter] = r.counter;
            previous = r.previous;
        }
    }
    // The window has passed (or was empty), or the run ends inside it.
    if (t > end || run_end_sample()) finish(p, in, w, extremes);
}

}  // namespace nodrix
