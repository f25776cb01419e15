// The flat model of the erbium-doped fibre amplifiers (fixed gain, oampfg;
// fixed output power, oampfp; their model in edfa_model.h): one gain and one
// noise figure, the amplified spontaneous emission (ASE) they add, and the
// gain that meets a target output power.
#pragma once

#include <cstdint>

#include "kernel/signals.h"

namespace nodrix {

// ASE power spectral density per polarisation [mW/THz] of a flat amplifier of
// power gain G with inversion factor n_sp at the band centre fc [THz]:
// (G - 1) n_sp h fc 1e15, and 0 below unit gain.
float flat_ase_density(float power_gain, float n_sp, float fc);

// Power gain of the fixed-output-power amplifier: the G that solves
// G p_in + (G - 1) a = target, limited to g_max (g_max when p_in + a is 0).
// Below unit gain the amplifier adds no ASE and G = target / p_in.
float fixed_power_gain(float p_in, float a, float target, float g_max);

}  // namespace nodrix
