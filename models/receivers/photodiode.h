// The photodiode of a receiver: a PIN or avalanche diode turning the received
// optical field into a photocurrent, with responsivity, dark current, avalanche
// gain with excess noise, and optional shot noise.
#pragma once

#include <cstdint>

#include "kernel/signals.h"

namespace nodrix {

struct PhotodParams {
    float responsivity;           // [A/W], >= 0
    std::int32_t shot_noise;      // 1: add shot noise; other values: noiseless
    float dark_current;           // [nA], >= 0
    float avalanche_gain;         // multiplication factor M (1.0 for a PIN diode), > 0
    float excess_noise_exponent;  // x in the excess noise factor F = M^x
};

// Initialisation pass: zero current, time window, instance storage; per-sample
// pass: the photocurrent of the current sample, (I, 0, 0) [A].
void photod(const PhotodParams& p, const InputWindow& in, TimeWindow& out, const OpticalSignal& sig,
            ElectricalSample& current);

// Responsivity in A per mW: 0.001 x responsivity.
float photod_scaled_responsivity(float responsivity);
// Shot-noise factor q M^(2 + x) 2e12 (single precision), so that the current's
// variance over the simulation bandwidth 1 / (2 dt) is factor x I0 x 0.5 / dt.
float photod_shot_factor(float avalanche_gain, float excess_noise_exponent);
// Deviation [A] of the shot noise on a mean photocurrent `current_a` (after
// the gain) at the time step `time_step_ps`: sqrt(factor x I0 x 0.5 / dt), I0
// the current before the gain. Where it is not well below the current, the
// currents the noise would make negative are cut to 0 A, and the mean current
// lies above the one the light makes.
double photod_shot_deviation(float avalanche_gain, float excess_noise_exponent, double current_a,
                             double time_step_ps);
// Received optical power [mW]: |x|^2 with one polarisation, |x|^2 + |y|^2 with two.
float optical_sample_power(const FieldSample& x, const FieldSample& y, std::int32_t npol);

}  // namespace nodrix
