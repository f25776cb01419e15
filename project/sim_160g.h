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
// Variants of the link for studies: the span's non-linear coefficient
// [1/W/km] (1.26809 in the reference design). Setting them rebuilds the block
// list.
struct LinkOptions {
    float span_gamma = 1.26809f;
};
void set_link_options(const LinkOptions& options);
const LinkOptions& link_options();

// The generated block list in schedule order (one entry per instance).
std::vector<BlockCall>& block_list();
// The project's signals as the last schedule call left them: an optical
// signal by its number, the output window of an instance.
const OpticalSignal& optical_signal(std::int32_t number);
const TimeWindow& output_window(std::int32_t instance);
}  // namespace sim160g

}  // namespace nodrix
