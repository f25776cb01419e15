// The run of a link as the project executable makes it: the driver on the
// command line, then, after a simulation, the summary of its results.
#pragma once

#include "project/link_schedule.h"

namespace nodrix {

// Runs the schedule on the command line and returns the exit status.
int run_link_program(LinkSchedule& schedule, int argc, char** argv);

}  // namespace nodrix
