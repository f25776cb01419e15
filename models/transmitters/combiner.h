// The passive four-port optical combiner: sums the inputs' power spectra,
// average powers and fields with a common amplitude factor, and keeps the
// worst-case group delay per bin.
#pragma once

#include <cstdint>

#include "kernel/signals.h"

namespace nodrix {

struct Ocmb04Params {
    std::int32_t nports = 4;  // number of inputs (always 4; not used by the computation)
    float afact = 1.0f;       // amplitude factor on every input field (power factor afact^2)
    float pfact = 1.0f;       // extra factor on the average power
    float sfact = 1.0f;       // extra factor on the power spectrum
};

// No kernel storage.
void ocmb04(const Ocmb04Params& p, const InputWindow& in, TimeWindow& out, const OpticalSignal& in1,
            const OpticalSignal& in2, const OpticalSignal& in3, const OpticalSignal& in4, OpticalSignal& sig);

}  // namespace nodrix
