// sim_160G: the project executable.
#include <cstdio>

#include "kernel/driver.h"
#include "main/op_main.h"
#include "project/sim_160g.h"
#include "project/summary.h"

int main(int argc, char** argv) {
    nodrix::set_project(nodrix::sim_160g_project());
    const int status = nodrix::op_main(argc, argv);
    // After a simulation the results are summed up on the console.
    if (nodrix::per_sample_run() && status != 3) std::fputs(nodrix::sim160g::simulation_summary().c_str(), stdout);
    return status;
}
