// The external intensity modulator of a transmitter: a push-pull
// interferometric modulator with finite symmetry, insertion loss and an
// optional intensity-proportional chirp.
#pragma once

#include <cstdint>

#include "kernel/signals.h"

namespace nodrix {

struct OamodParams {
    float insertion_loss = 0.0f;          // optical insertion loss [dB]
    float bias_voltage = 0.0f;            // drive voltage of full transmission [V]
    float switching_voltage = 1.0f;       // swing from full transmission to extinction [V], non-zero
    float symmetry = 1.0f;                // push-pull symmetry, 0 to 1 (1: chirp-free)
    float chirp_factor = 0.0f;            // intensity-chirp factor (0: none)
    float spectral_field_factor = 1.0f;   // mean field transmission used for the power spectrum
};

// Keeps the field loss factor in kernel storage (modulator.cpp declares it),
// claimed on every call while the input is in band (and not set-up-only).
void oamod(const OamodParams& p, const InputWindow& in, TimeWindow& out, const OpticalSignal& laser,
           const ElectricalSample& drive, OpticalSignal& sig);

}  // namespace nodrix
