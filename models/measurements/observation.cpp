#include "models/measurements/observation.h"

#include <algorithm>
#include <cmath>
#include <map>

#include "xu/run_state.h"

namespace nodrix {
namespace {

// The coverage of each block's last run in this run of the program, by the
// name of the file it writes.
struct ObservationBoard {
    std::map<std::string, ObservationCoverage> posted;
};

std::map<std::string, ObservationCoverage>& board() { return current_run_state().part<ObservationBoard>().posted; }

std::string key(const std::string& name) { return name.substr(0, name.find(' ')); }

// True when the run's last sample (at time_ps) lies within one time step of
// end_ps or beyond it: every sample of the window up to end_ps has been seen.
bool window_passed(double end_ps, double time_ps, double time_step_ps) { return time_ps + time_step_ps > end_ps; }

}  // namespace

const char* observation_unit_name(ObservationUnit unit) {
    switch (unit) {
        case ObservationUnit::bits: return "bits";
        case ObservationUnit::samples: return "samples";
        case ObservationUnit::frames: return "frames";
    }
    return "";
}

void post_observation(const std::string& name, const ObservationCoverage& coverage) { board()[key(name)] = coverage; }

std::optional<ObservationCoverage> posted_observation(const std::string& name) {
    const auto it = board().find(key(name));
    if (it == board().end()) return std::nullopt;
    return it->second;
}

void forget_observation(const std::string& name) { board().erase(key(name)); }

std::int64_t requested_bits(double delay_ps, double window_ps, double bit_ps) {
    if (!(bit_ps > 0.0) || !(window_ps > delay_ps)) return 0;
    return static_cast<std::int64_t>(std::min(std::trunc((window_ps - delay_ps) / bit_ps), 9.0e18));
}

std::int64_t nearest_whole_bits(std::int64_t samples, std::int64_t per_bit) {
    return per_bit > 0 ? (samples + per_bit / 2) / per_bit : 0;
}

ObservationCoverage windowed_coverage(double delay_ps, double window_ps, double bit_ps, std::int64_t observed_bits,
                                      float tgoodi, float tgoodf, float guard_ps, float time_ps, float time_step_ps) {
    ObservationCoverage c;
    c.unit = ObservationUnit::bits;
    c.requested = requested_bits(delay_ps, window_ps, bit_ps);
    c.observed = std::clamp<std::int64_t>(observed_bits, 0, c.requested);
    // The window's ends as the blocks compute them, in single precision.
    const float closes = tgoodi + guard_ps + static_cast<float>(window_ps);
    const float good_end = tgoodf - guard_ps;
    c.cut_by_delay = !(window_ps > delay_ps);
    c.cut_by_good_interval = good_end < closes;
    c.cut_by_run_end = !window_passed(std::min(closes, good_end), time_ps, time_step_ps);
    return c;
}

ObservationCoverage interval_coverage(ObservationUnit unit, std::int64_t collected, std::int64_t frame_samples,
                                      double start_ps, double end_ps, double time_ps, double time_step_ps) {
    ObservationCoverage c;
    c.unit = unit;
    const std::int64_t per = unit == ObservationUnit::frames ? std::max<std::int64_t>(frame_samples, 1) : 1;
    c.observed = collected / per;
    if (end_ps < start_ps || !(time_step_ps > 0.0)) {
        c.requested = c.observed;  // an empty window asks for nothing
        return c;
    }
    if (window_passed(end_ps, time_ps, time_step_ps)) {
        c.requested = c.observed;  // what the whole window held
        return c;
    }
    // The samples of the time grid the rest of the window would have held:
    // a meter takes its window's end, an analyser's frames stop before it.
    const double last = unit == ObservationUnit::samples ? std::floor(end_ps / time_step_ps)
                                                          : std::ceil(end_ps / time_step_ps) - 1.0;
    const double first = time_ps < start_ps ? std::ceil(start_ps / time_step_ps)
                                            : std::round(time_ps / time_step_ps) + 1.0;
    const double rest = std::clamp(last - first + 1.0, 0.0, 4.0e18);
    c.requested = (collected + static_cast<std::int64_t>(rest)) / per;
    c.cut_by_run_end = true;
    return c;
}

}  // namespace nodrix
