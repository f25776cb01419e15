// Kernel error and warning routing.
#include <gtest/gtest.h>

#include <cstring>

#include "kernel/control_blocks.h"
#include "kernel/lib00.h"
#include "runtime/opxfile.h"
#include "tests/support/test_support.h"

namespace nodrix {
namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

class ErrorRoutingTest : public testing::NodrixTest {};

TEST_F(ErrorRoutingTest, WarningsOncePerCodeAtPositiveTimeOnly) {
    CaptureStderr();
    zzctrl.time = 0.0f;
    tswarn(14907);
    tswarn(14907);  // at time 0 every report is shown
    zzctrl.time = 10.0f;
    tswarn(14907);  // already reported
    tswarn(14908);
    tswarn(14908);
    const std::string out = GetCapturedStderr();
    const std::string head7 = "Nodrix-W-  NODRIX WARNING CONDITION - CODE = 14907   TIME = ";
    const std::string head8 = "Nodrix-W-  NODRIX WARNING CONDITION - CODE = 14908   TIME =  0.100000E+02";
    auto count = [&](const std::string& what) {
        std::size_t n = 0;
        for (auto at = out.find(what); at != std::string::npos; at = out.find(what, at + 1)) ++n;
        return n;
    };
    EXPECT_EQ(count(head7), 2u);
    EXPECT_EQ(count(head8), 1u);
    EXPECT_EQ(kernel_error_count(), 0);
    std::int32_t nwarn = 0;
    opxget(nullptr, &nwarn);
    EXPECT_EQ(nwarn, 3);
}

TEST_F(ErrorRoutingTest, ErrorCheckSaysWhetherTheKernelCountedErrors) {
    EXPECT_FALSE(tserck());
    txwarn("a warning counts no error");
    EXPECT_FALSE(tserck());
    tsedet(1);
    EXPECT_TRUE(tserck());
    std::int32_t nerr = 0;
    opxget(&nerr, nullptr);
    EXPECT_EQ(nerr, 1);  // and the exit status follows the message counters
}

}  // namespace
}  // namespace nodrix
