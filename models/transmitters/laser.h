// The numbers of the continuous-wave laser (laser.cpp) that its check and
// its tests share: the spectral bin of its line, its frequency rounded as it
// emits it, and the pole of the response that shapes its frequency noise.
#pragma once

#include <cstdint>

#include "kernel/run_context.h"

namespace nodrix {

// Spectral bin of a frequency on the grid: (f - grid low) / bin width
// truncated toward zero; -1 when the frequency lies outside [low, high).
std::int32_t laser_bin(float frequency, const SpectralGrid& grid);

// The emission frequency rounded to 10^-5 THz by its decimal digits: the
// digits of trunc(f x 10^5) with the last one carried up when a fraction
// remains and it is above 5.
double exact_frequency(float frequency);

// Pole of the resonant shaping response with its peak of `peak_db` at
// `resonance_ghz`: x = 10^(-peak/10), zeta = sqrt((1 - sqrt(1 - x)) / 2),
// wn = 2 pi f / (1 - x)^(1/4), pole = wn (-cos theta, sin theta) with
// theta = acos(zeta). `valid` is false when the peak or the frequency is not
// above 0 (no resonance to shape with).
struct ShapingPole {
    float re = 0.0f;             // [rad/ps]
    float im = 0.0f;             // [rad/ps]
    std::int32_t overdamped = 0;  // 1 when zeta >= 1
    bool valid = false;
};
ShapingPole shaping_pole(float resonance_ghz, float peak_db);

}  // namespace nodrix
