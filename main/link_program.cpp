#include "main/link_program.h"

#include <cstdio>

#include "kernel/driver.h"
#include "main/op_main.h"
#include "project/observation.h"
#include "project/summary.h"

namespace nodrix {

int run_link_program(LinkSchedule& schedule, int argc, char** argv) {
    set_project(schedule.project());
    // After a simulation its results are summed up on the console; a run that
    // simulated nothing has nothing to sum up.
    return op_main(argc, argv, [&schedule](int) {
        if (!last_run_simulated()) return;
        warn_observations_after_run(schedule);
        std::fputs(simulation_summary(schedule).c_str(), stdout);
    });
}

}  // namespace nodrix
