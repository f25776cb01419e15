// The program entry: command line, message set-up, the driver, exit status.
#pragma once

#include <cstdint>
#include <functional>

namespace nodrix {

// Runs the program on its command line and returns the exit status (0 done,
// 1 errors reported, 3 storage limits exceeded; 130 or 143 after SIGINT or
// SIGTERM, through the process's exit). main() exits with it. `after_run` as
// for run_driver.
int op_main(int argc, char** argv, const std::function<void(int status)>& after_run = {});

struct XuMsg;

// Sets up the checked allocation and the message context of the program
// "Nodrix" (consuming the message options of argv) and returns the context.
XuMsg* open_messages(int* argc, char** argv);

// Runs the driver once with the standard streams unbuffered and returns the
// exit status: 1 when errors were reported, else the driver's status.
//
// The run holds the lock of its directory (another run there stops it with an
// error, status 1) and ends on SIGINT or SIGTERM with status 130 or 143,
// leaving no unfinished file and the earlier files as they were
// (runtime/run_files.h). A result file still open when the driver returns is
// incomplete: an error. The working files a simulation leaves (it stopped
// before using them up) are removed. The run's files go in place together
// when it reported no error (status 0, or 3 with the limits file) and
// `put_files_in_place` holds; otherwise none do. Then `after_run` is called
// with the status, the lock still held, to report on the run's files.
int run_driver(std::int32_t prerun, const std::function<void(int status)>& after_run = {},
               bool put_files_in_place = true);

// Appends the messages to a log file (the -log option); a file that cannot be
// opened, or no file named, is a warning, and the messages go to the standard
// error only.
void open_log_file(XuMsg* messages, const char* path);

// Closes the log file of the message context.
void close_messages();

// Reads a positive whole number of MiB (the -maxmem option).
bool parse_mib(const char* value, std::int64_t& mib);

// The number of errors reported: a caller that must not go on after one
// stops, with status 1. The process goes on.
std::int32_t opxmain_serck();

}  // namespace nodrix
