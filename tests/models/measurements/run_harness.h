// The fixture the block tests share.
#pragma once

#include <string>

#include "models/transmitters/gaussian.h"
#include "tests/support/test_support.h"

namespace nodrix::testing {

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
