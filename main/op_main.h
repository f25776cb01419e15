// The program entry: command line, message set-up, the driver, exit status.
#pragma once

#include <cstdint>

namespace nodrix {

// Runs the program on its command line and returns the exit status (0 done,
// 1 errors reported, 3 storage limits exceeded). main() exits with it.
int op_main(int argc, char** argv);

struct XuMsg;

// Sets up the checked allocation and the message context of the program
// "Nodrix" (consuming the message options of argv) and returns the context.
XuMsg* open_messages(int* argc, char** argv);

// Runs the driver once with the standard streams unbuffered and returns the
// exit status: 1 when errors were reported, else the driver's status.
int run_driver(std::int32_t prerun);

// Closes the log file of the message context.
void close_messages();

// Reads a positive whole number of MiB (the -maxmem option).
bool parse_mib(const char* value, std::int64_t& mib);

// Ends the process with status 1 (closing the log) when errors were reported;
// otherwise returns the error count.
std::int32_t opxmain_serck();

}  // namespace nodrix
