// Checked allocation: exhaustion ends the process with a fatal line.
#include <gmock/gmock.h>
#include <gtest/gtest.h>


#include "tests/support/test_support.h"
#include "xu/xu_mem.h"
#include "xu/xu_msg.h"

namespace nodrix {
namespace {

using ::testing::HasSubstr;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

class AllocationTest : public testing::NodrixTest {};

TEST_F(AllocationTest, ExhaustionEndsTheProcessWithAFatalLine) {
    const std::pair<void (*)(), const char*> cases[] = {
        {[] {
             xu_mem_fail_next(1);
             xu_malloc(16);
         },
         "Nodrix-F-000-xu_mem.cpp\\([0-9]+\\): malloc\\(\\) failed, size is 16"},
        {[] {
             xu_mem_fail_next(1);
             xu_calloc(4, 8);
         },
         "Nodrix-F-001-xu_mem.cpp\\([0-9]+\\): calloc\\(\\) failed, num is 4, size is 8"},
        {[] {
             xu_mem_fail_next(1);
             xu_realloc(nullptr, 24);
         },
         "Nodrix-F-002-xu_mem.cpp\\([0-9]+\\): realloc\\(\\) failed, size is 24"},
    };
    for (const auto& [fail, line] : cases) EXPECT_DEATH(fail(), line);
}

}  // namespace
}  // namespace nodrix
