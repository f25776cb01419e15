// The amplifiers' kinds of the older form: closures over oampfg and oampfp,
// which read the control blocks and find their storage by position. They
// register themselves at start-up; declaring a kind as one struct
// (docs/adding-a-block.md) takes it out of this file.
#include "kernel/block_kind.h"
#include "models/amplifiers/edfa.h"
#include "models/amplifiers/edfa_profile.h"

namespace nodrix {
namespace {

using P = ParamSpec;
using T = ParamType;

std::function<void()> make_fixed_gain(const BlockSettings& s, const BlockWiring& w) {
    const OampfgParams p{s.real("gain_db"), s.padded("gain_profile_file"), s.real("noise_figure_linear"),
                         s.flag("ase_off") ? 1 : 0, s.padded("noise_figure_profile_file")};
    return [p, w] { oampfg(p, w.input_window(), *w.window, *w.optical_inputs[0], *w.optical_output); };
}

std::function<void()> make_fixed_power(const BlockSettings& s, const BlockWiring& w) {
    const OampfpParams p{s.real("max_gain_db"),       s.padded("gain_profile_file"),
                         s.real("noise_figure_linear"), s.flag("ase_off") ? 1 : 0,
                         s.padded("noise_figure_profile_file"), s.real("output_power_mw")};
    return [p, w] { oampfp(p, w.input_window(), *w.window, *w.optical_inputs[0], *w.optical_output); };
}

// A negative gain or noise figure takes the profile model, which needs its
// files, and tables that cover the band: otherwise the amplifier and the
// branch after it would be turned off.
void check_amplifier(const BlockSettings& s, const LinkContext& link, std::string_view gain_name, Findings& found) {
    const float gain = s.real(gain_name);
    const float noise_figure = s.real("noise_figure_linear");
    const std::string& gain_file = s.text("gain_profile_file");
    const std::string& noise_file = s.text("noise_figure_profile_file");
    bool named = true;
    if (gain < 0.0f && gain_file.empty()) {
        found.error(gain_name, std::string(gain_name) + " = " + number_text(gain) +
                                   " takes the gain from a profile (a negative gain), but gain_profile_file is not "
                                   "given; allowed: 0 or more, or a negative value with gain_profile_file");
        named = false;
    }
    if (noise_figure < 0.0f && noise_file.empty()) {
        found.error("noise_figure_linear", "noise_figure_linear = " + number_text(noise_figure) +
                                               " takes the noise figure from a profile (a negative value), but "
                                               "noise_figure_profile_file is not given; allowed: 0 or more, or a "
                                               "negative value with noise_figure_profile_file");
        named = false;
    }
    if (!named || (gain >= 0.0f && noise_figure >= 0.0f)) return;
    const ProfileFrame frame{link.grid_low_thz, link.grid_high_thz, link.band_low_thz, link.band_high_thz};
    if (const auto problem = profile_model_problem(gain, gain_file, noise_figure, noise_file, frame))
        found.error(problem->param, std::string(problem->param) + ": " + problem->text);
}

void check_fixed_gain(const BlockSettings& s, const LinkContext& link, Findings& found) {
    check_amplifier(s, link, "gain_db", found);
}

void check_fixed_power(const BlockSettings& s, const LinkContext& link, Findings& found) {
    check_amplifier(s, link, "max_gain_db", found);
}

const std::vector<PortSpec> kOpticalIn = {
    PortSpec{.key = "input", .kind = SignalKind::optical, .help = "the light in"}};
const std::vector<PortSpec> kOpticalOut = {
    PortSpec{.key = "output", .kind = SignalKind::optical, .help = "the light out"}};

// Gain and noise parameters shared by both amplifiers, after the gain.
void amplifier_noise_params(std::vector<ParamSpec>& params) {
    params.push_back(P{.name = "gain_profile_file", .type = T::file,
                       .help = "gain profile, without \".DAT\" (with a negative gain: the profile model)",
                       .limits = "needed with a negative gain: a line starting with ##, then pairs of wavelength "
                                 "[nm] and gain [dB] that reach below and above the band or hold 10 points in it"});
    params.push_back(P{.name = "noise_figure_linear", .fallback = 2.81838,
                       .help = "noise figure, linear; negative: from the noise-figure profile"});
    params.push_back(P{.name = "ase_off", .type = T::flag, .fallback = 0,
                       .help = "true: no amplified spontaneous emission is added"});
    params.push_back(P{.name = "noise_figure_profile_file", .type = T::file,
                       .help = "noise-figure profile, without \".DAT\" (with a negative noise figure)",
                       .limits = "needed with a negative noise figure, read as the gain profile"});
}

KindSpec amplifier_fixed_gain_kind() {
    std::vector<ParamSpec> fixed_gain = {
        P{.name = "gain_db", .unit = "dB", .help = "gain; negative: the profile model", .high = 100,
          .required = true}};
    amplifier_noise_params(fixed_gain);
    return KindSpec{
        .name = "amplifier_fixed_gain",
        .routine = "oampfg",
        .help = "erbium-doped fibre amplifier of fixed gain, adding amplified spontaneous emission",
        .params = fixed_gain,
        .inputs = kOpticalIn,
        .outputs = kOpticalOut,
        .make = make_fixed_gain,
        .check = check_fixed_gain,
    };
}

KindSpec amplifier_fixed_power_kind() {
    std::vector<ParamSpec> fixed_power = {
        P{.name = "max_gain_db", .unit = "dB", .help = "largest gain; negative: the profile model", .high = 100,
          .required = true}};
    amplifier_noise_params(fixed_power);
    fixed_power.push_back(P{.name = "output_power_mw", .unit = "mW", .help = "target output power", .low = 0,
                            .low_open = true, .required = true});
    return KindSpec{
        .name = "amplifier_fixed_power",
        .routine = "oampfp",
        .help = "erbium-doped fibre amplifier holding a target output power",
        .params = fixed_power,
        .inputs = kOpticalIn,
        .outputs = kOpticalOut,
        .make = make_fixed_power,
        .check = check_fixed_power,
    };
}

KindSpec in_family(KindSpec kind) {
    kind.family = BlockFamily::amplifiers;
    return kind;
}

const KindRegistration registrations[] = {KindRegistration{in_family(amplifier_fixed_gain_kind())},
                                          KindRegistration{in_family(amplifier_fixed_power_kind())}};

}  // namespace
}  // namespace nodrix
