// The photodiode's kind of the older form: a closure over photod, which reads
// the control blocks and finds its storage by position. It registers itself
// at start-up; declaring it as one struct (docs/adding-a-block.md) takes it
// out of this file.
#include "kernel/block_kind.h"
#include "models/receivers/photodiode.h"

namespace nodrix {
namespace {

using P = ParamSpec;
using T = ParamType;

std::function<void()> make_photodiode(const BlockSettings& s, const BlockWiring& w) {
    const PhotodParams p{s.real("responsivity_a_per_w"), s.flag("shot_noise") ? 1 : 0, s.real("dark_current_na"),
                         s.real("avalanche_gain"), s.real("excess_noise_exponent")};
    return [p, w] { photod(p, w.input_window(), *w.window, *w.optical_inputs[0], *w.electrical_output); };
}

const std::vector<PortSpec> kOpticalIn = {
    PortSpec{.key = "input", .kind = SignalKind::optical, .help = "the light measured"}};

KindSpec photodiode_kind() {
    return KindSpec{
        .name = "photodiode",
        .routine = "photod",
        .help = "PIN or avalanche photodiode with shot and dark-current noise",
        .params =
            {
                P{.name = "responsivity_a_per_w", .unit = "A/W", .fallback = 1.0, .help = "responsivity",
                  .low = 0},
                P{.name = "shot_noise", .type = T::flag, .fallback = 1, .help = "add shot noise"},
                P{.name = "dark_current_na", .unit = "nA", .fallback = 0.0, .help = "dark current", .low = 0},
                P{.name = "avalanche_gain", .fallback = 1.0, .help = "multiplication factor (1: PIN diode)",
                  .low = 0, .low_open = true},
                P{.name = "excess_noise_exponent", .fallback = 0.0,
                  .help = "x of the excess noise factor F = M^x"},
            },
        .inputs = kOpticalIn,
        .outputs = {PortSpec{.key = "output", .kind = SignalKind::electrical, .help = "the photocurrent [A]"}},
        .make = make_photodiode,
    };
}

KindSpec in_family(KindSpec kind) {
    kind.family = BlockFamily::receivers;
    return kind;
}

const KindRegistration registrations[] = {KindRegistration{in_family(photodiode_kind())}};

}  // namespace
}  // namespace nodrix
