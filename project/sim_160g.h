// The project sim_160G: a 16-channel wavelength-multiplexed link.
#pragma once

#include "kernel/driver.h"
#include "kernel/schedule.h"
#include "kernel/signals.h"

#include <vector>

namespace nodrix {

// The project as the driver runs it: name, instance range, schedule.
ProjectDescription sim_160g_project();

namespace sim160g {
// The generated block list in schedule order (one entry per instance).
std::vector<BlockCall>& block_list();
// The project's signals as the last schedule call left them: an optical
// signal by its number, the output window of an instance.
const OpticalSignal& optical_signal(std::int32_t number);
const TimeWindow& output_window(std::int32_t instance);
}  // namespace sim160g

}  // namespace nodrix
