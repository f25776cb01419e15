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

// Zero sizes give usable blocks, reported with their codes only under the
// warning bit of the program's level word (cleared by the -nowarning option).
TEST_F(AllocationTest, ZeroSizesAndTheWarningBit) {
    EXPECT_EQ(xu_msg_level, 56);
    for (const bool warn : {true, false}) {
        xu_msg_level = warn ? 56 : 56 & ~8;
        CaptureStderr();
        char* p = static_cast<char*>(xu_malloc(0));
        ASSERT_NE(p, nullptr);
        p[0] = 'x';
        char* q = static_cast<char*>(xu_calloc(3, 0));
        ASSERT_NE(q, nullptr);
        p = static_cast<char*>(xu_realloc(p, 0));
        ASSERT_NE(p, nullptr);
        xu_free(nullptr);
        const std::string out = GetCapturedStderr();
        xu_free(p);
        xu_free(q);
        if (!warn) {
            EXPECT_EQ(out, "");
            continue;
        }
        for (const char* part : {"Nodrix-W-003-xu_mem.cpp(", "): bad size 0\n", "Nodrix-W-004-xu_mem.cpp(",
                                 "): bad num 3 or size 0\n", "Nodrix-W-005-xu_mem.cpp(", "Nodrix-W-006-xu_mem.cpp(",
                                 "): free NULL pointer\n"})
            EXPECT_THAT(out, HasSubstr(part));
    }
    char* z = static_cast<char*>(xu_calloc(0, 8));
    ASSERT_NE(z, nullptr);
    EXPECT_EQ(z[0], 0);
    xu_free(z);
    char* r = static_cast<char*>(xu_realloc(nullptr, 16));  // realloc of null allocates
    ASSERT_NE(r, nullptr);
    std::memset(r, 1, 16);
    xu_free(r);
}

TEST_F(AllocationTest, ExhaustionRunsTheHookThenEndsTheProcessWithAFatalLine) {
    const std::pair<void (*)(), const char*> cases[] = {
        {[] {
             xu_mem_init([] { std::fputs("hook ran\n", stderr); });
             xu_mem_fail_next(1);
             xu_malloc(16);
         },
         "hook ran\nNodrix-F-000-xu_mem.cpp\\([0-9]+\\): malloc\\(\\) failed, size is 16"},
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
