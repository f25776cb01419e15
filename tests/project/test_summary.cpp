// The console summary's reading of the measurement reports.
#include <gtest/gtest.h>

#include "project/summary.h"
#include "tests/support/test_support.h"

namespace nodrix {
namespace {

class SummaryTest : public testing::NodrixTest {};

TEST_F(SummaryTest, ReadsTheEstimatorReport) {
    testing::write_text("pst.DAT",
                        "BER Estimator at pestim1 Run(s): 1                                 \n"
                        "BER evaluation with pattern length   3\n"
                        "Gaussian Approximation used\n"
                        "Optimal Decision Threshold =  0.27761E-03\n"
                        " P BER at Optimal Decision Threshold                   = 0.12345E-11\n"
                        "Equivalent Q at Optimal Decision Threshold [linear] =   7.00000\n"
                        " P Equivalent Q at Optimal Decision Threshold [dB]     =  16.90196\n"
                        "Relative Decision Threshold =  0.19984E-02\n"
                        " P BER at Relative Decision Threshold                   = 0.50784E-10\n"
                        "Mean Decision Threshold =  0.18543E-02\n");
    const auto r = read_estimator_report("pst.DAT");
    ASSERT_TRUE(r.has_value());
    EXPECT_DOUBLE_EQ(r->ber, 0.12345e-11);  // the optimal threshold's, not the relative one's
    EXPECT_DOUBLE_EQ(r->q_db, 16.90196);
    EXPECT_DOUBLE_EQ(r->q_linear, 7.0);
    EXPECT_DOUBLE_EQ(r->mean_level, 0.18543e-2);
    EXPECT_FALSE(r->truncated);
    testing::write_text("trunc.DAT",
                        " P BER at Optimal Decision Threshold                   = 0.99999E-40\n"
                        " P Equivalent Q at Optimal Decision Threshold [dB]     =  40.00000\n"
                        "  BER has been conventionally truncated\n");
    EXPECT_TRUE(read_estimator_report("trunc.DAT")->truncated);
    testing::write_text("partial.DAT", "BER Estimator at x\n");
    EXPECT_FALSE(read_estimator_report("partial.DAT").has_value());
    EXPECT_FALSE(read_estimator_report("missing.DAT").has_value());
}

TEST_F(SummaryTest, ReadsThePowerMeterReportAndListsTheResultFiles) {
    testing::write_text("sim_160G_OPM0071.DAT",
                        "\nOptical power at opowme1 Run(s): 1\n P Power [dBm] =       11.075\n P Power [mW] =    0.128E+02\n\n");
    EXPECT_DOUBLE_EQ(*read_power_meter_report("sim_160G_OPM0071.DAT"), 11.075);
    testing::write_text("x1_sim_160g.mem", "NodrixMEM 1\n##\n");
    testing::write_text("unrelated.txt", "");
    EXPECT_EQ(result_files("sim_160G"), (std::vector<std::string>{"sim_160G_OPM0071.DAT", "x1_sim_160g.mem"}));
    EXPECT_FALSE(read_power_meter_report("none.DAT").has_value());
}


TEST_F(SummaryTest, ChannelRowsGiveTheChannelItsCarrierAndTheReceivedPower) {
    EstimatorReport r;
    r.ber = 0.12344e-11;
    r.q_db = 16.90196;
    r.q_linear = 7.0;
    r.mean_level = 1.854e-3;  // 1.854 mA at 1 A/W: 1.854 mW, 2.68 dBm
    EXPECT_EQ(channel_row(5, 192.75, r, 1.0),
              "      5   192.75 THz   1.854 mW (  2.68 dBm)   1.234e-12   16.90 dB (7.00)\n");
    r.truncated = true;
    r.mean_level = 0.0;
    EXPECT_EQ(channel_row(16, 193.85, r, 1.0),
              "     16   193.85 THz       -                   1.234e-12   16.90 dB (7.00)  truncated\n");
    // Half the responsivity: the same current means twice the power.
    r.mean_level = 1.0e-3;
    r.truncated = false;
    EXPECT_EQ(channel_row(1, 192.35, r, 0.5).substr(0, 44), "      1   192.35 THz   2.000 mW (  3.01 dBm)");
}

}  // namespace
}  // namespace nodrix
