#include "project/program.h"

#include <cstdio>

#include "main/op_main.h"
#include "project/summary.h"

namespace nodrix {

int run_project_program(const ProjectDescription& project, int argc, char** argv) {
    set_project(project);
    const int status = op_main(argc, argv);
    // After a simulation the results are summed up on the console.
    if (per_sample_run() && status != 3) std::fputs(sim160g::simulation_summary().c_str(), stdout);
    return status;
}

}  // namespace nodrix
