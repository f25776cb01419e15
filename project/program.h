// The project executable's whole run: the driver on the command line, then,
// after a simulation, the summary of its results on the console.
#pragma once

#include "kernel/driver.h"

namespace nodrix {

// Runs `project` on the command line and returns the exit status.
int run_project_program(const ProjectDescription& project, int argc, char** argv);

}  // namespace nodrix
