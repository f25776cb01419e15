// Long and strong fibres in nodrix run and check: a span whose step plan does
// not fit one fibre block runs as consecutive pieces, and the light behind it
// agrees with closed forms; a fibre no split can make runnable is an error
// before anything runs.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "project/summary.h"
#include "tests/main/nodrix_run.h"

namespace nodrix {
namespace {

namespace fs = std::filesystem;

const std::string kLink = std::string(NODRIX_PROJECTS_DIR) + "/one_channel.toml";

using FibreSplit = testing::NodrixRunTest;

double meter_dbm(int id) {
    const auto dbm = read_power_meter_report("one_channel_OPM000" + std::to_string(id) + ".DAT");
    EXPECT_TRUE(dbm) << "meter " << id;
    return dbm.value_or(0.0);
}

// 800 dB of loss: the receiver sees the amplifier's own noise. The flat
// amplifier model adds n_sp h nu (G - 1) per unit bandwidth with n_sp = NF / 2
// on one polarisation (the link's), over the whole sampled band 1 / dt.
TEST_F(FibreSplit, A4000KmSpanIsSplitAndTheReceiverReadsTheAmplifiersNoise) {
    ASSERT_EQ(run({"run", kLink, "-simulate", "-quiet", "-set", "6.length_km=4000", "-window", "265000", "-set",
                   "link.end_time_ps=690500"}),
              0)
        << err_;
    EXPECT_EQ(err_, "block 6 (fibre) is split into 87 pieces (blocks 13 to 98 and 6): its step plan needs more "
                    "than the 50000 steps one fibre block holds\n");
    const double gain = std::pow(10.0, 0.8);
    const double ase_mw = (gain - 1.0) * (2.81838 / 2.0) * 6.6260755e-34 * 193.1e12 / 1.5625e-12 * 1e3;
    EXPECT_NEAR(meter_dbm(8), 10.0 * std::log10(ase_mw), 0.5);
    // The memory map and the delay file are those of the pieces; no request is left.
    const std::string map = testing::read_text("x1_one_channel.mem");
    EXPECT_EQ(map.find("fiber "), std::string::npos);
    EXPECT_NE(map.find("\nmemory 98 "), std::string::npos);
    EXPECT_NE(map.find("\nsignal 0098 "), std::string::npos);
    EXPECT_EQ(fs::file_size("x1_one_channel.dly"), 87u * (4 + 4 * 1024));
}

// 200 dB over 1000 km of 0.2 dB/km, made up by an amplifier of 200 dB
// without noise: the receiver reads the launched power.
TEST_F(FibreSplit, A1000KmSpanLosesWhatItsAttenuationSays) {
    ASSERT_EQ(run({"run", kLink, "-simulate", "-quiet", "-set", "6.length_km=1000", "-set", "7.gain_db=200", "-set",
                   "7.ase_off=true", "-window", "95000", "-set", "link.end_time_ps=207500"}),
              0)
        << err_;
    EXPECT_NE(err_.find("block 6 (fibre) is split into 25 pieces (blocks 13 to 36 and 6)"), std::string::npos) << err_;
    EXPECT_NEAR(meter_dbm(8), meter_dbm(5) - 0.2 * 1000.0 + 200.0, 0.5);
}

TEST_F(FibreSplit, CheckShowsThePiecesInTheSchedule) {
    ASSERT_EQ(run({"check", kLink, "-set", "6.length_km=4000"}), 0) << err_;
    EXPECT_NE(err_.find("block 6 (fibre) is split into 87 pieces"), std::string::npos) << err_;
    EXPECT_NE(out_.find("Link one_channel (" + kLink + "): 98 blocks\n"), std::string::npos) << out_;
    EXPECT_NE(out_.find("\n      6     13  fibre                  4              13 "), std::string::npos) << out_;
    EXPECT_NE(out_.find("\n     92      6  fibre                  98             6 "), std::string::npos) << out_;
}

TEST_F(FibreSplit, AFibreNoSplitCanMakeRunnableStopsRunAndCheck) {
    const std::string block = "Nodrix-E-" + kLink + ":63: block 6 (fibre) cannot be split into pieces it can simulate: ";
    const std::string kerr = " rad (gamma x peak power x effective length) would broaden its spectrum about ";
    const std::string past = "-fold, past the 1024 bins of the simulated grid; check its gamma_per_w_per_km and the "
                             "power launched into it\n";
    struct Case {
        std::string set;
        std::string message;
    };
    const Case cases[] = {
        {"6.gamma_per_w_per_km=1e5", block + "its Kerr phase of 1832" + kerr + "1607" + past},
        {"3.power_mw=1e6", block + "its Kerr phase of 11614" + kerr + "10190" + past},
        {"6.length_km=1e308", block + "its length does not fit a single-precision real (3.4e38 at most)\n"},
        {"6.attenuation_db_per_km=-0.2", "Nodrix-E--set 6.attenuation_db_per_km=-0.2: attenuation_db_per_km = -0.2 "
                                         "is out of range; allowed: >= 0\n"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(run({"check", kLink, "-set", c.set}), 1) << c.set;
        EXPECT_EQ(err_.substr(0, c.message.size()), c.message);
        EXPECT_EQ(out_, "");
        EXPECT_EQ(run({"run", kLink, "-simulate", "-o", "out", "-set", c.set}), 1) << c.set;
        EXPECT_EQ(err_.substr(0, c.message.size()), c.message);
        EXPECT_TRUE(!fs::exists("out") || fs::is_empty("out")) << c.set;
    }
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(".")) left.push_back(e.path().filename().string());
    EXPECT_TRUE(left.empty() || left == std::vector<std::string>{"out"});
}

}  // namespace
}  // namespace nodrix
