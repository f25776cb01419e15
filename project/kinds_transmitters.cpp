// Block kinds of the transmitters of the older form: data source, NRZ
// driver, laser. The modulator and the combiner declare themselves
// (models/transmitters).
#include "models/transmitters/laser.h"
#include "models/transmitters/nrz_driver.h"
#include "models/transmitters/prbs_source.h"
#include "project/registry.h"

namespace nodrix {
namespace {

using P = ParamSpec;
using T = ParamType;

std::function<void()> make_prbs_source(const BlockSettings& s, const BlockWiring& w) {
    SpnseqParams p;
    p.isrc = s.integer("source");
    p.ndeg = s.integer("degree");
    p.ipoly = s.integer("polynomial");
    p.ioffs = s.integer("first_boundary_samples");
    p.nsbit = s.integer("samples_per_bit");
    p.nstart = s.integer("skipped_symbols");
    p.nlev = s.integer("bits_per_symbol");
    p.iclk = s.integer("clock");
    p.fname = s.padded("file");
    return [p, clock = w.clock_output, data = w.logical_output] { spnseq(p, *clock, *data); };
}

std::function<void()> make_nrz_driver(const BlockSettings& s, const BlockWiring& w) {
    const RecnrzParams p{s.integer("samples_per_bit"), s.real("low_level_v"), s.real("high_level_v"),
                         s.real("rise_time_bits"), s.real("crossing_point_percent")};
    return [p, in = w.logical_input, out = w.electrical_output] { recnrz(p, (*in)[0], *out); };
}

std::function<void()> make_laser(const BlockSettings& s, const BlockWiring& w) {
    LaslorParams p;
    p.frequency = s.real("frequency_thz");
    p.power = s.real("power_mw");
    p.linewidth = s.real("linewidth_mhz");
    p.phase = s.real("phase_rad");
    p.noise_shaping = s.flag("shaped_frequency_noise") ? 1 : 0;
    p.resonance_frequency = s.real("resonance_frequency_ghz");
    p.resonance_peak = s.real("resonance_peak_db");
    return [p, w] { laslor(p, w.input_window(), *w.window, *w.optical_output); };
}

KindSpec prbs_source_kind() {
    return KindSpec{
        .name = "prbs_source",
        .routine = "spnseq",
        .help = "data source: symbols from a pseudo-random bit sequence or a file, with a clock at the symbol rate",
        .params =
            {
                P{.name = "source", .type = T::choice, .fallback = 0, .help = "where the bits come from",
                  .choices = {{"prbs", 0}, {"file", 1}}},
                P{.name = "degree", .type = T::integer, .fallback = 7,
                  .help = "shift-register degree; below 5 it is chosen from the run length", .low = 0, .high = 28},
                P{.name = "polynomial", .type = T::integer, .fallback = 1,
                  .help = "variant of the feedback polynomial of that degree", .low = 1},
                P{.name = "first_boundary_samples", .type = T::integer, .unit = "samples", .fallback = 0,
                  .help = "phase of the first symbol boundary, below samples_per_bit", .low = 0},
                P{.name = "samples_per_bit", .type = T::integer, .unit = "samples", .help = "samples per symbol",
                  .low = 1, .required = true},
                P{.name = "skipped_symbols", .type = T::integer, .fallback = 0,
                  .help = "symbols skipped before the first output symbol", .low = 0},
                P{.name = "bits_per_symbol", .type = T::integer, .fallback = 1, .help = "bits per symbol", .low = 1,
                  .high = 8},
                P{.name = "clock", .type = T::choice, .fallback = 1, .help = "form of the clock output",
                  .choices = {{"pulse", 1}, {"square", 2}, {"sine", 3}}},
                P{.name = "file", .type = T::file, .help = "bit file (without \".DAT\") when source is \"file\""},
            },
        .inputs = {},
        .outputs = {PortSpec{.key = "output", .kind = SignalKind::logical, .help = "the symbols' bits"},
                    PortSpec{.key = "clock_output", .kind = SignalKind::electrical, .required = false,
                             .help = "the clock"}},
        .windowed = false,
        .make = make_prbs_source,
    };
}

KindSpec nrz_driver_kind() {
    return KindSpec{
        .name = "nrz_driver",
        .routine = "recnrz",
        .help = "NRZ pulse driver: the data bits as the modulator's drive voltage, with linear edges",
        .params =
            {
                P{.name = "samples_per_bit", .type = T::integer, .unit = "samples", .help = "samples per bit period",
                  .low = 1, .required = true},
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

KindSpec laser_kind() {
    return KindSpec{
        .name = "laser",
        .routine = "laslor",
        .help = "continuous-wave laser with Lorentzian phase noise",
        .params =
            {
                P{.name = "frequency_thz", .unit = "THz", .help = "emission frequency", .required = true},
                P{.name = "power_mw", .unit = "mW", .fallback = 1.0, .help = "optical power", .low = 0},
                P{.name = "linewidth_mhz", .unit = "MHz", .fallback = 0.0, .help = "Lorentzian line width (FWHM)",
                  .low = 0},
                P{.name = "phase_rad", .unit = "rad", .fallback = 0.0, .help = "initial optical phase"},
                P{.name = "shaped_frequency_noise", .type = T::flag, .fallback = 0,
                  .help = "frequency noise shaped by the resonant response below, else white"},
                P{.name = "resonance_frequency_ghz", .unit = "GHz", .fallback = 0.0,
                  .help = "frequency of the response peak (shaped noise)", .low = 0},
                P{.name = "resonance_peak_db", .unit = "dB", .fallback = 0.0,
                  .help = "height of the response peak (shaped noise)", .low = 0},
            },
        .inputs = {},
        .outputs = {PortSpec{.key = "output", .kind = SignalKind::optical, .help = "the light"}},
        .make = make_laser,
    };
}

}  // namespace

void declare_transmitters(std::vector<KindSpec>& kinds) {
    kinds.push_back(prbs_source_kind());
    kinds.push_back(nrz_driver_kind());
    kinds.push_back(laser_kind());
}

}  // namespace nodrix
