// The interruption a command's own handler noted (SIGINT or SIGTERM; 0 while
// none came). A signal handler is the process's, and one command runs per
// process, so `sweep` and `converge`, which pass an interruption on to the
// runs they start, note it in this one word.
#pragma once

#include <csignal>

namespace nodrix {

extern volatile std::sig_atomic_t stop_signal;

}  // namespace nodrix
