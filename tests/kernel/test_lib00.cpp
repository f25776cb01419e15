// Kernel error and warning routing.
#include <gtest/gtest.h>

#include <array>

#include "kernel/lib00.h"
#include "runtime/opxfile.h"
#include "tests/support/test_support.h"

namespace nodrix {
namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

class ErrorRoutingTest : public testing::NodrixTest {
protected:
    void TearDown() override {
        set_error_policy({});
        testing::NodrixTest::TearDown();
    }
    // A synthesis status whose third word is -1: no option lines.
    static constexpr std::int32_t kStatus[4] = {0, 0, -1, 0};
};

TEST_F(ErrorRoutingTest, WarningsOncePerCodeAtPositiveTimeOnly) {
    CaptureStderr();
    set_message_time(0.0f);
    tswarn(14907);
    tswarn(14907);  // at time 0 every report is shown
    set_message_time(10.0f);
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

TEST_F(ErrorRoutingTest, UnderTheStopPolicyACodeIsSaidInWordsAfterTheBlockThatReportedIt) {
    struct Case { ErrorPolicy policy; void (*report)(); std::string lines; };
    const Case cases[] = {
        {{true, true, true}, [] { tsedet("mR"); },
         "Nodrix-E-block 10 (bessel_filter): the Bessel filter's bandwidth lies beyond what the time step carries: "
         "a low- or high-pass takes at most 0.2 / time step, a band-pass needs both 3-dB edges between 0 and "
         "0.5 / time step (kernel error code mR, time 0.000000E+00)\n"},
        {{true, true, true}, [] { tswarn(14907); },
         "Nodrix-W-block 10 (bessel_filter): the data source's register degree was chosen from the run length: 7 "
         "(kernel warning code 14907, time 0.000000E+00)\n"},
        {{true, true, true}, [] { warning_message_opt(std::array<std::int32_t, 8>{}.data(), "usdfil1", kStatus); },
         "Nodrix-E-block 10 (bessel_filter): User defined optical filter at usdfil1\n   The filter synthesis was not "
         "possible.\n   The branch after this block would carry no light: the run stops.\n"},
        // The project executable's ways: the code and the time, no block named.
        {{}, [] { tsedet("mR"); },
         "Nodrix-E-  NODRIX PROGRAM INTERRUPT - ERROR CODE =    mR   TIME =  0.000000E+00\n"
         "  NO ERROR MESSAGE AVAILABLE FOR THIS CODE\n \n"},
    };
    set_message_time(0.0f);
    set_message_origin("block 10 (bessel_filter)");
    for (const Case& c : cases) {
        set_error_policy(c.policy);
        CaptureStderr();
        c.report();
        EXPECT_EQ(GetCapturedStderr(), c.lines);
    }
    set_message_origin(nullptr);
}

}  // namespace
}  // namespace nodrix
