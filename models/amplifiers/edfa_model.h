// The erbium-doped fibre amplifier as the two declared kinds share it (fixed
// gain, fixed output power): its parameters, its check, and the model with
// the state it owns. The flat model (one gain, one noise figure) keeps the
// field gain, the inversion factor and the ASE density; the profile model
// (gain and noise figure against wavelength) keeps its sizes and the eight
// areas of its overlap-add filters. Both draw the ASE from the amplifiers'
// shared noise streams.
#pragma once

#include <complex>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "kernel/block_declaration.h"
#include "models/amplifiers/amplifier_noise.h"
#include "models/amplifiers/edfa.h"
#include "models/amplifiers/edfa_profile.h"

namespace nodrix {

// What the model reads of a block's parameters.
struct EdfaSettings {
    float gain_db = 0.0f;         // gain (fixed gain) or largest gain (fixed power); negative: the profile model
    std::string gain_profile_file;
    float noise_figure_linear = 2.81838f;  // negative: the noise-figure profile
    bool ase_off = false;
    std::string noise_figure_profile_file;
    std::int32_t ase_polarisations = 2;          // polarisations the ASE fills: 1 or 2
    std::int32_t noise_figure_definition = kNoiseFigureExact;
};

// The parameters after the gain that both kinds declare, bound to members
// of the same names.
template <class B>
void edfa_noise_parameters(std::vector<Parameter<B>>& params) {
    params.push_back(parameter(
        &B::gain_profile_file,
        {.name = "gain_profile_file", .type = ParamType::file,
         .help = "gain profile, without \".DAT\" (with a negative gain: the profile model)",
         .limits = "needed with a negative gain: a line starting with ##, then pairs of wavelength "
                   "[nm] and gain [dB] that reach below and above the band or hold 10 points in it"}));
    params.push_back(parameter(&B::noise_figure_linear,
                               {.name = "noise_figure_linear", .fallback = 2.81838,
                                .help = "noise figure, linear; negative: from the noise-figure profile"}));
    params.push_back(parameter(&B::ase_off, {.name = "ase_off", .fallback = 0,
                                             .help = "true: no amplified spontaneous emission is added"}));
    params.push_back(parameter(&B::noise_figure_profile_file,
                               {.name = "noise_figure_profile_file", .type = ParamType::file,
                                .help = "noise-figure profile, without \".DAT\" (with a negative noise figure)",
                                .limits = "needed with a negative noise figure, read as the gain profile"}));
    params.push_back(parameter(&B::ase_polarisations,
                               {.name = "ase_polarisations", .fallback = 2,
                                .help = "polarisations the ASE fills (2: the ASE orthogonal to the signal in a second field)",
                                .choices = {{"1", 1}, {"2", 2}}}));
    params.push_back(parameter(
        &B::noise_figure_definition,
        {.name = "noise_figure_definition", .type = ParamType::choice, .fallback = kNoiseFigureExact,
         .help = "inversion factor from the noise figure: \"exact\" (F G - 1) / (2 (G - 1)), or \"high_gain\" F / 2",
         .choices = {{"high_gain", kNoiseFigureHighGain}, {"exact", kNoiseFigureExact}}}));
}

// A negative gain or noise figure takes the profile model, which needs its
// files, and tables that cover the band: otherwise the amplifier and the
// branch after it would be turned off.
void check_edfa(const BlockSettings& s, const LinkContext& link, std::string_view gain_name, Findings& found);

class EdfaModel {
public:
    // The design of a fixed-gain amplifier: the output's spectral
    // description and window, and the state claimed.
    Status design_fixed_gain(const RunContext& ctx, StateClaims& state, const EdfaSettings& p,
                             const OpticalSignal& in, OpticalSignal& out, const Window& window);
    // The same for a fixed-output-power amplifier: the gain lowered from the
    // largest one until the output power meets the target.
    Status design_fixed_power(const RunContext& ctx, StateClaims& state, const EdfaSettings& p,
                              float output_power_mw, const OpticalSignal& in, OpticalSignal& out,
                              const Window& window);
    void setup(const RunContext& ctx);
    void run(const RunContext& ctx, const OpticalSignal& in, OpticalSignal& out, const Window& window);
    void finish(const RunContext& ctx);

private:
    void share_ase(const RunContext& ctx, const EdfaSettings& p);
    bool use_flat(const EdfaSettings& p) const { return p.gain_db >= 0.0f && p.noise_figure_linear >= 0.0f; }
    void design_flat(const RunContext& ctx, StateClaims& state, float gain_db, const EdfaSettings& p,
                     const OpticalSignal& in, OpticalSignal& out, const Window& window);
    void design_profile(const RunContext& ctx, StateClaims& state, float gain_parameter, const ProfileTable& gain,
                        const ProfileTable& noise_figure, const EdfaSettings& p, const OpticalSignal& in,
                        OpticalSignal& out, const Window& window);
    Status design_fixed_power_profile(const RunContext& ctx, StateClaims& state, const EdfaSettings& p,
                                      float output_power_mw, const OpticalSignal& in, OpticalSignal& out,
                                      const Window& window);
    void run_flat(const RunContext& ctx, const OpticalSignal& in, OpticalSignal& out, const Window& window);
    void run_profile(const RunContext& ctx, const OpticalSignal& in, OpticalSignal& out, const Window& window);

    bool flat_ = true;
    bool ase_off_ = false;
    // Power of the ASE density S (per polarisation) each simulated field
    // carries: x, and y with two fields.
    float x_ase_share_ = 1.0f, y_ase_share_ = 1.0f;
    // Flat model: the gain [dB] a fixed-power amplifier chose (claimed
    // before the rest), then the noise pair's records, then g, n_sp, S.
    State<float> chosen_gain_db_;
    AseNoiseSource noise_;
    State<float> flat_values_;
    float gain_db_ = 0.0f, field_gain_ = 0.0f, inversion_ = 0.0f, ase_density_ = 0.0f;
    // Profile model: N, log2 N and the position in the block, the eight
    // areas (gain and noise responses, signal and noise blocks, overlap
    // tails, X and Y), then the noise pair's records.
    State<std::int32_t> sizes_;
    State<std::complex<double>> gain_response_, noise_response_, x_, y_, x_noise_, y_noise_, x_tail_, y_tail_;
    std::vector<std::complex<double>> designed_gain_response_, designed_noise_response_;
    std::int32_t length_ = 0, log2_length_ = 0;
    bool past_end_ = false;  // a sample at or past the end time: the temporary files go at the finish
};

}  // namespace nodrix
