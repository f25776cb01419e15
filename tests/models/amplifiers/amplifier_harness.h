// A small per-sample schedule for the amplifier tests: an allocating
// initialisation call, then one round of calls per sample with the storage
// cursors back at 1, pass 1, the step and the time set.
#pragma once

#include <cstdint>

#include "kernel/control_blocks.h"
#include "kernel/signals.h"

namespace nodrix::testing {

inline void reset_cursors() {
    zzsupv.h = zzsupv.i = zzsupv.c = zzsupv.d = zzsupv.z = zzsupv.zd = 1;
    zzsupt.ht = zzsupt.it = zzsupt.ct = 1;
}

// Initialisation call of a run: allocating storage, block mode off, state kept.
inline void begin_run_init() {
    reset_cursors();
    zzsupv.storephase = 1;
    zzctrl.pass = 0;
    zzctrl.step = 0;
    zzctrl.time = 0.0f;
    optcl_ctrl.blkmode = 0;
    zzflmn.nohist = 0;
}

// One round of the per-sample pass (step counted from 1).
inline void begin_sample(std::int32_t step) {
    reset_cursors();
    zzsupv.storephase = 1;
    zzctrl.pass = 1;
    zzctrl.step = step;
    zzctrl.time = static_cast<float>(step - 1) * zzctrl.delt;
    zdctrl.dtime = static_cast<double>(step - 1) * zdctrl.ddelt;
}

// An optical input: `power` spread over a few bins near the centre, the
// group delays given by gd(i) = 0.01 i ps, in band, window from 0.
inline OpticalSignal test_signal(float power) {
    OpticalSignal s;
    for (int i = 0; i < kBins; ++i) s.gd[i] = 0.01f * static_cast<float>(i);
    for (int i = 500; i < 524; ++i) s.ps[i] = power / 24.0f;
    s.pp = power;
    s.iv = 1;
    s.x = FieldSample{0.3f, -0.2f, 193.61597f};
    s.y = FieldSample{-0.1f, 0.4f, 193.61597f};
    return s;
}

}  // namespace nodrix::testing
