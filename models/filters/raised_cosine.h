// The tabulation of the raised-cosine optical band-pass filter `orcfil`, the
// channel demultiplexer of the link: the layout of its description (edges,
// steps, range) and the lines it tabulates between the simulated band edges.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

namespace nodrix {

// The shape of a raised-cosine filter.
struct RaisedCosineShape {
    float shape_exponent = 1.0f;           // n, exponent of the raised-cosine amplitude, > 0
    float roll_off = 0.0f;                 // r, 0 (rectangular) to 1
    float centre_frequency = 0.0f;         // fc, absolute [THz]
    float bandwidth = 0.0f;                // B [THz], > 0
    std::int32_t bandwidth_definition = 0; // 1: B is the width at power transmission 0.75; else twice the half-width
};

// The tabulation of a raised-cosine filter: nominal half-width, edges (offsets
// from fc), steps and the tabulated range [THz].
struct RaisedCosineLayout {
    float f0 = 0.0f;   // nominal half-width
    float e_o = 0.0f;  // outer edge
    float e_i = 0.0f;  // inner edge
    float w = 0.0f;    // transition width
    float s_t = 0.0f;  // transition step
    float s_p = 0.0f;  // pass-band step
    float s_l = 0.0f;  // lower stop-band step
    float s_u = 0.0f;  // upper stop-band step
    float f_lo = 0.0f; // low end of the filter region
    float f_hi = 0.0f; // high end
    bool small_roll_off = false;  // the transition step was raised to 1e-5 THz
};
RaisedCosineLayout raised_cosine_layout(const RaisedCosineShape& p);

// The tabulated lines (absolute frequency, power transmission) between the
// simulated band edges fband_lo and fband_hi.
std::vector<std::pair<float, float>> raised_cosine_lines(const RaisedCosineShape& p, const RaisedCosineLayout& l,
                                                         float fband_lo, float fband_hi);

}  // namespace nodrix
