// The optical spectrum analyser: the power spectrum of an optical signal by
// averaged periodograms. `spettl` collects the field samples in frames of N,
// transforms each full frame and accumulates |X_k|^2; at the end of the run
// `optspr` centres the averaged spectrum on the band centre, converts it to
// dB within 150 dB of its peak, trims 10 % of the band at each edge and writes
// the spectrum file (file base + ".qsp").
#pragma once

#include <complex>
#include <cstdint>
#include <string>

#include "kernel/signals.h"

namespace nodrix {

struct OptsprParams {
    std::int32_t setting1;    // analyser settings passed by the schedule (1, 1, 0, 0.0);
    std::int32_t setting2;    //   the computation does not read them
    std::int32_t setting3;
    float setting4;
    std::int32_t fft_length;  // frame length N [samples], >= 1; an odd value is raised by 1
    std::string title;        // instance title (50 characters)
    std::string file_name;    // base name of the spectrum file (trailing blanks removed)
};

void optspr(const OptsprParams& p, const InputWindow& in, TimeWindow& out, const OpticalSignal& sig);

// Per-instance state of one polarisation's frame collector, in kernel storage.
struct SpettlState {
    std::complex<double>* frame = nullptr;  // N samples of the current frame
    float* power = nullptr;                 // N accumulated |X_k|^2, uncentred
    std::int32_t* words = nullptr;          // N, sample counter, frame counter, 1 when the transform is planned
};

// One call of the frame collector of frame length n: claims its storage and,
// in a per-sample pass, stores (re, im) when `collect` is set and transforms
// every full frame. The first run call (t <= 0) creates its FFT plan and
// clears the counters and the accumulated power.
SpettlState spettl(std::int32_t n, bool collect, float re, float im);

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
void spectrum_to_db(const float* power, std::int32_t n, std::int32_t frames, float dt, float* db, float& minimum,
                    float& maximum);

}  // namespace nodrix
