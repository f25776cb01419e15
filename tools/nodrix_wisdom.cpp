// nodrix-wisdom: writes the FFT plan wisdom file that the simulator reads.
#include <iostream>

#include "tools/wisdom_tool.h"

int main(int argc, char** argv) { return nodrix::wisdom_tool::wisdom_tool_main(argc, argv, std::cout, std::cerr); }
