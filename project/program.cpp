#include "project/program.h"

#include <cstdio>

#include "main/op_main.h"
#include "project/summary.h"

namespace nodrix {

int run_link_program(LinkSchedule& schedule, int argc, char** argv) {
    set_project(schedule.project());
    const int status = op_main(argc, argv);
    // After a simulation the results are summed up on the console.
    if (per_sample_run() && status != 3) std::fputs(simulation_summary(schedule).c_str(), stdout);
    return status;
}

}  // namespace nodrix
