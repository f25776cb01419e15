// The program nodrix: any link from its description file.
//
//   nodrix run LINK.toml [-simulate] [-set ID.PARAM=VALUE ...] [-o DIR] [-window PS] [-maxmem MIB]
//                        [-verbose] [-log FILE] [-quiet]
//   nodrix check LINK.toml [-set ...] [-window PS] [-verbose] [-log FILE]
//   nodrix blocks [KIND]
//
// Exit status: 0 done, 1 an error was reported, 2 a usage error. The kernel
// storage is sized to what the link needs (within -maxmem).
#pragma once

#include <cstdint>
#include <functional>

#include "project/link.h"
#include "project/link_schedule.h"

namespace nodrix {

int nodrix_main(int argc, char** argv);

struct RunSettings {
    bool simulate = false;         // sample by sample
    bool quiet = false;            // no progress line
    std::int64_t maxmem_mib = 0;   // cap on the kernel storage (0: the physical memory)
};
// Runs a checked link in the working directory as `nodrix run` does: the
// kernel storage sized by the dimensioning pass, then the set-up or the
// simulation. `after` sees the schedule and the driver's status once the
// driver has returned. Returns that status.
int run_link(Link link, const RunSettings& settings,
             const std::function<void(const LinkSchedule& schedule, int status)>& after);

// The two halves of run_link. Forming the link (its fibres split, its "auto"
// settings worked out) makes dimensioning passes in a scratch directory, the
// process's working directory meanwhile: false when it cannot (reported).
// The run of the formed link then works in the working directory on the
// calling thread, with the run of the program (RunState) installed there; a
// process may run formed links of different names on threads at once.
bool form_link_for_run(Link& link);
int run_formed_link(Link link, const RunSettings& settings,
                    const std::function<void(const LinkSchedule& schedule, int status)>& after);

}  // namespace nodrix
