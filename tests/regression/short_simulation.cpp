// sim_160G with its end time cut to 2560 ps (40 000 samples instead of 10^7):
// the regression net's simulation, in seconds instead of minutes.
#include "project/program.h"
#include "project/sim_160g.h"

int main(int argc, char** argv) {
    const auto schedule = nodrix::sim160g::make_schedule({*nodrix::parse_override("link.end_time_ps=2560")});
    return schedule ? nodrix::run_link_program(*schedule, argc, argv) : 1;
}
