// Block calls as the run schedule makes them (block_schedule.h), on storage
// cleared for each run, with the fixture the block tests share.
#pragma once

#include <algorithm>
#include <complex>
#include <cstdint>
#include <string>

#include "kernel/control_blocks.h"
#include "kernel/storage.h"
#include "models/transmitters/gaussian.h"
#include "tests/models/filters/block_schedule.h"
#include "tests/support/test_support.h"

namespace nodrix::testing {

// The initialisation call of a run: storage cleared and allocating, nohist 0.
inline void begin_init_pass() {
    allocate_storage(storage_capacities());  // zero-filled anew
    optcl_ctrl.setuponly = 0;
    begin_run_init();
}

template <class F>
std::string stderr_of(F&& f) {
    ::testing::internal::CaptureStderr();
    f();
    return ::testing::internal::GetCapturedStderr();
}

// The project's constants and fresh noise generators.
class BlockTest : public NodrixTest {
protected:
    void SetUp() override {
        NodrixTest::SetUp();
        set_project_constants();
        reset_uniform_generators();
    }
};

}  // namespace nodrix::testing
