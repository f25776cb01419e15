// The transmitters' kinds of the older form: a closure over recnrz, which
// reads the control blocks and finds its storage by position. It registers
// itself at start-up; declaring a kind as one struct
// (docs/adding-a-block.md) takes it out of this file, as it took the
// modulator, the combiner, the data source and the laser.
#include "kernel/block_kind.h"
#include "models/transmitters/nrz_driver.h"

namespace nodrix {
namespace {

using P = ParamSpec;
using T = ParamType;

std::function<void()> make_nrz_driver(const BlockSettings& s, const BlockWiring& w) {
    const RecnrzParams p{s.integer("samples_per_bit"), s.real("low_level_v"), s.real("high_level_v"),
                         s.real("rise_time_bits"), s.real("crossing_point_percent")};
    return [p, in = w.logical_input, out = w.electrical_output] { recnrz(p, (*in)[0], *out); };
}

KindSpec nrz_driver_kind() {
    return KindSpec{
        .name = "nrz_driver",
        .routine = "recnrz",
        .help = "NRZ pulse driver: the data bits as the modulator's drive voltage, with linear edges",
        .params =
            {
                P{.name = "samples_per_bit", .type = T::integer, .unit = "samples", .help = "samples per bit period",
                  .low = 1, .required = true, .limits = "that of its data source"},
                P{.name = "low_level_v", .unit = "V", .fallback = -2.5, .help = "voltage of a 0 bit"},
                P{.name = "high_level_v", .unit = "V", .fallback = 2.5, .help = "voltage of a 1 bit"},
                P{.name = "rise_time_bits", .unit = "bit periods", .fallback = 0.0,
                  .help = "10-90 % edge duration; 0 gives rectangular pulses", .low = 0},
                P{.name = "crossing_point_percent", .unit = "%", .fallback = 50.0,
                  .help = "eye crossing point, percent of the swing", .low = 0, .high = 100},
            },
        .inputs = {PortSpec{.key = "input", .kind = SignalKind::logical, .help = "the data source's bits"}},
        .outputs = {PortSpec{.key = "output", .kind = SignalKind::electrical, .help = "the drive voltage"}},
        .windowed = false,
        .make = make_nrz_driver,
    };
}

KindSpec in_family(KindSpec kind) {
    kind.family = BlockFamily::transmitters;
    return kind;
}

const KindRegistration registrations[] = {KindRegistration{in_family(nrz_driver_kind())}};

}  // namespace
}  // namespace nodrix
