// What the measurements of a link observe, said before and after the run:
// observations cut short by the run's end, the good interval or a delay;
// windows far longer than the run can fill; figures at the estimator's
// floors; a received power lifted by the shot noise.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "models/receivers/photodiode.h"
#include "tests/main/nodrix_run.h"

namespace nodrix {
namespace {

using Words = std::vector<std::string>;

const std::string kOneChannel = std::string(NODRIX_PROJECTS_DIR) + "/one_channel.toml";

class Observation : public testing::NodrixRunTest {
protected:
    int nodrix(const std::string& verb, const Words& sets) {
        Words words{verb, kOneChannel};
        if (verb == "run") words.insert(words.end(), {"-simulate", "-quiet", "-o", "out"});
        words.insert(words.end(), sets.begin(), sets.end());
        return run(words);
    }
    // The summary's row of channel 1.
    std::string row() const {
        const auto at = out_.find("      1   193.10 THz");
        return at == std::string::npos ? "" : out_.substr(at, out_.find('\n', at) - at);
    }
};

using testing::expect_has;
using testing::hinted;

// The estimator that observed 50 of its 128 bits because the end time cut its
// window: said before the run, after it, and beside its figures.
TEST_F(Observation, AnObservationCutByTheRunsEndIsWarnedAndMarked) {
    const Words cut = {"-set", "link.end_time_ps=12400"};
    const std::string cause = "50 of its 128 bits: the run ends at 12400 ps, before its observation window closes at "
                              "20179 ps";
    ASSERT_EQ(nodrix("check", cut), 0);
    expect_has(err_, "Nodrix-W-block 11 (ber_estimator) will observe " + cause + "\n");
    ASSERT_EQ(nodrix("run", cut), 0);
    expect_has(err_, "Nodrix-W-block 11 (ber_estimator) observed " + cause +
                         "; an end time of 20181 ps (-set link.end_time_ps=20181) gives it its full observation\n");
    // The estimator's own warning on its statistics reaches the console.
    expect_has(err_, "Nodrix-W-block 11 (ber_estimator): a bit pattern occurs fewer than 10 times among the 50 bits "
                     "it observed; its BER and Q may be unreliable: observe more bits\n");
    expect_has(row(), "  partial: 50 of 128 bits; BER below 1e-40 (the estimator's floor); a bit pattern seen fewer "
                      "than 10 times");
    expect_has(out_, "  8 at the receiver: -3.136 dBm  partial: 3214 of 13079 samples\n");
}

// The emission window and the end time both cut the observations: the check
// names both, and a run with the values it names observes everything.
TEST_F(Observation, TheCheckNamesBothSettingsThatGiveEveryMeasurementItsFullObservation) {
    Words settings = {"-set", "link.end_time_ps=12400", "-set", "link.emission_window_ps=15000",
                      "-set", "11.window_ps=20000"};
    ASSERT_EQ(nodrix("check", settings), 0);
    expect_has(err_, "Nodrix-W-block 11 (ber_estimator) will observe 50 of its 200 bits: its good interval, less the "
                     "guard time of 1280 ps, ends at 17214 ps, before its observation window closes at 27379 ps; the "
                     "run ends at 12400 ps, before its observation window closes at 17214 ps\n");
    settings.insert(settings.end(),
                    {"-window", hinted(err_, "-window "), "-set", "link.end_time_ps=" + hinted(err_, "end_time_ps=")});
    ASSERT_EQ(nodrix("run", settings), 0);
    EXPECT_EQ(err_, "");
    EXPECT_TRUE(row().ends_with("(10.11)  BER below 1e-40 (the estimator's floor)")) << row();
    EXPECT_EQ(out_.find("partial"), std::string::npos) << out_;
}

// A wide-open eye whose BER and Q say the opposite, because the run's end
// left the estimator a few bits: the summary says why beside the figures.
TEST_F(Observation, AWideOpenEyeWithAHighBerFromACutObservationIsFlagged) {
    ASSERT_EQ(nodrix("run", {"-set", "link.end_time_ps=8000"}), 0);
    expect_has(row(), "   2.275e-02    6.02 dB (  2.00)   32.50 dB (42.17)  partial: 6 of 128 bits; Q at its floor of "
                      "2: eye closed or observation too short; a bit pattern never seen");
    expect_has(err_, "Nodrix-W-block 11 (ber_estimator): a bit pattern never occurs among the 6 bits it observed; its "
                     "BER and Q are set to their floors: observe more bits\n");
}

// Settings that leave nothing to observe, or more than an estimator can
// hold, or far more than the run can fill, are said before the run.
TEST_F(Observation, WindowsTheRunCannotFillAreSaidBeforeItRuns) {
    const std::string delay = "Nodrix-W-block 11 (ber_estimator) will observe nothing: its delay_ps of 20000 ps "
                              "reaches its window_ps of 12800 ps, where the observation ends\n";
    const std::string asks = "block 11 (ber_estimator): its window_ps of ";
    const std::string fits = "(a window_ps of 20435 asks for no more than the run can fill)\n";
    const std::string far = "Nodrix-W-" + asks + "1e+09 ps asks for 10000000 bits, far more than the 204 the run can "
                            "fill; the storage for them takes 2441 MiB " + fits;
    const std::string beyond = "Nodrix-E-" + asks + "3e+09 ps asks for 30000000 bits, 1920000064 samples (7324 MiB), "
                               "more than the 1073741823 samples an estimator can hold; the run can fill 204 bits " + fits;
    EXPECT_EQ(nodrix("check", {"-set", "11.delay_ps=20000"}), 0);
    expect_has(err_, delay);
    EXPECT_EQ(nodrix("check", {"-set", "11.window_ps=1e9"}), 0);
    expect_has(err_, far);
    EXPECT_EQ(nodrix("check", {"-set", "11.window_ps=3e9"}), 1);
    expect_has(err_, beyond);
    // A run says it before its storage is taken: the cap then stops it, and
    // an estimator that cannot hold its window stops it alone.
    EXPECT_EQ(nodrix("run", {"-set", "11.window_ps=1e9", "-maxmem", "100"}), 1);
    expect_has(err_, far + "Nodrix-E-The kernel storage needs ");
    EXPECT_EQ(nodrix("run", {"-set", "11.window_ps=3e9"}), 1);
    EXPECT_EQ(err_ + out_, beyond + "one_channel: the run stopped at the error above; no results\n");
    EXPECT_FALSE(std::filesystem::exists("out/one_channel_PST0011.DAT"));
    ASSERT_EQ(nodrix("run", {"-set", "11.delay_ps=20000"}), 0);
    expect_has(row(), "not observed: its delay_ps reaches its window_ps, where the observation ends (estimator 11)");
}

// Back to back at about -77 dBm the summary's received power, the mean
// photocurrent over the responsivity, lies 13 dB above the power meter's
// reading: the shot noise, far above the current, is cut at 0 A. The lift is
// the mean of a Gaussian current cut at zero, marks at twice the mean power
// and spaces dark; without shot noise the two agree.
TEST_F(Observation, AReceivedPowerLiftedByTheShotNoiseSaysSo) {
    Words b2b = {"-set", "3.power_mw=7.9e-8", "-set", "6.length_km=1e-3", "-set", "7.gain_db=0", "-set", "7.ase_off=true"};
    ASSERT_EQ(nodrix("run", b2b), 0);
    const double meter_dbm = std::stod(out_.substr(out_.find("  8 at the receiver: ") + 21));
    const double summary_dbm = std::stod(row().substr(row().find("mW (") + 4));
    const double mark_a = 2.0 * 1e-3 * std::pow(10.0, meter_dbm / 10.0);  // responsivity 1 A/W
    const double s = photod_shot_deviation(1.0f, 0.0f, mark_a, 1.5625);
    const double r = mark_a / s;
    const double cut_mean = mark_a * 0.5 * std::erfc(-r / std::sqrt(2.0)) + s * std::exp(-r * r / 2) / std::sqrt(2 * M_PI);
    EXPECT_NEAR(meter_dbm, -77.0, 0.5);
    EXPECT_NEAR(summary_dbm, 10.0 * std::log10(cut_mean / 2.0 / 1e-3), 0.5) << row();
    expect_has(row(), "received power lifted by the shot noise cut at 0 A");
    b2b.insert(b2b.end(), {"-set", "9.shot_noise=false"});
    ASSERT_EQ(nodrix("run", b2b), 0);
    EXPECT_NEAR(std::stod(row().substr(row().find("mW (") + 4)), meter_dbm, 0.1) << row();
    EXPECT_EQ(row().find("lifted"), std::string::npos) << row();
}

}  // namespace
}  // namespace nodrix
