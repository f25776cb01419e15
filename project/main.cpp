// sim_160G: the project executable.
#include "project/program.h"
#include "project/sim_160g.h"

int main(int argc, char** argv) { return nodrix::run_project_program(nodrix::sim_160g_project(), argc, argv); }
