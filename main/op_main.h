// The program entry: command line, message set-up, the driver, exit status.
#pragma once

#include <cstdint>

namespace nodrix {

// Runs the program on its command line and returns the exit status (0 done,
// 1 errors reported, 3 storage limits exceeded). main() exits with it.
int op_main(int argc, char** argv);

// Ends the process with status 1 (closing the log) when errors were reported;
// otherwise returns the error count.
std::int32_t opxmain_serck();

}  // namespace nodrix
