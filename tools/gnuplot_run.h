// Runs gnuplot as a child process on a script fed to its standard input: no
// shell, no script file. What gnuplot writes on its standard output and error
// is collected for the caller.
#pragma once

#include <string>

namespace nodrix::chart {

struct GnuplotRun {
    enum Outcome {
        kDone,         // exit status 0
        kNotFound,     // the program could not be started: not installed
        kCannotStart,  // pipes or the process could not be made
        kFailed,       // non-zero exit status
        kSignalled,    // ended by a signal
    };
    Outcome outcome = kCannotStart;
    int status = 0;        // exit status, or the signal number
    std::string messages;  // what the program wrote
    std::string reason;    // system error text for kNotFound / kCannotStart
};

// Runs `program` (looked up on PATH when it has no slash) with the argument
// "/dev/stdin" (none where that name does not exist), writes `script` to its
// standard input and closes it, collects its output and waits for it to end.
GnuplotRun run_gnuplot(const std::string& program, const std::string& script);

}  // namespace nodrix::chart
