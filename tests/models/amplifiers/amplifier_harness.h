// The amplifier tests run on the block schedule of the filter tests with an
// optical input of a few bins near the band centre.
#pragma once

#include "kernel/signals.h"
#include "tests/filters/block_schedule.h"

namespace nodrix::testing {

// `power` spread over bins 500..523, group delays gd(i) = 0.01 i ps, in band.
inline OpticalSignal test_signal(float power) {
    OpticalSignal s;
    for (int i = 0; i < kBins; ++i) s.gd[i] = 0.01f * float(i);
    for (int i = 500; i < 524; ++i) s.ps[i] = power / 24.0f;
    s.pp = power;
    s.iv = 1;
    s.x = FieldSample{0.3f, -0.2f, 193.61597f};
    s.y = FieldSample{-0.1f, 0.4f, 193.61597f};
    return s;
}

}  // namespace nodrix::testing
