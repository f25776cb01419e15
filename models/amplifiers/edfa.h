// The flat model of the erbium-doped fibre amplifiers (fixed gain, oampfg;
// fixed output power, oampfp; their model in edfa_model.h): one gain and one
// noise figure, the amplified spontaneous emission (ASE) they add, and the
// gain that meets a target output power.
#pragma once

#include <cstdint>

#include "kernel/signals.h"

namespace nodrix {

// How the inversion factor n_sp follows from the noise figure F at power gain
// G: the high-gain approximation n_sp = F / 2, or exactly from
// F = (1 + 2 n_sp (G - 1)) / G, n_sp = (F G - 1) / (2 (G - 1)), so that the
// ASE density per polarisation n_sp (G - 1) h nu is (F G - 1) h nu / 2.
inline constexpr std::int32_t kNoiseFigureHighGain = 0;
inline constexpr std::int32_t kNoiseFigureExact = 1;

// ASE power spectral density per polarisation [mW/THz] of a flat amplifier of
// power gain G with inversion factor n_sp at the band centre fc [THz]:
// (G - 1) n_sp h fc 1e15, and 0 below unit gain.
float flat_ase_density(float power_gain, float n_sp, float fc);

// Inversion factor n_sp of an amplifier of power gain G and noise figure F
// (linear): F / 2 in the high-gain approximation (definition
// kNoiseFigureHighGain); exactly (F G - 1) / (2 (G - 1)) (kNoiseFigureExact),
// 0 at or below unit gain, where the amplifier adds no ASE.
float inversion_factor(float power_gain, float noise_figure, std::int32_t definition);

// Power gain of the fixed-output-power amplifier: the G that solves
// G p_in + (G - 1) a = target, limited to g_max (g_max when p_in + a is 0).
// Below unit gain the amplifier adds no ASE and G = target / p_in.
float fixed_power_gain(float p_in, float a, float target, float g_max);

// The same with the exact inversion factor, for which the ASE over the grid,
// (G - 1) n_sp c = (F G - 1) c / 2 (c = h fc npol span 1e15), grows linearly
// with G: G p_in + (F G - 1) c / 2 = target, G = (target + c/2) / (p_in + F c/2).
float fixed_power_gain_exact(float p_in, float noise_figure, float c, float target, float g_max);

}  // namespace nodrix
