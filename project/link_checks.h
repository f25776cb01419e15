// The checks of a link beyond the values of one block: the run settings
// against each other and against the single-precision time of the kernel,
// and the link as a whole (the samples per bit along each channel, result
// files that two blocks would write). The loader reports what they find with
// file, line and block, before anything runs.
#pragma once

#include <utility>
#include <vector>

#include "project/link.h"
#include "project/registry.h"

namespace nodrix {

// The run settings of a link (of link_settings_kind()), each already within
// its own range.
void check_run_settings(const BlockSettings& settings, Findings& findings);

// The longest end time the kernel's single-precision time tells apart from
// the time one step earlier, at a time step [ps]: 2^24 times the power of two
// at or below the step. Every sample up to it keeps a time of its own.
double longest_end_time_ps(float time_step_ps);

// What is wrong with a link whose blocks are each sound: each finding with
// the block it concerns.
std::vector<std::pair<const LinkBlock*, Finding>> check_link_physics(const Link& link);

// The transmitter of a channel as a receiver sees it: the data source, the
// NRZ driver and the laser behind one modulator (null where the link has
// none of them).
struct Transmitter {
    const LinkBlock* modulator = nullptr;
    const LinkBlock* laser = nullptr;
    const LinkBlock* driver = nullptr;
    const LinkBlock* source = nullptr;
};
// The transmitters whose light reaches a block along its inputs: those of the
// carrier nearest the centre of the optical filter closest to it, or, without
// a filter, every one (which is the channel when they share one carrier).
std::vector<Transmitter> channel_transmitters(const Link& link, const LinkBlock& receiver);

}  // namespace nodrix
