// Long and strong fibres in nodrix run and check: a span whose step plan does
// not fit one fibre block runs as consecutive pieces, and the light behind it
// agrees with closed forms; a fibre no split can make runnable is an error
// before anything runs.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <iterator>
#include <string>

#include "project/summary.h"
#include "tests/main/nodrix_run.h"

namespace nodrix {
namespace {

namespace fs = std::filesystem;

const std::string kLink = std::string(NODRIX_PROJECTS_DIR) + "/one_channel.toml";

using FibreSplit = testing::NodrixRunTest;

// A meter's reading [dBm]; the test fails when it has none.
double meter_dbm(int id) { return read_power_meter_report("one_channel_OPM000" + std::to_string(id) + ".DAT").value(); }

// 800 dB of loss: the receiver sees the amplifier's own noise. The flat
// amplifier model adds n_sp h nu (G - 1) per unit bandwidth and polarisation,
// n_sp = (NF G - 1) / (2 (G - 1)), in both polarisations (the defaults, carried
// by the link's one field), over the whole sampled band 1 / dt.
TEST_F(FibreSplit, A4000KmSpanIsSplitAndTheReceiverReadsTheAmplifiersNoise) {
    const std::string split = "block 6 (fibre) is split into 87 pieces (blocks 13 to 98 and 6): its step plan needs "
                              "more than the 50000 steps one fibre block holds\n";
    ASSERT_EQ(run({"check", kLink, "-set", "6.length_km=4000"}), 0) << err_;
    EXPECT_EQ(err_.substr(0, split.size()), split);
    EXPECT_NE(out_.find("\n      6     13  fibre                  4              13 "), std::string::npos) << out_;
    EXPECT_NE(out_.find("\n     92      6  fibre                  98             6 "), std::string::npos) << out_;
    ASSERT_EQ(run({"run", kLink, "-simulate", "-quiet", "-set", "6.length_km=4000", "-window", "275813", "-set",
                   "link.end_time_ps=699263"}),
              0)
        << err_;
    EXPECT_EQ(err_, split);
    const double g = std::pow(10.0, 0.8);
    const double ase_mw = 2.0 * (2.81838 * g - 1.0) / 2.0 * 6.6260755e-34 * 193.1e12 / 1.5625e-12 * 1e3;
    EXPECT_NEAR(meter_dbm(8), 10.0 * std::log10(ase_mw), 0.5);
}

// 180 dB over 1000 km of 0.18 dB/km, made up in part by an amplifier of 100 dB
// without noise (the meter reads nothing below -100 dBm): the receiver reads
// the launched power less 80 dB.
TEST_F(FibreSplit, A1000KmSpanLosesWhatItsAttenuationSays) {
    ASSERT_EQ(run({"run", kLink, "-simulate", "-quiet", "-set", "6.length_km=1000", "-set",
                   "6.attenuation_db_per_km=0.18", "-set", "7.gain_db=100", "-set", "7.ase_off=true", "-window", "95000",
                   "-set", "link.end_time_ps=207500"}),
              0)
        << err_;
    EXPECT_NEAR(meter_dbm(8), meter_dbm(5) - 0.18 * 1000.0 + 100.0, 0.5);
}

TEST_F(FibreSplit, AFibreNoSplitCanMakeRunnableStopsRunAndCheck) {
    const std::string block =
        "Nodrix-E-" + kLink + ":63: block 6 (fibre) cannot be split into pieces it can simulate: ";
    const std::string kerr = " rad (gamma x peak power x effective length) would broaden its spectrum about ";
    const std::string past = "-fold, past the 1024 bins of the simulated grid; check its gamma_per_w_per_km and the "
                             "power launched into it\n";
    const std::pair<std::string, std::string> cases[] = {
        {"6.gamma_per_w_per_km=1e5", block + "its Kerr phase of 1832" + kerr + "1607" + past},
        {"3.power_mw=1e6", block + "its Kerr phase of 11614" + kerr + "10190" + past},
        {"6.length_km=1e308", "Nodrix-E--set 6.length_km=1e308: length_km = 1e+308 is beyond single precision "
                              "(largest magnitude 3.4028235e+38), in which it is held; allowed: > 0\n"},
    };
    const fs::path home = fs::current_path();
    for (const auto& [set, message] : cases) {
        EXPECT_EQ(run({"check", kLink, "-set", set}), 1) << set;
        EXPECT_EQ(err_.substr(0, message.size()) + out_, message);
        EXPECT_EQ(run({"run", kLink, "-simulate", "-o", "out", "-set", set}), 1) << set;
        fs::current_path(home);
        EXPECT_EQ(err_.substr(0, message.size()), message);
        // Nothing but the results' directory, empty.
        EXPECT_TRUE(!fs::exists("out") || fs::is_empty("out")) << set;
        EXPECT_LE(std::distance(fs::directory_iterator(home), fs::directory_iterator()), 1);
    }
}

}  // namespace
}  // namespace nodrix
