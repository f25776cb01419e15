// A small per-sample schedule for the transmitter tests: the run's
// initialisation call (allocating storage, state kept) followed by sample
// rounds that set pass, step and time as a per-sample schedule does.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>

#include "kernel/control_blocks.h"
#include "kernel/storage.h"
#include "models/transmitters/gaussian.h"
#include "tests/support/test_support.h"

namespace nodrix::testing {

// Storage cursors back at 1 and the pass, step and time of sample k (from 1;
// 0 for an initialisation call).
inline void at_sample(std::int32_t pass, std::int32_t k) {
    zzsupv.h = zzsupv.i = zzsupv.c = zzsupv.d = zzsupv.z = zzsupv.zd = 1;
    zzsupt.ht = zzsupt.it = zzsupt.ct = 1;
    zzctrl.pass = pass;
    zzctrl.step = k;
    zzctrl.time = static_cast<float>(std::max(k - 1, 0)) * zzctrl.delt;
    zdctrl.dtime = static_cast<double>(std::max(k - 1, 0)) * zdctrl.ddelt;
}

// The initialisation call of a run: storage allocated from the first
// positions of cleared arrays, nohist 0, blkmode 0, pass 0 at time 0.
inline void begin_run() {
    std::fill(zzhist, zzhist + 20000, 0.0f);
    std::fill(zzist, zzist + 20000, 0);
    std::fill(zzdist, zzdist + 20000, 0.0);
    zzsupv.storephase = 1;
    zzflmn.nohist = optcl_ctrl.blkmode = optcl_ctrl.setuponly = 0;
    at_sample(0, 0);
}

// One round of a per-sample pass: sample k (from 1) at time (k - 1) delt.
inline void begin_sample(std::int32_t k) { at_sample(1, k); }

// The dimensioning state the project's schedule uses: counting, nohist 1.
inline void begin_counting() {
    zzsupv.storephase = 0;
    zzflmn.nohist = optcl_ctrl.blkmode = 1;
    optcl_ctrl.memused = 0;
    at_sample(0, 0);
}

// Message lines a piece of code writes.
template <class F>
std::string stderr_of(F&& f) {
    ::testing::internal::CaptureStderr();
    f();
    return ::testing::internal::GetCapturedStderr();
}

// Fixture of the transmitter tests: the project's constants, fresh generators.
class TxTest : public NodrixTest {
protected:
    void SetUp() override {
        NodrixTest::SetUp();
        set_project_constants();
        reset_uniform_generators();
    }
};

}  // namespace nodrix::testing
