// The summary's rows of a multi-level estimator's channel, from its report.
#include <filesystem>
#include <string>

#include "project/summary.h"
#include "tests/support/test_support.h"

namespace nodrix {
namespace {

using SummaryTest = testing::NodrixTest;

// The summary reads the report's eyes from the upper one down and shows them
// from the lowest up; its Q and eye Q columns give the smallest eye's Q.
TEST_F(SummaryTest, SummaryRowShowsTheSmallestEyeQInBothQColumns) {
    std::filesystem::copy_file(NODRIX_TEST_DATA_DIR "/multilevel_report.DAT", "ML.DAT");
    ChannelResult c;
    c.channel = 1;
    c.frequency_thz = 228.85;
    c.responsivity = 0.8;  // 2e-5 A / 0.8 A/W = 0.025 mW, -16.02 dBm
    MultilevelFigures figures;
    const auto r = read_multilevel_report("ML.DAT", figures);
    ASSERT_TRUE(r.has_value());
    c.report = *r;
    c.multilevel = figures;
    // 10^(9.5 / 20) = 2.9854
    EXPECT_EQ(channel_row(c), "      1   228.85 THz   0.025 mW (-16.02 dBm)   7.500e-05    9.50 dB (  2.99)    9.50 dB (2.99)\n"
                              "           SER  1.500e-04  eyes from the lowest: Q 10.80 9.50 12.00 dB, height 3.000e-06 "
                              "2.000e-06 1.000e-06 A, width 22.0 21.0 20.0 ps\n");
}

}  // namespace
}  // namespace nodrix
