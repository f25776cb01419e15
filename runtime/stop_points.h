// Named moments of a run at which a test holds the process, so that it acts
// on the run (interrupts it, starts a second one beside it) at exactly that
// moment instead of after a guessed delay.
//
// NODRIX_STOP_AT names the moments, separated by commas
// ("dimensioned,run-ending"). Reaching one of them the process stops itself
// with SIGSTOP; its parent sees that with waitpid(..., WUNTRACED) and sends
// SIGCONT to let it go on. A signal sent while it is stopped (SIGINT,
// SIGTERM) is taken as it goes on, before it does anything more. Without the
// variable nothing happens.
//
// The moments:
//   run-locked      a run holds its directory's lock and has written nothing
//   dimensioned     the dimensioning pass is done (memory map, delay file and
//                   the filters' hand-over files written, not yet in place)
//   initialised     a run's initialisation call is done, before its second
//                   call or its samples
//   run-ending      the driver is done and every file of the run complete,
//                   before they are put in place
//   sweep-locked    a sweep holds the lock of its directory, nothing made yet
//   points-started  a sweep has started a point (after each start)
//   point-ended     a sweep has seen one of its points end (after each)
//   point-locked    a point holds the lock of its directory, nothing removed
//   converge-run-started  nodrix converge has started one of its runs (after
//                   each start, in the verb's process)
#pragma once

#include <string_view>

namespace nodrix {

void stop_point(std::string_view name);

}  // namespace nodrix
