// The mean power a modulator passes of its laser's, worked out from the link:
// the spectral description of its output (what amplifiers set their gain by
// and an OSNR meter reads as the signal) is the laser's scaled by it.
#pragma once

#include <optional>

#include "project/link.h"

namespace nodrix {

// The modulator's mean power transmission over the levels of the NRZ or
// multi-level driver upstream of its drive, each level sent equally often:
// the mean of cos^2 phi + (1 - symmetry) sin^2 phi with phi = (V - bias) pi/2
// / switching voltage. Nullopt when no driver is found along the drive's
// first inputs.
std::optional<double> mean_power_transmission(const Link& link, const LinkBlock& modulator);

// Sets spectral_field_factor = sqrt(mean power transmission) on each of the
// given modulators that has a driver to trace; the others keep the kind's
// default.
void derive_spectral_field_factors(Link& link, const std::vector<std::int32_t>& modulators);

}  // namespace nodrix
