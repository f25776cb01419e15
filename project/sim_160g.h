// The project sim_160G: a 16-channel wavelength-multiplexed link.
#pragma once

#include "kernel/driver.h"

namespace nodrix {

// The project as the driver runs it: name, instance range, schedule.
ProjectDescription sim_160g_project();

}  // namespace nodrix
