// A small schedule for block tests: the block set-up (counting storage), the
// initialisation call of a run (allocating) and one round of the per-sample
// pass, each with the storage cursors back at 1.
#pragma once

#include <cstdint>

#include "kernel/control_blocks.h"

namespace nodrix::testing {

inline void reset_cursors() {
    zzsupv.h = zzsupv.i = zzsupv.c = zzsupv.d = zzsupv.z = zzsupv.zd = 1;
    zzsupt.ht = zzsupt.it = zzsupt.ct = 1;
}

inline void begin_setup() {
    reset_cursors();
    zzsupv.storephase = 0;
    zzctrl.pass = 0;
    optcl_ctrl.blkmode = 1;
    zzflmn.nohist = 1;
}

inline void begin_run_init() {
    reset_cursors();
    zzsupv.storephase = 1;
    zzctrl.pass = 0;
    zzctrl.step = 0;
    zzctrl.time = 0.0f;
    zdctrl.dtime = 0.0;
    optcl_ctrl.blkmode = 0;
    zzflmn.nohist = 0;
}

// Sample `step`, counted from 1.
inline void begin_sample(std::int32_t step) {
    reset_cursors();
    zzsupv.storephase = 1;
    zzctrl.pass = 1;
    zzctrl.step = step;
    zzctrl.time = static_cast<float>(step - 1) * zzctrl.delt;
    zdctrl.dtime = static_cast<double>(step - 1) * zdctrl.ddelt;
}

}  // namespace nodrix::testing
