// The run settings a link derives from its signal: the time step from the
// bit rate and the samples per bit, the emission window from the number of
// bits, the simulated band and the spectral grid from the time step and the
// centre frequency. A setting the link gives keeps its value and is checked
// against the others; one it leaves out follows from them.
#pragma once

#include <optional>
#include <set>
#include <string>

#include "kernel/block_kind.h"

namespace nodrix {

// What a link's [link] table gave: the settings it named, and which of the
// emission window and the end time it left to the measurements ("auto").
struct GivenSettings {
    std::set<std::string> names;
    bool auto_emission_window = false;
    bool auto_end_time = false;
    // The centre of the link's channel plan, the centre frequency a link
    // with a plan takes when it gives none.
    std::optional<double> plan_centre_thz;
};

// Fills the settings that follow from the given ones and reports, as
// findings on the setting concerned, what disagrees. `auto_*` of the result
// say which of the emission window and end time are still to be worked out
// from the measurements (a link that gives its bit rate takes "auto" for
// those it leaves out).
struct DerivedTiming {
    bool auto_emission_window = false;
    bool auto_end_time = false;
};
DerivedTiming auto_timing(const GivenSettings& given);
DerivedTiming derive_link_settings(BlockSettings& settings, const GivenSettings& given, Findings& findings);

// The time step 1 / (bit rate x samples per bit) [ps] at a bit rate in Gb/s.
double time_step_of(double bit_rate_gbps, double samples_per_bit);

}  // namespace nodrix
