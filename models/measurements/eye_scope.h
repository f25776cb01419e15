// The eye scope: records an electrical signal over an observation window,
// resampled to the requested number of samples per bit, into a sampled-signal
// file (file base + ".qsg") from which the front end draws the eye diagram.
// The file is written while the run proceeds; its header receives the sample
// count and the extremes once the window has passed.
#pragma once

#include <cstdint>
#include <string>

#include "kernel/signals.h"

namespace nodrix {

struct ScopeParams {
    float delay;                            // delay of the recording start [ps]
    float window;                           // length of the recording [ps]
    std::int32_t samples_per_bit;           // samples per bit of the simulation, >= 1
    std::int32_t recorded_samples_per_bit;  // samples per bit to record, 1 .. samples_per_bit
    std::string title;                      // instance title (50 characters)
    std::string file_name;                  // base name of the signal file (trailing blanks removed)
};

// `in` is the window of the input signal, of which the good interval
// [tgoodi, tgoodf] is read; `input` the current sample of the electrical signal.
void scope(const ScopeParams& p, const TimeWindow& in, const ElectricalSample& input);

}  // namespace nodrix
