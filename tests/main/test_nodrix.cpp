// The program nodrix: its command line, and what run and check make of a link.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/main/nodrix_run.h"

namespace nodrix {
namespace {

namespace fs = std::filesystem;

const std::string kProjects = NODRIX_PROJECTS_DIR;

using NodrixTest = testing::NodrixRunTest;

// The value after `option` in the last message that names it ("-window 29906").
std::string hinted(const std::string& messages, const std::string& option) {
    const auto at = messages.rfind(option);
    if (at == std::string::npos) return "";
    const auto from = at + option.size();
    return messages.substr(from, messages.find_first_of(" \n", from) - from);
}

TEST_F(NodrixTest, UsageErrorsEndWithStatusTwo) {
    struct Case {
        std::vector<std::string> words;
        std::string message;
    };
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
    EXPECT_NE(err_.find("Nodrix-E-bad.toml:4: block 1 (laser): missing required parameter frequency_thz"),
              std::string::npos)
        << err_;
    EXPECT_FALSE(fs::exists("out"));
    EXPECT_EQ(run({"run", "missing.toml"}), 1);
    EXPECT_EQ(err_, "Nodrix-E-Cannot read the link file missing.toml: no such file\n");
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(".")) left.push_back(e.path().filename().string());
    EXPECT_EQ(left, std::vector<std::string>{"bad.toml"});
}

TEST_F(NodrixTest, CheckNamesTheEmissionWindowThatLetsTheMeasurementsObserve) {
    const std::string link = kProjects + "/sim_160G.toml";
    ASSERT_EQ(run({"check", link}), 0) << err_;
    EXPECT_NE(out_.find("    5     62  laser"), std::string::npos) << out_;
    EXPECT_NE(out_.find("  132    132  ber_estimator          122"), std::string::npos) << out_;
    // With the link's own window the receivers observe nothing.
    EXPECT_NE(err_.find("Nodrix-W-block 110 (ber_estimator) will observe nothing of its 128 bits: its good interval, "
                        "less the guard time of 1280 ps, ends at 225622 ps, before its observation window opens at "
                        "227368 ps\n"),
              std::string::npos)
        << err_;
    const std::string window = hinted(err_, "-window ");
    EXPECT_EQ(hinted(err_, "-set link.end_time_ps="), "640443");  // the link's own end time is long enough
    // With the window it names, none of the measurements is left short, and
    // the good interval of the photodiode in front of estimator 110 holds its
    // 12800 ps and the guard times of 1280 ps at both ends, to the picosecond.
    ASSERT_EQ(run({"check", link, "-window", window}), 0) << err_;
    EXPECT_EQ(err_.find("will observe"), std::string::npos) << err_;
    const auto row = out_.find("    108  photodiode");
    ASSERT_NE(row, std::string::npos) << out_;
    const std::string line = out_.substr(row, out_.find('\n', row) - row);
    const auto dots = line.rfind(" .. ");
    const double good = std::stod(line.substr(dots + 4)) - std::stod(line.substr(line.rfind(' ', dots - 1)));
    EXPECT_GE(good, 2 * 1280.0 + 12800.0 - 0.1);
    EXPECT_LT(good, 2 * 1280.0 + 12800.0 + 1.1);
    // The check leaves nothing behind.
    EXPECT_TRUE(fs::is_empty("."));
}

}  // namespace
}  // namespace nodrix
