// Channel plans: channels declared once and their templates expanded into
// blocks with predictable numbers, frequencies, data and files.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/project/link_loading.h"

namespace nodrix {
namespace {

using testing::replaced;

using ChannelPlanTest = testing::LinkLoadingTest;

// Three channels 50 GHz apart from 193.0 THz, each a source, a driver, a
// laser and a modulator, combined, and received by a filter, a photodiode
// and an estimator.
const std::string kPlan = testing::read_text(NODRIX_TEST_DATA_DIR "/channel_plan.toml");

TEST_F(ChannelPlanTest, APlanExpandsIntoNumberedBlocksWithTheirFrequenciesDataAndFiles) {
    const auto link = load(kPlan);
    ASSERT_TRUE(link.has_value()) << messages_;
    // Transmitters channel by channel, the line, then the receivers.
    std::vector<std::int32_t> order;
    for (const LinkBlock& b : link->blocks) order.push_back(b.id);
    EXPECT_EQ(order, (std::vector<std::int32_t>{101, 102, 103, 104, 201, 202, 203, 204, 301, 302, 303, 304, 7, 111,
                                                112, 113, 211, 212, 213, 311, 312, 313}));
    ASSERT_EQ(link->channels.size(), 3u);
    for (int k = 1; k <= 3; ++k) {
        SCOPED_TRACE(k);
        const double frequency = 193.0 + 0.05 * (k - 1);
        EXPECT_EQ(link->channels[k - 1].number, k);
        EXPECT_DOUBLE_EQ(link->channels[k - 1].frequency_thz, frequency);
        const BlockSettings& laser = link->find(100 * k + 3)->settings;
        EXPECT_FLOAT_EQ(laser.real("frequency_thz"), static_cast<float>(frequency));
        EXPECT_NEAR(laser.real("power_mw"), 1.99526, 1e-5);  // 3 dBm
        const BlockSettings& source = link->find(100 * k + 1)->settings;
        EXPECT_EQ(source.integer("degree"), 9);
        EXPECT_EQ(source.integer("skipped_symbols"), 2 + 5 * (k - 1));
        EXPECT_FLOAT_EQ(link->find(100 * k + 11)->settings.real("centre_frequency_thz"), static_cast<float>(frequency));
        EXPECT_EQ(link->find(100 * k + 11)->inputs, std::vector<std::int32_t>{7});  // "line"
        EXPECT_EQ(link->find(100 * k + 4)->drive, 100 * k + 2);
        EXPECT_EQ(link->find(100 * k + 13)->settings.text("report_name"), "t_PST0" + std::to_string(100 * k + 13));
    }
    EXPECT_EQ(link->find(7)->inputs, (std::vector<std::int32_t>{104, 204, 304}));
    // The band's centre is the plan's.
    EXPECT_FLOAT_EQ(link->settings.real("centre_frequency_thz"), 193.05f);
}

TEST_F(ChannelPlanTest, MistakesOfAPlanAreReportedWithTheirLine) {
    const struct { std::string text; std::string message; } cases[] = {
        {replaced(kPlan, "kind = \"laser\"\n", "kind = \"laser\"\nfrequency_thz = 190\n"),
         "t.toml:24: [channels]: transmitter block 3: the channel plan sets frequency_thz (laser); leave it out"},
        {replaced(kPlan, "spacing_ghz", "spacing_gh"),
         "t.toml:8: [channels]: unknown setting \"spacing_gh\"; did you mean \"spacing_ghz\"?"},
        {replaced(kPlan, "inputs = \"channels\"", "inputs = \"channels 2-4\""),
         "t.toml:46: block 7 (combiner): \"channels 2-4\": write \"channels\" or \"channels A-B\" with 1 <= A <= B <= 3"},
        {replaced(kPlan, "receiver_input = 7\n", ""),
         "t.toml:31: [channels]: receiver block 11: input: \"line\" names the plan's receiver_input, which [channels] "
         "does not give"},
        {replaced(kPlan, "id = 4\n", "id = 100\n"),
         "t.toml:24: [channels]: transmitter block 100: a template block needs an id from 1 to 99 (below id_step)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        EXPECT_FALSE(load(c.text).has_value());
        EXPECT_EQ(messages_.rfind("Nodrix-E-" + c.message, 0), 0u) << messages_;
    }
}

}  // namespace
}  // namespace nodrix
