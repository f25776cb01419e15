// A small per-sample schedule for the transmitter tests: the run's
// initialisation call (allocating storage, state kept) followed by sample
// rounds that set pass, step and time as a per-sample schedule does.
#pragma once

#include <algorithm>
#include <cstdint>

#include "kernel/control_blocks.h"
#include "kernel/storage.h"
#include "tests/support/test_support.h"

namespace nodrix::testing {

inline void reset_cursors() {
    zzsupv.h = zzsupv.i = zzsupv.c = zzsupv.d = zzsupv.z = zzsupv.zd = 1;
    zzsupt.ht = zzsupt.it = zzsupt.ct = 1;
}

// The initialisation call of a run: storage allocated from the first
// positions of cleared arrays, nohist 0, blkmode 0, pass 0 at time 0.
inline void begin_run() {
    std::fill(zzhist, zzhist + 20000, 0.0f);
    std::fill(zzist, zzist + 20000, 0);
    std::fill(zzdist, zzdist + 20000, 0.0);
    reset_cursors();
    zzsupv.storephase = 1;
    zzflmn.nohist = 0;
    optcl_ctrl.blkmode = 0;
    optcl_ctrl.setuponly = 0;
    zzctrl.pass = 0;
    zzctrl.step = 0;
    zzctrl.time = 0.0f;
    zdctrl.dtime = 0.0;
}

// One round of a per-sample pass: sample k (from 1) at time (k - 1) delt.
inline void begin_sample(std::int32_t k) {
    reset_cursors();
    zzctrl.pass = 1;
    zzctrl.step = k;
    zzctrl.time = static_cast<float>(k - 1) * zzctrl.delt;
    zdctrl.dtime = static_cast<double>(k - 1) * zdctrl.ddelt;
}

// The dimensioning state the project's schedule uses: counting, nohist 1.
inline void begin_counting() {
    reset_cursors();
    zzsupv.storephase = 0;
    zzflmn.nohist = 1;
    optcl_ctrl.blkmode = 1;
    optcl_ctrl.memused = 0;
    zzctrl.pass = 0;
    zzctrl.step = 0;
    zzctrl.time = 0.0f;
}

}  // namespace nodrix::testing
