// The run settings a link derives from its signal: the time step from the
// bit rate, the emission window from the bits, the band and grid from the
// step and the centre, the samples per bit its blocks take, and "auto".
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "tests/project/link_loading.h"

namespace nodrix {
namespace {

using LinkSettingsTest = testing::LinkLoadingTest;

// A source and its driver, and a source that gives samples per bit of its own.
std::string link_with(const std::string& settings) {
    return "[link]\nname = \"t\"\n" + settings +
           "\n[[block]]\nid = 1\nkind = \"prbs_source\"\n"
           "\n[[block]]\nid = 2\nkind = \"nrz_driver\"\ninput = 1\n"
           "\n[[block]]\nid = 3\nkind = \"prbs_source\"\nsamples_per_bit = 32\n";
}

TEST_F(LinkSettingsTest, TheBitRateAndSamplesPerBitSetTheStepTheBandTheGridAndTheBlocksRate) {
    // 10 Gb/s at 64 samples a bit: 1.5625 ps; the grid spans 1 / 1.5625 ps =
    // 0.64 THz around the centre, the band 80 % of it.
    auto link = load(link_with("bit_rate_gbps = 10\nsamples_per_bit = 64\ncentre_frequency_thz = 193.1\n"
                               "end_time_ps = 5000\nemission_window_ps = 3000\n"));
    ASSERT_TRUE(link.has_value()) << messages_;
    const BlockSettings& s = link->settings;
    for (const auto& [name, value] : {std::pair{"time_step_ps", 1.5625f}, {"grid_low_thz", 192.78f},
                                      {"grid_high_thz", 193.42f}, {"band_low_thz", 192.844f},
                                      {"band_high_thz", 193.356f}, {"grid_reference_thz", 193.1f}})
        EXPECT_FLOAT_EQ(s.real(name), value) << name;
    EXPECT_FALSE(link->auto_emission_window || link->auto_end_time);  // both given
    auto samples_per_bit = [&link](std::int32_t id) { return link->find(id)->settings.integer("samples_per_bit"); };
    // The link's, and 3's own.
    EXPECT_EQ(std::tuple(samples_per_bit(1), samples_per_bit(2), samples_per_bit(3)), std::tuple(64, 64, 32));
    // A link that names neither its step nor its centre keeps the registry's
    // numbers as written; its samples per bit alone set no time step.
    link = load(link_with("end_time_ps = 5000\nsamples_per_bit = 8\n"));
    ASSERT_TRUE(link.has_value()) << messages_;
    EXPECT_EQ(samples_per_bit(2), 8);
    EXPECT_FLOAT_EQ(link->settings.real("time_step_ps"), 0.0640443f);
    EXPECT_EQ(std::as_const(link->settings).value("grid_low_thz").number, 185.80887);
    EXPECT_EQ(std::as_const(link->settings).value("band_high_thz").number, 199.86163);
}

TEST_F(LinkSettingsTest, BitsSetTheEmissionWindowAndABitRateLeavesTheRestToTheMeasurements) {
    auto link = load(link_with("bit_rate_gbps = 10\nsamples_per_bit = 64\nbits = 300\ncentre_frequency_thz = 193.1\n"));
    ASSERT_TRUE(link.has_value()) << messages_;
    EXPECT_FLOAT_EQ(link->settings.real("emission_window_ps"), 30000.0f);  // 300 bits of 100 ps
    EXPECT_FALSE(link->auto_emission_window);
    EXPECT_TRUE(link->auto_end_time);
    // "auto" by -set, and a number again after it.
    link = load(link_with("end_time_ps = 5000\nsamples_per_bit = 8\n"), {"link.emission_window_ps=auto"});
    ASSERT_TRUE(link.has_value()) << messages_;
    EXPECT_TRUE(link->auto_emission_window);
    EXPECT_FALSE(link->auto_end_time);
    link = load(link_with("end_time_ps = \"auto\"\nsamples_per_bit = 8\n"), {"link.end_time_ps=7000"});
    ASSERT_TRUE(link.has_value()) << messages_;
    EXPECT_FALSE(link->auto_end_time);
    EXPECT_FLOAT_EQ(link->settings.real("end_time_ps"), 7000.0f);
}

TEST_F(LinkSettingsTest, SettingsThatDisagreeAreRefusedNamingBoth) {
    const std::string rate = "bit_rate_gbps = 10\nsamples_per_bit = 64\ncentre_frequency_thz = 193.1\n";
    const struct { std::string settings; std::string message; } cases[] = {
        {rate + "time_step_ps = 1.5\n",
         "t.toml:6: [link]: time_step_ps = 1.5 disagrees with bit_rate_gbps = 10 and samples_per_bit = 64, which give "
         "a time step of 1.5625 ps; give time_step_ps or the bit rate, or values that agree"},
        {rate + "bits = 100\nemission_window_ps = 9000\n",
         "t.toml:7: [link]: emission_window_ps = 9000 disagrees with bits = 100, which at 64 samples per bit of 1.5625 "
         "ps give 10000 ps; give one of them, or values that agree"},
        {rate + "bits = 100\nemission_window_ps = \"auto\"\n",
         "t.toml:6: [link]: bits = 100 and emission_window_ps = \"auto\" both set the emission window; give one of "
         "them"},
        {"bit_rate_gbps = 10\nend_time_ps = 5000\n",
         "t.toml:3: [link]: bit_rate_gbps needs samples_per_bit: the time step is one bit over the samples per bit"},
        {"emission_window_ps = 5000\nsamples_per_bit = 8\n", "t.toml: [link]: missing required parameter end_time_ps [ps]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.settings);
        EXPECT_FALSE(load(link_with(c.settings)).has_value());
        EXPECT_EQ(messages_.rfind("Nodrix-E-" + c.message, 0), 0u) << messages_;
    }
}

}  // namespace
}  // namespace nodrix
