// The check of a link's fibres for step plans that put four-wave mixing of
// its channels in phase (see models/fibre/graded_steps.h).
#pragma once

#include <vector>

#include "models/fibre/graded_steps.h"
#include "project/link_schedule.h"

namespace nodrix {

// Warns of every fibre whose steps are mostly of one length h (at least
// half of them, and eight) when the link's lasers meet
// beta2 (2 pi df1)(2 pi df2) h = 2 pi m to within half a step over the
// fibre's effective length, naming the fibre, the step and the channel
// pairs. Returns the number of fibres warned of.
int warn_resonant_steps(const LinkSchedule& s, const std::vector<StepPlanNote>& notes);

}  // namespace nodrix
