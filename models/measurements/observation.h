// How much of the observation its settings ask for a measurement block got,
// and what cut it short. Each estimator, eye scope, power meter and spectrum
// analyser posts its coverage at the end of the run under the name of the
// file it writes (up to its first blank); the run's summary and its warnings
// read it there, so that the reports and charts stay as they are.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace nodrix {

enum class ObservationUnit { bits, samples, frames };
const char* observation_unit_name(ObservationUnit unit);

struct ObservationCoverage {
    ObservationUnit unit = ObservationUnit::bits;
    std::int64_t requested = 0;          // what the settings ask for
    std::int64_t observed = 0;           // what the block collected, at most `requested`
    bool cut_by_run_end = false;         // the run ended before the observation window closed
    bool cut_by_good_interval = false;   // the good interval, less the guard time, ends first
    bool cut_by_delay = false;           // the delay reaches the window's end: nothing is asked for
    bool partial() const { return observed < requested || cut_by_delay; }
};

void post_observation(const std::string& name, const ObservationCoverage& coverage);
// The coverage the block writing `name` posted in this run; nothing before it did.
std::optional<ObservationCoverage> posted_observation(const std::string& name);
// Called at a block's set-up: an earlier run's coverage is none of this run's.
void forget_observation(const std::string& name);

// Whole bits of `bit_ps` in an observation from `delay_ps` to `window_ps`
// after its reference (the delay moves the start, not the end): what an
// estimator or eye scope asks to observe. Nothing when the delay reaches the end.
std::int64_t requested_bits(double delay_ps, double window_ps, double bit_ps);

// Bits in `samples` at `per_bit` samples per bit, to the nearest whole bit:
// where the window's edges fall between samples, a full window may hold one
// sample less than its bits.
std::int64_t nearest_whole_bits(std::int64_t samples, std::int64_t per_bit);

// The coverage of an estimator or eye scope whose observation runs from
// `delay_ps` to `window_ps` after the start of its input's good interval plus
// the guard time, at the end of the run (the last sample at `time_ps`):
// `observed_bits` collected, the good interval [tgoodi, tgoodf].
ObservationCoverage windowed_coverage(double delay_ps, double window_ps, double bit_ps, std::int64_t observed_bits,
                                      float tgoodi, float tgoodf, float guard_ps, float time_ps, float time_step_ps);

// The coverage of a block that measures over [start_ps, end_ps] at every
// time step (power meter: samples; spectrum analyser: frames of
// `frame_samples`), at the end of the run (the last sample at `time_ps`), with
// `collected` samples: the full window when it has passed, else what was
// collected and what the rest of it would have held.
ObservationCoverage interval_coverage(ObservationUnit unit, std::int64_t collected, std::int64_t frame_samples,
                                      double start_ps, double end_ps, double time_ps, double time_step_ps);

}  // namespace nodrix
