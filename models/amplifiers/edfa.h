// Erbium-doped fibre amplifier blocks: fixed gain (oampfg) and fixed output
// power (oampfp). Each adds amplified spontaneous emission (ASE) and has a
// flat model (one gain, one noise figure: fg_flat) and a profile model
// (wavelength-dependent gain and noise figure applied through synthesised
// filters: fg_gain_dep, models/amplifiers/edfa_profile.h).
#pragma once

#include <cstdint>
#include <string>

#include "kernel/signals.h"

namespace nodrix {

struct OampfgParams {
    float gain;                     // gain [dB]; negative selects the profile model (-99 or less: linear file values)
    std::string gain_file;          // gain profile file (profile model with a negative gain)
    float noise_figure;             // noise figure, linear; negative selects the profile model
    std::int32_t noise_off;         // 1: no ASE is added
    std::string noise_figure_file;  // noise-figure profile file (profile model with a negative noise figure)
};

struct OampfpParams {
    float max_gain;                 // largest gain [dB]; negative selects the profile model
    std::string gain_file;          // gain profile file (profile model)
    float noise_figure;             // noise figure, linear; negative selects the profile model
    std::int32_t noise_off;         // 1: no ASE is added
    std::string noise_figure_file;  // noise-figure profile file (profile model)
    float output_power;             // target output power [mW], > 0
};

void oampfg(const OampfgParams& p, const InputWindow& in, TimeWindow& out, const OpticalSignal& sin,
            OpticalSignal& sout);
void oampfp(const OampfpParams& p, const InputWindow& in, TimeWindow& out, const OpticalSignal& sin,
            OpticalSignal& sout);

// The flat model. Only the gain [dB], the noise figure and the noise switch
// matter to it (the file names of the block are not used). Per instance it
// keeps the field gain g, the inversion factor n_sp and the ASE density S
// [mW/THz] in three real slots (after the slots of wgn2an when the noise is on).
void fg_flat(float gain, float noise_figure, std::int32_t noise_off, const InputWindow& in, TimeWindow& out,
             const OpticalSignal& sin, OpticalSignal& sout);

// ASE power spectral density per polarisation [mW/THz] of a flat amplifier of
// power gain G with inversion factor n_sp at the band centre fc [THz]:
// (G - 1) n_sp h fc 1e15, and 0 below unit gain.
float flat_ase_density(float power_gain, float n_sp, float fc);

// Power gain of the fixed-output-power amplifier: the G that solves
// G p_in + (G - 1) a = target, limited to g_max (g_max when p_in + a is 0).
// Below unit gain the amplifier adds no ASE and G = target / p_in.
float fixed_power_gain(float p_in, float a, float target, float g_max);

// A fixed-output-power amplifier needs a positive target. Otherwise reports
// the error, turns the branch after the block off (empty fields, no spectrum,
// no power, iv 0, the input delays) and returns false.
bool fixed_power_target_usable(float output_power, const InputWindow& in, TimeWindow& out,
                               const OpticalSignal& sin, OpticalSignal& sout);

}  // namespace nodrix
