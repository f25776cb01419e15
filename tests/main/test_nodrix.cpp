// The program nodrix: its command line, and what run and check make of a link.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/main/nodrix_run.h"

namespace nodrix {
namespace {

namespace fs = std::filesystem;

const std::string kProjects = NODRIX_PROJECTS_DIR;

using NodrixTest = testing::NodrixRunTest;

using testing::expect_has;
using testing::hinted;

// The good interval of a block in the schedule `check` printed: its start and end [ps].
std::pair<double, double> good_interval(const std::string& out, const std::string& row_start) {
    const auto row = out.find(row_start);
    if (row == std::string::npos) return {0.0, 0.0};
    const std::string line = out.substr(row, out.find('\n', row) - row);
    const auto dots = line.rfind(" .. ");
    return {std::stod(line.substr(line.rfind(' ', dots - 1))), std::stod(line.substr(dots + 4))};
}

// The names of the files a directory holds.
std::vector<std::string> files_in(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST_F(NodrixTest, UsageErrorsEndWithStatusTwo) {
    struct Case { std::vector<std::string> words; std::string message; };
    const Case cases[] = {
        {{"run", "x.toml", "-simulat"},
         "Nodrix-E-nodrix run: unknown option \"-simulat\"; did you mean \"-simulate\"? (nodrix run --help)\n"},
        {{"run", "-simulate"}, "Nodrix-E-nodrix run: no link file given (nodrix run --help)\n"},
        {{"check", "x.toml", "-simulate"},
         "Nodrix-E-nodrix check: unknown option \"-simulate\" (nodrix check --help)\n"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(run(c.words), 2) << c.words[0];
        EXPECT_EQ(err_, c.message);
    }
    EXPECT_EQ(run({"rnu"}), 2);
    EXPECT_NE(err_.find("Nodrix-E-nodrix: unknown verb \"rnu\"; did you mean \"run\"?"), std::string::npos) << err_;
    EXPECT_EQ(run({"blocks", "lazer"}), 1);
    EXPECT_EQ(err_, "Nodrix-E-nodrix blocks: unknown kind \"lazer\"; did you mean \"laser\"?\n");
}

TEST_F(NodrixTest, ABadDescriptionNeverStartsARunNorLeavesFiles) {
    testing::write_text("bad.toml", "[link]\nname = \"bad\"\nend_time_ps = 1.0\n[[block]]\nid = 1\nkind = \"laser\"\n");
    EXPECT_EQ(run({"run", "bad.toml", "-simulate", "-o", "out"}), 1);
    expect_has(err_, "Nodrix-E-bad.toml:4: block 1 (laser): missing required parameter frequency_thz");
    EXPECT_FALSE(fs::exists("out"));
    EXPECT_EQ(run({"run", "missing.toml"}), 1);
    EXPECT_EQ(err_, "Nodrix-E-Cannot read the link file missing.toml: no such file\n");
    EXPECT_EQ(files_in("."), std::vector<std::string>{"bad.toml"});
}

TEST_F(NodrixTest, CheckNamesTheEmissionWindowThatLetsTheMeasurementsObserve) {
    const std::string link = kProjects + "/sim_160G.toml";
    ASSERT_EQ(run({"check", link}), 0) << err_;
    expect_has(out_, "    5     62  laser");
    expect_has(out_, "  132    132  ber_estimator          122");
    // With the link's own window the receivers observe nothing.
    expect_has(err_, "Nodrix-W-block 110 (ber_estimator) will observe nothing of its 128 bits: its good interval, "
                     "less the guard time of 1280 ps, ends at 225622 ps, before its observation window opens at "
                     "227368 ps\n");
    const std::string window = hinted(err_, "-window ");
    EXPECT_EQ(hinted(err_, "-set link.end_time_ps="), "640443");  // the link's own end time is long enough
    // With the window it names, none of the measurements is left short, and
    // the good interval of the photodiode in front of estimator 110 holds its
    // 12800 ps and the guard times of 1280 ps at both ends, to the picosecond.
    ASSERT_EQ(run({"check", link, "-window", window}), 0) << err_;
    EXPECT_EQ(err_.find("will observe"), std::string::npos) << err_;
    const auto [start, end] = good_interval(out_, "    108  photodiode");
    const double good = end - start;
    EXPECT_GE(good, 2 * 1280.0 + 12800.0 - 0.1);
    EXPECT_LT(good, 2 * 1280.0 + 12800.0 + 1.1);
    // The check leaves nothing behind.
    EXPECT_TRUE(fs::is_empty("."));
}

TEST_F(NodrixTest, AutoSettingsGiveEveryMeasurementItsFullObservationAndNoMore) {
    // one_channel's estimator observes 12800 ps after a guard time of 1280 ps
    // from the start of its input's good interval, which must hold that and
    // the guard time at its end: the emission window follows to a time step.
    const std::string link = kProjects + "/one_channel.toml";
    ASSERT_EQ(run({"check", link, "-set", "link.end_time_ps=auto", "-window", "auto"}), 0) << err_;
    EXPECT_EQ(err_, "");
    const auto at = out_.find(", end time ");
    ASSERT_NE(at, std::string::npos) << out_;
    const double end_time = std::stod(out_.substr(at + 11));
    expect_has(out_, " ps (auto), emission window ");
    const auto [start, end] = good_interval(out_, "     9  photodiode");
    EXPECT_GE(end - start, 2 * 1280.0 + 12800.0);
    EXPECT_LT(end - start, 2 * 1280.0 + 12800.0 + 2 * 1.5625);
    // The end time: where the last observation closes, and one step more
    // (whole picoseconds). The estimator's closes 1280 ps before the end of
    // its good interval; the power meter at the receiver measures to there too.
    EXPECT_GE(end_time, start + 1280.0 + 12800.0 + 1.5625);
    EXPECT_NEAR(end_time, end - 1280.0 + 1.5625, 1.0);
}

// Four channels of +4 dBm mean power on the 100 GHz grid over 40 km of
// standard fibre, compensated and detected without noise: the seed's rule (30
// steps) moves the eye's Q by 1.6 to 5.6 dB when its steps halve; graded steps
// within the four-wave-mixing bound with symmetric splitting (345) by less
// than 0.08 dB.
// The halved plans have other buffers and filters, so other latencies: the
// fibre of the shorter one is delayed to the longer, and both runs observe the
// same bits (without that the graded plan moved by up to 0.5 dB).
TEST_F(NodrixTest, ConvergeFindsTheSeedsStepsOffAndTheGradedStepsConvergedOnFourChannels) {
    fs::copy_file(NODRIX_TEST_DATA_DIR "/wdm4.toml", "wdm4.toml");
    EXPECT_EQ(run({"converge", "wdm4.toml"}), 1) << err_;
    EXPECT_TRUE(out_.ends_with("\nnot converged\n")) << out_;
    ASSERT_EQ(run({"converge", "wdm4.toml", "-set", "link.step_rule=graded", "-set", "link.splitting=symmetric"}), 0)
        << err_;
    EXPECT_EQ(err_, "");
    std::size_t rows = 0;
    for (auto at = out_.find("  converged\n"); at != std::string::npos; at = out_.find("  converged\n", at + 1)) ++rows;
    EXPECT_EQ(rows, 4u) << out_;
    EXPECT_TRUE(out_.ends_with("\nconverged\n")) << out_;
    EXPECT_EQ(files_in("."), std::vector<std::string>{"wdm4.toml"});
}

TEST_F(NodrixTest, Wdm8IsCheckedSilentlyAndEveryChannelIsMeasuredInFull) {
    const std::string link = kProjects + "/wdm8.toml";
    ASSERT_EQ(run({"check", link}), 0) << err_;
    EXPECT_EQ(err_, "");
    ASSERT_EQ(run({"run", link, "-simulate", "-quiet"}), 0) << err_;
    EXPECT_EQ(err_, "");
    for (int k = 1; k <= 8; ++k) {
        char heading[64];
        std::snprintf(heading, sizeof heading, "\n  %5d  %7.2f THz  ", k, 192.75 + 0.1 * (k - 1));
        const auto row = out_.find(heading);
        ASSERT_NE(row, std::string::npos) << heading << out_;
        const std::string line = out_.substr(row + 1, out_.find('\n', row + 1) - row - 1);
        EXPECT_EQ(line.find("partial"), std::string::npos) << line;
        expect_has(line, " dB (");  // the Q and the eye's Q
        EXPECT_TRUE(fs::exists("wdm8_PST0" + std::to_string(100 * k + 14) + ".DAT")) << k;
    }
}

TEST_F(NodrixTest, BlocksNameEachKindByWhatItIsAndItsDefaultCaptionByKindAndInstance) {
    ASSERT_EQ(run({"blocks"}), 0);
    expect_has(out_, "\n  ber_estimator          BER and Q estimator: best sampling instant");
    EXPECT_EQ(out_.find("pestim"), std::string::npos) << out_;  // routine names are the glossary's
    ASSERT_EQ(run({"blocks", "power_meter"}), 0);
    expect_has(out_, "  title      text  \"power_meter ID\"     any text\n");
}

TEST_F(NodrixTest, WhatABlockWouldRefuseIsRefusedBeforeAnythingRuns) {
    const std::string link = kProjects + "/one_channel.toml";
    const std::string at = link + ":";
    const std::vector<std::string> alias_band = {"link.time_step_ps=0.78125", "link.grid_low_thz=187",
                                                 "link.grid_high_thz=200", "link.band_low_thz=188",
                                                 "link.band_high_thz=199"};
    struct Case { std::vector<std::string> sets; std::string message; };
    const Case cases[] = {
        {{"10.bandwidth_thz=0.15"},
         at + "93: block 10 (bessel_filter), -set 10.bandwidth_thz=0.15: bandwidth_thz = 0.15 is above what the time "
              "step carries; allowed for a low_pass: at most 0.2 / time_step_ps = 0.128"},
        {{"4.switching_voltage_v=0"},
         at + "46: block 4 (modulator), -set 4.switching_voltage_v=0: switching_voltage_v = 0 would leave the light "
              "unmodulated; allowed: any value but 0"},
        {{"1.source=file", "1.file=missing"},
         at + "24: block 1 (prbs_source), -set 1.file=missing: source = \"file\": cannot read the bit file " +
             fs::current_path().string() + "/missing.DAT: No such file or directory"},
        {{"7.gain_db=-3"},
         at + "74: block 7 (amplifier_fixed_gain), -set 7.gain_db=-3: gain_db = -3 takes the gain from a profile (a "
              "negative gain), but gain_profile_file is not given; allowed: 0 or more, or a negative value with "
              "gain_profile_file"},
        {{"link.end_time_ps=1e9"},
         at + " [link], -set link.end_time_ps=1e9: end_time_ps = 1e+09 is beyond what the single-precision time "
              "tells apart at time_step_ps = 1.5625; allowed: below 16777216 ps (2^24 times the power of two at or "
              "below the time step)"},
        {{"3.frequency_thz=194.0"},
         at + "39: block 3 (laser), -set 3.frequency_thz=194.0: frequency_thz = 194 lies outside the band the time "
              "step samples, centre_frequency_thz -+ 0.5 / time_step_ps = 192.46 to 193.74 THz: its light would "
              "appear at 192.72 THz; allowed: within it (a shorter time_step_ps widens it)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sets.front());
        std::vector<std::string> words = {"run", link, "-simulate", "-quiet"};
        if (c.sets.front().rfind("3.frequency", 0) == 0)
            for (const std::string& s : alias_band) words.insert(words.end(), {"-set", s});
        for (const std::string& s : c.sets) words.insert(words.end(), {"-set", s});
        EXPECT_EQ(run(words), 1);
        EXPECT_EQ(err_, "Nodrix-E-" + c.message + "\n" + link + ": 1 error; nothing was run\n");
        EXPECT_EQ(out_, "");
        EXPECT_TRUE(fs::is_empty(".")) << files_in(".").front();
    }
}

TEST_F(NodrixTest, AnErrorInTheSetUpStopsTheRunNamingTheBlockAndClaimsNothing) {
    // Two estimators whose observations together need more storage than the
    // kernel can address: the second one's request passes the count.
    std::string text = testing::read_text(kProjects + "/one_channel.toml");
    text += "\n[[block]]\nid = 13\nkind = \"ber_estimator\"\ninput = 10\nwindow_ps = 3e9\nsamples_per_bit = 64\n";
    testing::write_text("two.toml", text);
    EXPECT_EQ(run({"check", "two.toml", "-set", "11.window_ps=3e9"}), 1);
    const std::string refused =
        "Nodrix-E-block 13 (ber_estimator): The kernel storage of kind H would need more than 2147483646 elements\n";
    EXPECT_EQ(err_, refused);
    EXPECT_EQ(run({"run", "two.toml", "-simulate", "-quiet", "-set", "11.window_ps=3e9"}), 1);
    EXPECT_EQ(err_, refused + "one_channel: the run stopped at the error above; no results\n");
    EXPECT_EQ(out_, "");
    // No measurement left a result (the set-up's memory map and delay file aside).
    for (const std::string& name : files_in("."))
        EXPECT_TRUE(name == "two.toml" || name.rfind("x1_one_channel.", 0) == 0) << name;
}

}  // namespace
}  // namespace nodrix
