// The amplifiers' kind of the older form: a closure over oampfp, which reads
// the control blocks and finds its storage by position. It registers itself
// at start-up; declaring it as one struct (docs/adding-a-block.md) takes it
// out of this file.
#include "kernel/block_kind.h"
#include "models/amplifiers/edfa.h"
#include "models/amplifiers/edfa_model.h"
#include "models/amplifiers/edfa_profile.h"

namespace nodrix {
namespace {

using P = ParamSpec;
using T = ParamType;

std::function<void()> make_fixed_power(const BlockSettings& s, const BlockWiring& w) {
    const OampfpParams p{s.real("max_gain_db"),       s.padded("gain_profile_file"),
                         s.real("noise_figure_linear"), s.flag("ase_off") ? 1 : 0,
                         s.padded("noise_figure_profile_file"), s.real("output_power_mw")};
    return [p, w] { oampfp(p, w.input_window(), *w.window, *w.optical_inputs[0], *w.optical_output); };
}

void check_fixed_power(const BlockSettings& s, const LinkContext& link, Findings& found) {
    check_edfa(s, link, "max_gain_db", found);
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

const KindRegistration registrations[] = {KindRegistration{in_family(amplifier_fixed_power_kind())}};

}  // namespace
}  // namespace nodrix
