// The signal types that blocks exchange: optical field samples with their
// spectral description, electrical samples, logical (bit) signals and the
// time windows that travel with every block output.
#pragma once

#include <array>
#include <cstdint>

#include "numerics/constants.h"

namespace nodrix {

// One optical field sample: real and imaginary part [sqrt(mW)] and the band
// centre frequency [THz] (an empty sample is 0, 0, fcenter).
struct FieldSample {
    float re = 0.0f;
    float im = 0.0f;
    float fcenter = 0.0f;
};

// The bundle every optical block reads and writes.
struct OpticalSignal {
    FieldSample x;                   // X polarisation
    FieldSample y;                   // Y polarisation
    std::array<float, kBins> gd{};   // group delay per bin [ps]
    std::array<float, kBins> ps{};   // power per bin [mW]
    float pp = 0.0f;                 // total power [mW]
    std::int32_t iv = 0;             // non-zero when the signal carries anything in band
};

// One electrical sample: the value and two words that stay 0.
struct ElectricalSample {
    float value = 0.0f;
    float w2 = 0.0f;
    float w3 = 0.0f;
};

// A logical signal: the current symbol's bits (at most 8) and a terminator,
// -1 after a valid symbol, -3 while there is no data.
using LogicalSignal = std::array<std::int32_t, 9>;

// The window a block receives with its input: the producer's earliest start
// and the window length twinin [ps].
struct InputWindow {
    float ton = 0.0f;
    float twinin = 0.0f;
};

// The window of a block output [ps]: earliest start, latest stop, and the
// interval in which all spectral components are present.
struct TimeWindow {
    float ton = 0.0f;
    float toff = 0.0f;
    float tgoodi = 0.0f;
    float tgoodf = 0.0f;
};

// The output window of a block whose output components carry the group
// delays gd (in band) and whose input was referred to the delay ref [ps]: it
// starts with the least delayed component and stops with the most delayed
// one; all components are present from the latest start to the earliest end.
// A meter that keeps its input's window start passes the least delay of gd
// itself as ref.
void group_delay_window(const InputWindow& in, const float* gd, float ref, TimeWindow& out);

// The least group delay in band of a signal, the usual reference.
float least_group_delay(const float* gd);

}  // namespace nodrix
