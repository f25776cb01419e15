#include "project/link_settings.h"

#include <algorithm>
#include <cmath>

#include "project/link.h"
#include "project/link_checks.h"

namespace nodrix {

const KindSpec& link_settings_kind() {
    using P = ParamSpec;
    using T = ParamType;
    static const KindSpec kind{
        .name = "link",
        .routine = "",
        .help = "run settings of the link",
        .params =
            {
                P{.name = "name", .type = T::text,
                  .help = "names the result files (letters, digits, '_', '-', '.')", .required = true},
                P{.name = "bit_rate_gbps", .unit = "Gb/s",
                  .help = "bit rate of the channels: with samples_per_bit it sets the time step (0: none)", .low = 0,
                  .limits = "given with samples_per_bit; a time_step_ps given too must agree"},
                P{.name = "samples_per_bit", .type = T::integer, .unit = "samples",
                  .help = "samples per bit, taken by every block with samples_per_bit that gives none (0: none)",
                  .low = 0},
                P{.name = "bits", .type = T::integer, .unit = "bits",
                  .help = "bits every source emits: sets the emission window (0: none)", .low = 0,
                  .limits = "given with samples_per_bit; an emission_window_ps given too must agree"},
                P{.name = "time_step_ps", .unit = "ps", .fallback = 0.0640443,
                  .help = "simulation time step (1 / (bit_rate_gbps x samples_per_bit) when they are given)",
                  .low = 0, .low_open = true},
                P{.name = "end_time_ps", .unit = "ps",
                  .help = "simulation end time, or \"auto\": where every measurement's observation ends", .low = 0,
                  .low_open = true, .required = true,
                  .limits = "required unless \"auto\" (the default with bit_rate_gbps); at least time_step_ps, and "
                            "below 2^24 times the power of two at or below time_step_ps (16777216 ps at a step of 1 "
                            "to 2 ps): the time is single precision, and every sample keeps a time of its own"},
                P{.name = "start_time_ps", .unit = "ps", .fallback = 0.0, .help = "start of every source's emission"},
                P{.name = "emission_window_ps", .unit = "ps", .fallback = 15360.0,
                  .help = "length of every source's emission, or \"auto\": the least that gives every measurement "
                          "its full observation (the default with bit_rate_gbps and no bits)",
                  .low = 0, .low_open = true},
                P{.name = "centre_frequency_thz", .unit = "THz", .fallback = 193.61597,
                  .help = "centre of the simulated band (a channel plan's centre when it has one)"},
                P{.name = "band_low_thz", .unit = "THz", .fallback = 187.37029, .help = "low edge of the simulated band",
                  .limits = "below band_high_thz, within the grid; by default the centre - 0.4 / time_step_ps"},
                P{.name = "band_high_thz", .unit = "THz", .fallback = 199.86163,
                  .help = "high edge of the simulated band",
                  .limits = "within the grid; by default the centre + 0.4 / time_step_ps"},
                P{.name = "grid_reference_thz", .unit = "THz", .fallback = 193.61597,
                  .help = "reference frequency of the spectral grid (by default the centre)"},
                P{.name = "grid_low_thz", .unit = "THz", .fallback = 185.80887,
                  .help = "low edge of the 1024-bin spectral grid (by default the centre - 0.5 / time_step_ps)"},
                P{.name = "grid_high_thz", .unit = "THz", .fallback = 201.42307,
                  .help = "high edge of the 1024-bin spectral grid (by default the centre + 0.5 / time_step_ps)"},
                P{.name = "monitor_offset_ps", .unit = "ps", .fallback = 1280.0,
                  .help = "guard time the measurements leave at both ends of a good interval", .low = 0},
                P{.name = "polarisations", .type = T::integer, .fallback = 1,
                  .help = "polarisations every optical signal carries (the blocks carry one so far)",
                  .choices = {{"1", 1}}},
                P{.name = "seeds", .type = T::integer_list, .text_fallback = "349,124,541,978,457,565,942,313,583,288",
                  .help = "the ten seeds of the random streams (a block's seed parameter picks one)", .low = 0,
                  .count = 10},
                P{.name = "fwm_accuracy_db", .unit = "dB", .fallback = 18.0,
                  .help = "accuracy of the split-step's four-wave-mixing estimate"},
                P{.name = "fourfold_precision_off", .type = T::flag, .fallback = 0,
                  .help = "true: no fourfold filter precision for non-uniform steps"},
                P{.name = "filter_precision_constant", .fallback = 1.2,
                  .help = "constant of the fibre filters' precision", .low = 0, .low_open = true},
                P{.name = "peak_power_index", .type = T::integer, .fallback = 26,
                  .help = "integer of the fibre's peak-power estimate"},
                P{.name = "max_nonlinear_phase_deg", .unit = "degrees", .fallback = 1.0,
                  .help = "largest non-linear phase of one split-step", .low = 0, .low_open = true},
                P{.name = "step_rule", .type = T::choice, .help = "the fibres' steps: \"phase_and_dispersion\" "
                  "(equal phase, or equal steps capped by dispersion) or \"graded\" (growing, none repeating)",
                  .choices = {{"phase_and_dispersion", 0}, {"graded", 1}}},
                P{.name = "splitting", .type = T::choice, .help = "split-step order: \"first_order\" (dispersion, "
                  "then Kerr phase) or \"symmetric\" (half the dispersion either side of the Kerr phase)",
                  .choices = {{"first_order", 0}, {"symmetric", 1}}},
                P{.name = "step_refinement", .fallback = 1.0, .help = "divides the fibres' steps and refines their "
                  "filters: a finer plan of the same rule", .low = 1, .high = 1000},
            },
    };
    return kind;
}

namespace {

// Two forms of one setting agree when they differ by no more than the
// single precision the kernel holds the setting in.
constexpr double kAgreement = 1e-6;

double num(const BlockSettings& s, std::string_view name) { return s.value(name).number; }

// A setting the link gives, other than 0 (which stands for none).
bool has(const BlockSettings& s, const GivenSettings& given, const char* name) {
    return given.names.count(name) != 0 && num(s, name) > 0.0;
}

bool agree(double a, double b) { return std::fabs(a - b) <= kAgreement * std::max(std::fabs(a), std::fabs(b)); }

// The time step the registry takes by default and the band and grid it
// gives at that step and the default centre: a link that gives neither keeps
// those numbers exactly as written.
constexpr double kDefaultStepPs = 0.0640443;
constexpr double kDefaultCentreThz = 193.61597;

// The time step from the bit rate and the samples per bit; a time step given
// as well must agree.
void derive_time_step(BlockSettings& s, const GivenSettings& given, Findings& findings) {
    const bool rate = has(s, given, "bit_rate_gbps");
    const bool per_bit = has(s, given, "samples_per_bit");
    if (rate && !per_bit) {
        findings.error("bit_rate_gbps", "bit_rate_gbps needs samples_per_bit: the time step is one bit over the "
                                        "samples per bit");
        return;
    }
    if (!rate) return;
    const double rate_gbps = num(s, "bit_rate_gbps");
    const double spb = num(s, "samples_per_bit");
    const double step = time_step_of(rate_gbps, spb);
    if (given.names.count("time_step_ps") == 0) {
        s.set_number("time_step_ps", step);
        return;
    }
    const double stated = num(s, "time_step_ps");
    if (!agree(stated, step))
        findings.error("time_step_ps", "time_step_ps = " + number_text(stated) + " disagrees with bit_rate_gbps = " +
                                           number_text(rate_gbps) + " and samples_per_bit = " + number_text(spb) +
                                           ", which give a time step of " + number_text(step) +
                                           " ps; give time_step_ps or the bit rate, or values that agree");
}

// The emission window of `bits` bits; one given as well must agree.
void derive_emission(BlockSettings& s, const GivenSettings& given, Findings& findings, DerivedTiming& timing) {
    const bool bits = has(s, given, "bits");
    const bool stated = given.names.count("emission_window_ps") != 0;
    if (!bits) return;
    if (!has(s, given, "samples_per_bit")) {
        findings.error("bits", "bits needs samples_per_bit: the emission window is bits x samples_per_bit time steps");
        return;
    }
    const double window = num(s, "bits") * num(s, "samples_per_bit") * num(s, "time_step_ps");
    if (given.auto_emission_window) {
        findings.error("bits", "bits = " + number_text(num(s, "bits")) + " and emission_window_ps = \"auto\" "
                               "both set the emission window; give one of them");
        timing.auto_emission_window = false;
    } else if (stated && !agree(num(s, "emission_window_ps"), window)) {
        findings.error("emission_window_ps",
                       "emission_window_ps = " + number_text(num(s, "emission_window_ps")) +
                           " disagrees with bits = " + number_text(num(s, "bits")) + ", which at " +
                           number_text(num(s, "samples_per_bit")) + " samples per bit of " +
                           number_text(num(s, "time_step_ps")) + " ps give " + number_text(window) +
                           " ps; give one of them, or values that agree");
    } else if (!stated) {
        s.set_number("emission_window_ps", window);
    }
}

// The grid spans one over the time step around the centre, the band 80 % of
// it; each edge the link gives stays as given.
void derive_band_and_grid(BlockSettings& s, const GivenSettings& given) {
    if (given.names.count("centre_frequency_thz") == 0 && given.plan_centre_thz)
        s.set_number("centre_frequency_thz", *given.plan_centre_thz);
    const double centre = num(s, "centre_frequency_thz");
    const double step = num(s, "time_step_ps");
    if (step == kDefaultStepPs && centre == kDefaultCentreThz) return;  // the registry's numbers
    const double width_thz = 1.0 / step;
    const struct {
        const char* name;
        double value;
    } edges[] = {{"grid_reference_thz", centre},
                 {"grid_low_thz", centre - 0.5 * width_thz},
                 {"grid_high_thz", centre + 0.5 * width_thz},
                 {"band_low_thz", centre - 0.4 * width_thz},
                 {"band_high_thz", centre + 0.4 * width_thz}};
    for (const auto& e : edges)
        if (given.names.count(e.name) == 0) s.set_number(e.name, e.value);
}

}  // namespace

DerivedTiming auto_timing(const GivenSettings& given) {
    // A link in the designer's terms (its bit rate) leaves what it does not
    // give of the emission window and the end time to its measurements.
    const bool designer = given.names.count("bit_rate_gbps") != 0;
    DerivedTiming timing;
    timing.auto_end_time = given.auto_end_time || (designer && given.names.count("end_time_ps") == 0);
    timing.auto_emission_window = given.auto_emission_window || (designer && given.names.count("emission_window_ps") == 0 &&
                                                                 given.names.count("bits") == 0);
    return timing;
}

double time_step_of(double bit_rate_gbps, double samples_per_bit) { return 1000.0 / (bit_rate_gbps * samples_per_bit); }

DerivedTiming derive_link_settings(BlockSettings& s, const GivenSettings& given, Findings& findings) {
    DerivedTiming timing = auto_timing(given);
    const std::size_t before = findings.list().size();
    derive_time_step(s, given, findings);
    if (findings.list().size() != before) return timing;
    derive_emission(s, given, findings, timing);
    derive_band_and_grid(s, given);
    // Stand-ins until a set-up works the "auto" values out: the windows of
    // the blocks grow one for one with the emission window, and the end time
    // bounds no window.
    if (timing.auto_end_time) {
        const double emission = num(s, "emission_window_ps");
        s.set_number("end_time_ps", std::min(4.0 * emission, 0.5 * longest_end_time_ps(s.real("time_step_ps"))));
    }
    return timing;
}

}  // namespace nodrix
