// Runs gnuplot as a child process on a script fed to its standard input: no
// shell, no script file. What gnuplot draws on its standard output (an image)
// and what it says on its standard error are collected apart for the caller,
// which writes the image itself and so checks every byte of it reaching the
// disk (gnuplot writing into a file of its own says nothing of a full disk).
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
    std::string output;    // what the program wrote on its standard output
    std::string messages;  // what it wrote on its standard error
    std::string reason;    // system error text for kNotFound / kCannotStart
};

// Runs `program` (looked up on PATH when it has no slash) with the argument
// "/dev/stdin" (none where that name does not exist), writes `script` to its
// standard input and closes it, collects its two outputs and waits for it to
// end.
GnuplotRun run_gnuplot(const std::string& program, const std::string& script);

}  // namespace nodrix::chart
