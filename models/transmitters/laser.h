// The continuous-wave laser of a transmitter: constant power at one optical
// frequency, Lorentzian phase noise of a given line width and, optionally,
// frequency noise shaped by a resonant two-pole response.
#pragma once

#include <cstdint>

#include "kernel/signals.h"

namespace nodrix {

struct LaslorParams {
    float frequency = 193.1f;           // emission frequency [THz]
    float power = 1.0f;                 // optical power [mW], >= 0
    float linewidth = 0.0f;             // Lorentzian line width (FWHM) [MHz], >= 0
    float phase = 0.0f;                 // initial optical phase [rad]
    std::int32_t noise_shaping = 0;     // 1: frequency noise through the resonant response; else white
    float resonance_frequency = 0.0f;   // frequency of the response peak [GHz], > 0 (noise_shaping 1)
    float resonance_peak = 0.0f;        // height of the response peak [dB], > 0 (noise_shaping 1)
};

// Bytes of the laser's own state (laser.cpp declares it), without and with
// noise shaping; the noise chain of a laser inside the band adds its own.
inline constexpr std::int32_t kLaserStorageBytes = 8 * 1 + 16;
inline constexpr std::int32_t kLaserShapingStorageBytes = (4 * 1 + 8) + (4 * 2 + 8);

void laslor(const LaslorParams& p, const InputWindow& in, TimeWindow& out, OpticalSignal& sig);

// Spectral bin of a frequency: (f - fgridlo) / bin width truncated toward
// zero; -1 when the frequency lies outside [fgridlo, fgridhi).
std::int32_t laser_bin(float frequency);

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
