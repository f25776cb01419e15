// The tabulation of the Lorentzian optical band-pass filter `lorfil`: a
// single-pole resonance whose power transmission is raised to an integer
// order, tabulated with its phase between the simulated band edges.
#pragma once

#include <cstdint>
#include <vector>

namespace nodrix {

// The shape of a Lorentzian filter.
struct LorentzianShape {
    std::int32_t order = 1;          // n, power of the Lorentzian, >= 1
    float centre_frequency = 0.0f;   // fc, absolute [THz]
    float bandwidth = 0.0f;          // B, full 3-dB width of the power transmission [THz], > 0
};

// One tabulated line: absolute frequency [THz], power transmission, phase [rad].
struct LorentzianLine {
    float f = 0.0f;
    float t = 0.0f;
    float phase = 0.0f;
};

// Half-width g [THz] at which the single-pole power transmission is 0.5; the
// order-n filter falls to 0.5 at fc +- B/2.
float lorentzian_half_width(float bandwidth, std::int32_t order);

// The tabulated lines between the simulated band edges; `small` is set when
// a step had to be raised to 1e-5 THz.
std::vector<LorentzianLine> lorentzian_lines(const LorentzianShape& p, float fband_lo, float fband_hi, bool& small);

}  // namespace nodrix
