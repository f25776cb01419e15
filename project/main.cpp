// sim_160G: the project executable of the reference link.
#include "project/program.h"
#include "project/sim_160g.h"

int main(int argc, char** argv) {
    const auto schedule = nodrix::sim160g::make_schedule();
    return schedule ? nodrix::run_link_program(*schedule, argc, argv) : 1;
}
