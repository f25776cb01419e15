// A per-sample run for block tests, as a schedule that drives the run phase
// makes it: one initialisation call of every block (allocating storage,
// nohist 0, pass 0), then for each sample the storage cursors back at 1, pass
// 1, step from 1 and time = (step - 1) x delt.
#pragma once

#include <algorithm>
#include <complex>
#include <cstdint>

#include "kernel/control_blocks.h"
#include "kernel/storage.h"

namespace nodrix::testing {

inline void rewind_storage_cursors() {
    zzsupv.h = zzsupv.i = zzsupv.c = zzsupv.d = zzsupv.z = zzsupv.zd = 1;
    zzsupt.ht = zzsupt.it = zzsupt.ct = 1;
}

// The initialisation call of a run: storage cleared and allocating.
inline void begin_init_pass() {
    std::fill(std::begin(zzhist), std::end(zzhist), 0.0f);
    std::fill(std::begin(zzist), std::end(zzist), 0);
    std::fill(std::begin(zzdist), std::end(zzdist), 0.0);
    std::fill(std::begin(zzzisd), std::end(zzzisd), std::complex<double>{});
    zzctrl.pass = 0;
    zzctrl.step = 0;
    zzctrl.time = 0.0f;
    zdctrl.dtime = 0.0;
    zzsupv.storephase = 1;
    zzflmn.nohist = 0;
    optcl_ctrl.blkmode = 0;
    optcl_ctrl.setuponly = 0;
    rewind_storage_cursors();
}

// The dimensioning call: storage counted, nothing stored.
inline void begin_counting_pass() {
    zzctrl.pass = 0;
    zzsupv.storephase = 0;
    zzflmn.nohist = 1;
    optcl_ctrl.blkmode = 1;
    optcl_ctrl.memused = 0;
}

inline void begin_sample(std::int32_t step) {
    zzctrl.pass = 1;
    zzctrl.step = step;
    zdctrl.dtime = static_cast<double>(step - 1) * zdctrl.ddelt;
    zzctrl.time = static_cast<float>(zdctrl.dtime);
    zzcoun.coun = step;
    rewind_storage_cursors();
}

// A run whose last sample is step n.
inline void set_run_length(std::int32_t n) { zzctrl.tend = static_cast<float>((n - 0.5) * zdctrl.ddelt); }

// The time of sample `step`.
inline float sample_time(std::int32_t step) { return static_cast<float>((step - 1) * zdctrl.ddelt); }

}  // namespace nodrix::testing
