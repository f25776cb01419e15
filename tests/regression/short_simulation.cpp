// sim_160G with its end time cut to 2560 ps (40 000 samples instead of 10^7):
// the regression net's simulation, in seconds instead of minutes.
#include "project/program.h"
#include "project/sim_160g.h"

int main(int argc, char** argv) {
    nodrix::ProjectDescription project = nodrix::sim_160g_project();
    project.schedule.tend = 2560.0f;
    return nodrix::run_project_program(project, argc, argv);
}
