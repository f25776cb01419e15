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

TEST_F(ErrorRoutingTest, ErrorHeadlineWithoutMessageFile) {
    CaptureStderr();
    tsedet(7);
    zzctrl.time = 1234.5f;
    tsedet("mR");
    EXPECT_EQ(GetCapturedStderr(),
              "Nodrix-E-  NODRIX PROGRAM INTERRUPT - ERROR CODE =     7   TIME =  0.000000E+00\n"
              "  NO ERROR MESSAGE AVAILABLE FOR THIS CODE\n"
              " \n"
              "Nodrix-E-  NODRIX PROGRAM INTERRUPT - ERROR CODE =    mR   TIME =  0.123450E+04\n"
              "  NO ERROR MESSAGE AVAILABLE FOR THIS CODE\n"
              " \n");
    EXPECT_EQ(kernel_error_count(), 2);
    std::int32_t nerr = 0;
    opxget(&nerr, nullptr);
    EXPECT_EQ(nerr, 2);  // raises the exit status although the run goes on
}

TEST_F(ErrorRoutingTest, MessageFileBlocksAndAtSignRules) {
    // (A5,1X,A75): code field, a blank, the text.
    testing::write_text("errors.txt",
                        "14011 Degree of the shift register too large\n"
                        "      Use a degree of at most 28\n"
                        "    0 (see the data source)\n"
                        "14013 Offset out of range\n"
                        "  12@ Code group 12@ reached\n"
                        "      second line @\n"
                        "99999 last\n");
    zzerr.name.fill(' ');
    std::memcpy(zzerr.name.data(), "errors.txt", 10);
    CaptureStderr();
    tsedet(14011);
    tsedet(125);
    tsedet(14012);
    auto field = [&](const std::string& t) { return t + std::string(75 - t.size(), ' '); };
    EXPECT_EQ(GetCapturedStderr(),
              "Nodrix-E-  NODRIX PROGRAM INTERRUPT - ERROR CODE = 14011   TIME =  0.000000E+00\n" +
                  field("Degree of the shift register too large") + "\n" + field("Use a degree of at most 28") +
                  "\n" + field("(see the data source)") + "\n \n" +
                  "Nodrix-E-  NODRIX PROGRAM INTERRUPT - ERROR CODE =   125   TIME =  0.000000E+00\n" +
                  field("Code group 125 reached") + "\n" + field("second line 5") + "\n \n" +
                  "Nodrix-E-  NODRIX PROGRAM INTERRUPT - ERROR CODE = 14012   TIME =  0.000000E+00\n" +
                  "  NO ERROR MESSAGE AVAILABLE FOR THIS CODE\n \n");
}

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

TEST_F(ErrorRoutingTest, FreeTextReportsAreCutTo60) {
    zzctrl.time = 2.0f;
    const std::string text80 = std::string(60, 'a') + std::string(20, 'b');
    CaptureStderr();
    txedet(text80);
    txwarn("short");
    EXPECT_EQ(GetCapturedStderr(),
              "Nodrix-E-  NODRIX ERROR CONDITION - TIME =  0.200000E+01\n " + std::string(60, 'a') +
                  "\nNodrix-W-  NODRIX WARNING CONDITION - TIME =  0.200000E+01\n short\n");
    EXPECT_EQ(kernel_error_count(), 1);
}

TEST_F(ErrorRoutingTest, ErrorCheckEndsTheProcessWithStatusOne) {
    tserck();  // no errors: nothing happens
    EXPECT_EXIT(
        {
            tsedet(1);
            tserck();
        },
        ::testing::ExitedWithCode(1), "ERROR CODE =     1");
}

TEST_F(ErrorRoutingTest, FailedFilterSynthesisReports) {
    const std::int32_t options[8] = {77, 1, 1, 2, 0, 0, 1, 0};
    const std::int32_t quiet[4] = {1, 0, -1, 0};
    const std::int32_t loud[4] = {1, 0, 0, 0};
    CaptureStderr();
    warning_message_opt(options, "Raised cosine 77", quiet);
    EXPECT_EQ(GetCapturedStderr(),
              "Nodrix-W-User defined optical filter at Raised cosine 77\n"
              "   The filter synthesis was not possible.\n"
              "   Please read the online help for further information.\n"
              "   Simulation will proceed, but the branch \n"
              "   after this block will be turned off\n");
    const std::int32_t db_options[8] = {77, 1, 0, 0, 1, 1, 0, 0};
    CaptureStderr();
    warning_message_opt(db_options, "F", loud);
    EXPECT_EQ(GetCapturedStderr(),
              "Nodrix-W-User defined optical filter at F\n"
              "   The filter synthesis was not possible.\n"
              "   Please check if the filter description file\n"
              "   matches the following options\n"
              "   - abscissa in wavelength [nm]\n"
              "   - points expressed as modulus and phase\n"
              "   - relative abscissa values\n"
              "   - modulus in dB\n"
              "   Please read the online help for further information.\n"
              "   Simulation will proceed, but the branch \n"
              "   after this block will be turned off\n");
    CaptureStderr();
    error_message_opt(options, "G");
    EXPECT_EQ(GetCapturedStderr(),
              "Nodrix-E-User defined optical filter at \n"
              "G\n"
              "   The filter syntesis was not possible\n"
              "   Please check if the filter description file\n"
              "   matches the following options\n"
              "   - abscissa in frequency [Thz]\n"
              "   - points expressed as modulus and group delay\n"
              "   - absolute abscissa values\n"
              "   - modulus in a linear scale\n"
              "please read the online help for further information.\n");
}

}  // namespace
}  // namespace nodrix
