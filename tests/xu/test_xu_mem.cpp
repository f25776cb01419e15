// Checked allocation: zero sizes, the warning option, exhaustion.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "tests/support/test_support.h"
#include "xu/xu_mem.h"
#include "xu/xu_msg.h"

namespace nodrix {
namespace {

using ::testing::HasSubstr;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

class AllocationTest : public testing::NodrixTest {};

TEST_F(AllocationTest, ZeroSizesGiveUsableBlocksSilentlyWithoutTheWarningBit) {
    xu_msg_level = 56 & ~8;  // as after the -nowarning option
    CaptureStderr();
    char* p = static_cast<char*>(xu_malloc(0));
    ASSERT_NE(p, nullptr);
    p[0] = 'x';
    char* q = static_cast<char*>(xu_calloc(0, 8));
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(q[0], 0);
    p = static_cast<char*>(xu_realloc(p, 0));
    ASSERT_NE(p, nullptr);
    xu_free(p);
    xu_free(q);
    xu_free(nullptr);
    EXPECT_EQ(GetCapturedStderr(), "");
}

TEST_F(AllocationTest, WarningBitReportsZeroSizesWithTheirCodes) {
    EXPECT_EQ(xu_msg_level, 56);  // the program's level word carries the warning bit
    CaptureStderr();
    void* p = xu_malloc(0);
    void* q = xu_calloc(3, 0);
    p = xu_realloc(p, 0);
    xu_free(nullptr);
    const std::string out = GetCapturedStderr();
    xu_free(p);
    xu_free(q);
    EXPECT_THAT(out, HasSubstr("Nodrix-W-003-xu_mem.cpp("));
    EXPECT_THAT(out, HasSubstr("): bad size 0\n"));
    EXPECT_THAT(out, HasSubstr("Nodrix-W-004-xu_mem.cpp("));
    EXPECT_THAT(out, HasSubstr("): bad num 3 or size 0\n"));
    EXPECT_THAT(out, HasSubstr("Nodrix-W-005-xu_mem.cpp("));
    EXPECT_THAT(out, HasSubstr("Nodrix-W-006-xu_mem.cpp("));
    EXPECT_THAT(out, HasSubstr("): free NULL pointer\n"));
}

TEST_F(AllocationTest, ReallocOfNullAllocates) {
    char* p = static_cast<char*>(xu_realloc(nullptr, 16));
    ASSERT_NE(p, nullptr);
    std::memset(p, 1, 16);
    xu_free(p);
}

TEST_F(AllocationTest, ExhaustionRunsTheHookThenEndsTheProcessWithAFatalLine) {
    EXPECT_DEATH(
        {
            xu_mem_init([] { std::fputs("hook ran\n", stderr); });
            xu_mem_fail_next(1);
            xu_malloc(16);
        },
        "hook ran\nNodrix-F-000-xu_mem.cpp\\([0-9]+\\): malloc\\(\\) failed, size is 16");
    EXPECT_DEATH(
        {
            xu_mem_fail_next(1);
            xu_calloc(4, 8);
        },
        "Nodrix-F-001-xu_mem.cpp\\([0-9]+\\): calloc\\(\\) failed, num is 4, size is 8");
    EXPECT_DEATH(
        {
            xu_mem_fail_next(1);
            xu_realloc(nullptr, 24);
        },
        "Nodrix-F-002-xu_mem.cpp\\([0-9]+\\): realloc\\(\\) failed, size is 24");
}

}  // namespace
}  // namespace nodrix
