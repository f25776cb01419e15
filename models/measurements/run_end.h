// The end of a per-sample run as the measurement blocks see it. A block that
// reports at the end of the run does so on the last sample whose time does not
// pass the end time `tend`: the sample whose successor would lie beyond it.
// The test uses the double-precision sample time, because in single precision
// a time near 6.4e5 ps is resolved only to about one time step, so comparing
// `time` with `tend` may never (or more than once) find the last sample.
#pragma once

#include "kernel/control_blocks.h"

namespace nodrix {

// True on the last sample of the run: dtime <= tend < dtime + ddelt.
inline bool run_end_sample() {
    const double tend = static_cast<double>(zzctrl.tend);
    return zdctrl.dtime <= tend && zdctrl.dtime + zdctrl.ddelt > tend;
}

}  // namespace nodrix
