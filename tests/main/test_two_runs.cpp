// Runs of the program one after another in one process leave, byte for
// byte, the files each leaves in a process of its own: no run inherits
// state of the one before.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "runtime/wisdom.h"
#include "tests/main/nodrix_run.h"

namespace nodrix {
namespace {

namespace fs = std::filesystem;

// Every file under `dir`, by its name there, with its bytes.
std::map<std::string, std::string> files_under(const fs::path& dir) {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file()) files[fs::relative(e.path(), dir).string()] = testing::read_text(e.path().string());
    return files;
}

using TwoRunsTest = testing::NodrixRunTest;

TEST_F(TwoRunsTest, RunsInOneProcessLeaveWhatSeparateProcessesLeave) {
    // Estimated plans: measured ones may differ between any two runs.
    set_plan_rigor(PlanRigor::estimate);
    const std::string links[] = {std::string(NODRIX_PROJECTS_DIR) + "/one_channel.toml",
                                 std::string(NODRIX_PROJECTS_DIR) + "/back_to_back.toml"};
    // In this process: the first link, the second, the first again (a run
    // works in its output directory).
    const fs::path home = fs::current_path();
    const int order[] = {0, 1, 0};
    for (int k = 0; k < 3; ++k) {
        const std::string out = (home / ("here" + std::to_string(k))).string();
        ASSERT_EQ(run({"run", links[order[k]], "-simulate", "-quiet", "-o", out}), 0) << err_;
        fs::current_path(home);
    }
    reset_plan_rigor();
    for (int k = 0; k < 2; ++k) {
        const std::string command = "NODRIX_FFT_PLANS=estimate " + std::string(NODRIX_NODRIX) + " run " + links[k] +
                                    " -simulate -quiet -o apart" + std::to_string(k) + " >/dev/null 2>&1";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }
    for (int k = 0; k < 3; ++k) {
        const auto here = files_under("here" + std::to_string(k));
        const auto apart = files_under("apart" + std::to_string(order[k]));
        EXPECT_GT(here.size(), 3u);
        ASSERT_EQ(here.size(), apart.size()) << "run " << k;
        for (const auto& [name, bytes] : here) {
            const auto other = apart.find(name);
            ASSERT_NE(other, apart.end()) << name;
            EXPECT_TRUE(bytes == other->second) << "run " << k << ": " << name << " differs";
        }
    }
}

}  // namespace
}  // namespace nodrix
