// The console summary's reading of the measurement reports.
#include <gtest/gtest.h>

#include <limits>

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
                        "Equivalent Q at Relative Decision Threshold [linear] =   6.46875\n"
                        " P Equivalent Q at Relative Decision Threshold [dB]     =  16.21700\n"
                        "Fixed Decision Threshold =  0.50000E-01\n"
                        " P BER at Fixed Decision Threshold =-0.10000E+01\n"
                        "ERROR !\n"
                        "Mean Decision Threshold =  0.18543E-02\n");
    const auto r = read_estimator_report("pst.DAT");
    ASSERT_TRUE(r.has_value());
    EXPECT_DOUBLE_EQ(r->ber, 0.12345e-11);  // the optimal threshold's, not the relative one's
    EXPECT_DOUBLE_EQ(r->q_db, 16.90196);
    EXPECT_DOUBLE_EQ(r->q_linear, 7.0);
    EXPECT_DOUBLE_EQ(r->mean_level, 0.18543e-2);
    EXPECT_FALSE(r->truncated);
    EXPECT_EQ(r->relative_ber, 0.50784e-10);
    EXPECT_EQ(r->relative_q_db, 16.217);
    EXPECT_EQ(r->fixed_ber, -1.0);  // outside the eye: no Q
    EXPECT_FALSE(r->fixed_q_db.has_value());
    testing::write_text("trunc.DAT",
                        " P BER at Optimal Decision Threshold                   = 0.99999E-40\n"
                        " P Equivalent Q at Optimal Decision Threshold [dB]     =  40.00000\n"
                        "  BER has been conventionally truncated\n");
    EXPECT_TRUE(read_estimator_report("trunc.DAT")->truncated);
    testing::write_text("partial.DAT", "BER Estimator at x\n");
    EXPECT_FALSE(read_estimator_report("partial.DAT").has_value());
    EXPECT_FALSE(read_estimator_report("missing.DAT").has_value());
}

TEST_F(SummaryTest, ReadsThePowerMeterReport) {
    testing::write_text("sim_160G_OPM0071.DAT",
                        "\nOptical power at opowme1 Run(s): 1\n P Power [dBm] =       11.075\n P Power [mW] =    0.128E+02\n\n");
    EXPECT_DOUBLE_EQ(*read_power_meter_report("sim_160G_OPM0071.DAT"), 11.075);
    EXPECT_FALSE(read_power_meter_report("none.DAT").has_value());
}


TEST_F(SummaryTest, ChannelRowsGiveTheChannelItsCarrierTheReceivedPowerAndTheEyeQ) {
    ChannelResult c;
    c.channel = 5;
    c.frequency_thz = 192.75;
    c.responsivity = 1.0;
    c.report.ber = 0.12344e-11;
    c.report.q_db = 16.90196;
    c.report.q_linear = 7.0;
    c.report.mean_level = 1.854e-3;  // 1.854 mA at 1 A/W: 1.854 mW, 2.68 dBm
    c.eye = EyeQ{.marks = 60, .spaces = 68, .q = 25.0};  // 27.96 dB
    const std::string header = "  channel  frequency   received power      BER            Q                   eye Q";
    const std::string row = channel_row(c);
    EXPECT_EQ(row, "      5   192.75 THz   1.854 mW (  2.68 dBm)   1.234e-12   16.90 dB (  7.00)   27.96 dB (25.00)\n");
    EXPECT_EQ(row.find("16.90") - 1, header.find("Q "));
    EXPECT_EQ(row.find("27.96") - 1, header.find("eye Q"));
    struct Case {
        std::optional<EyeQ> eye;
        double mean_level;
        bool truncated;
        std::string tail;  // from the Q on
    };
    const Case cases[] = {
        {EyeQ{.marks = 3, .spaces = 3, .q = std::numeric_limits<double>::infinity()}, 1.854e-3, true,
         " 16.90 dB (  7.00)     inf dB (inf)  truncated\n"},
        {EyeQ{}, 1.854e-3, false, " 16.90 dB (  7.00)       -\n"},  // no marks or no spaces
        {std::nullopt, 0.0, false, " 16.90 dB (  7.00)       -\n"},
    };
    for (const Case& k : cases) {
        c.eye = k.eye;
        c.report.mean_level = k.mean_level;
        c.report.truncated = k.truncated;
        const std::string r = channel_row(c);
        EXPECT_EQ(r.substr(58), k.tail);
        EXPECT_EQ(r.substr(22, 22), k.mean_level > 0.0 ? " 1.854 mW (  2.68 dBm)" : "     -                ");
    }
    // Half the responsivity: the same current means twice the power.
    c.report.mean_level = 1.0e-3;
    c.responsivity = 0.5;
    EXPECT_EQ(c.received_mw(), 2.0);
}

}  // namespace
}  // namespace nodrix
