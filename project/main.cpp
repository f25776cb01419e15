// sim_160G: the project executable.
#include "main/op_main.h"
#include "project/sim_160g.h"

int main(int argc, char** argv) {
    nodrix::set_project(nodrix::sim_160g_project());
    return nodrix::op_main(argc, argv);
}
