// The Lorentzian optical band-pass filter `lorfil`: a single-pole resonance
// whose power transmission is raised to an integer order. In the block set-up
// it tabulates power transmission and phase into the working file "lo" + six
// digits; in every pass the user-defined filter block synthesises and applies it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kernel/signals.h"

namespace nodrix {

struct LorfilParams {
    std::int32_t instance = 0;       // block instance number; names the working file
    std::int32_t order = 1;          // n, power of the Lorentzian, >= 1
    float centre_frequency = 0.0f;   // fc, absolute [THz]
    float bandwidth = 0.0f;          // B, full 3-dB width of the power transmission [THz], > 0
    std::int32_t write_charts = 0;   // 1: write the filter charts
    std::int32_t complement = 0;     // 1: the filter transmits 1 - T
    std::string block_name;          // shown in messages (48)
    std::string file_base;           // base of the chart file name (50)
};

void lorfil(const LorfilParams& p, const InputWindow& in, TimeWindow& out, const OpticalSignal& sig_in,
            OpticalSignal& sig_out);

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
std::vector<LorentzianLine> lorentzian_lines(const LorfilParams& p, float fband_lo, float fband_hi, bool& small);

}  // namespace nodrix
