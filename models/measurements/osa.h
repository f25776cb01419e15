// The spectrum analyser's frames and spectrum (models/measurements/osa.cpp):
// the frame length it uses, the frequency axis of the spectrum file, the
// conversion of the accumulated frame power to the centred spectrum in dB
// and the power in a resolution bandwidth.
#pragma once

#include <cstdint>
#include <vector>

namespace nodrix {

// Frame length used for a requested length: odd values are raised by 1.
std::int32_t spectrum_frame_length(std::int32_t fft_length);

// Frequency axis of the written part of the spectrum: bins i1 to i2 (counted
// from 1 after centring; bin k lies at fref + (k - N/2 - 1) / (N dt)).
struct SpectrumAxis {
    std::int32_t i1 = 0;
    std::int32_t i2 = 0;
    double start_frequency = 0.0;  // [THz]
    double stop_frequency = 0.0;
    double frequency_step = 0.0;
};
SpectrumAxis spectrum_axis(std::int32_t n, float fref, float dt);

// Turns the accumulated power of `frames` frames (n bins, uncentred) into the
// centred spectrum in dB (n values in db), limited to 150 dB below its peak;
// minimum and maximum are the dB values of the smallest and largest bin (each
// at least 1e-20). With no complete frame every bin is 1e-20 (-200 dB).
// Power in a resolution bandwidth [mW] at every bin of a centred density
// [mW/THz] on bins of width `step` [THz]: the power of the bins within
// +- resolution / 2 of the bin's centre, a bin at the window's edge counted in
// the share of its width inside. A resolution narrower than a bin gives
// density x resolution; the sum over all bins times step / resolution is the
// total power (away from the edges).
std::vector<double> resolution_bandwidth_power(const std::vector<double>& density, double step, double resolution);

void spectrum_to_db(const float* power, std::int32_t n, std::int32_t frames, float dt, float* db, float& minimum,
                    float& maximum);

}  // namespace nodrix
