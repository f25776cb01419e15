// The photodiode of a receiver (the kind "photodiode", declared in
// photodiode.cpp): the factors it works with, which the link summary and the
// observation of a run compute as well.
#pragma once

#include <cstdint>

#include "kernel/signals.h"

namespace nodrix {

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
// Deviation [A] of the input-referred thermal noise of density
// `density_pa_per_sqrt_hz` [pA/sqrt(Hz)] over the simulated band 1 / (2 dt):
// i_th sqrt(0.5e12 / dt_ps); 0 without noise.
double thermal_noise_deviation(double density_pa_per_sqrt_hz, double time_step_ps);
// Received optical power [mW]: |x|^2 with one polarisation, |x|^2 + |y|^2 with two.
float optical_sample_power(const FieldSample& x, const FieldSample& y, std::int32_t npol);

}  // namespace nodrix
