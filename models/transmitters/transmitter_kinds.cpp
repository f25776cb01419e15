// The transmitters' kinds of the older form: closures over recnrz and
// laslor, which read the control blocks and find their storage by position.
// They register themselves at start-up; declaring a kind as one struct
// (docs/adding-a-block.md) takes it out of this file, as it took the
// modulator, the combiner and the data source.
#include <cmath>

#include "kernel/block_kind.h"
#include "models/transmitters/laser.h"
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

// The carrier must lie in the simulated band, where the laser emits, and
// within half the sampling rate of the band centre, or its light would
// appear at another frequency; the envelope model takes carriers from 0.2
// times the sampling rate.
void check_laser(const BlockSettings& s, const LinkContext& link, Findings& found) {
    const float f = s.real("frequency_thz");
    const std::string given = "frequency_thz = " + number_text(f);
    if (!(f >= link.band_low_thz && f <= link.band_high_thz)) {
        found.error("frequency_thz", given + " lies outside the simulated band, band_low_thz to band_high_thz = " +
                                         number_text(link.band_low_thz) + " to " + number_text(link.band_high_thz) +
                                         " THz, where the laser would emit nothing; allowed: within it");
        return;
    }
    const double sampling = link.sampling_thz();
    const double cycles = (static_cast<double>(f) - link.centre_thz) / sampling;
    if (std::fabs(cycles) >= 0.5) {
        const double alias = static_cast<double>(f) - std::round(cycles) * sampling;
        found.error("frequency_thz",
                    given + " lies outside the band the time step samples, centre_frequency_thz -+ 0.5 / time_step_ps = " +
                        number_text(static_cast<float>(link.centre_thz - 0.5 * sampling)) + " to " +
                        number_text(static_cast<float>(link.centre_thz + 0.5 * sampling)) +
                        " THz: its light would appear at " + number_text(static_cast<float>(alias)) +
                        " THz; allowed: within it (a shorter time_step_ps widens it)");
        return;
    }
    const float lowest = 0.2f / link.time_step_ps;
    if (static_cast<float>(exact_frequency(f)) < lowest)
        found.error("frequency_thz", given + " is below 0.2 / time_step_ps = " + number_text(lowest) +
                                         " THz, the lowest carrier the laser's model takes");
    if (s.flag("shaped_frequency_noise") &&
        !shaping_pole(s.real("resonance_frequency_ghz"), s.real("resonance_peak_db")).valid)
        found.error("shaped_frequency_noise",
                    "shaped_frequency_noise = true needs a resonance: resonance_frequency_ghz = " +
                        number_text(s.real("resonance_frequency_ghz")) + " and resonance_peak_db = " +
                        number_text(s.real("resonance_peak_db")) + " give none; allowed: both above 0");
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

KindSpec laser_kind() {
    return KindSpec{
        .name = "laser",
        .routine = "laslor",
        .help = "continuous-wave laser with Lorentzian phase noise",
        .params =
            {
                P{.name = "frequency_thz", .unit = "THz", .help = "emission frequency", .required = true,
                  .limits = "within band_low_thz to band_high_thz and within centre_frequency_thz -+ 0.5 / "
                            "time_step_ps; at least 0.2 / time_step_ps"},
                P{.name = "power_mw", .unit = "mW", .fallback = 1.0, .help = "optical power", .low = 0},
                P{.name = "linewidth_mhz", .unit = "MHz", .fallback = 0.0, .help = "Lorentzian line width (FWHM)",
                  .low = 0},
                P{.name = "phase_rad", .unit = "rad", .fallback = 0.0, .help = "initial optical phase"},
                P{.name = "shaped_frequency_noise", .type = T::flag, .fallback = 0,
                  .help = "frequency noise shaped by the resonant response below, else white",
                  .limits = "true needs resonance_frequency_ghz and resonance_peak_db above 0"},
                P{.name = "resonance_frequency_ghz", .unit = "GHz", .fallback = 0.0,
                  .help = "frequency of the response peak (shaped noise)", .low = 0},
                P{.name = "resonance_peak_db", .unit = "dB", .fallback = 0.0,
                  .help = "height of the response peak (shaped noise)", .low = 0},
            },
        .inputs = {},
        .outputs = {PortSpec{.key = "output", .kind = SignalKind::optical, .help = "the light"}},
        .make = make_laser,
        .check = check_laser,
    };
}

KindSpec in_family(KindSpec kind) {
    kind.family = BlockFamily::transmitters;
    return kind;
}

const KindRegistration registrations[] = {KindRegistration{in_family(nrz_driver_kind())},
                                          KindRegistration{in_family(laser_kind())}};

}  // namespace
}  // namespace nodrix
