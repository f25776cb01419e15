// Runs of the program one after another in one process, and two at once on
// two threads, leave, byte for byte, the files each leaves in a process of
// its own: no run inherits state of the one before or shares the other's.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "runtime/wisdom.h"
#include "xu/run_state.h"
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

// The same files with the same bytes (`what` names the run in a failure).
void expect_same(const std::map<std::string, std::string>& here, const std::map<std::string, std::string>& apart,
                 const std::string& what) {
    EXPECT_GT(here.size(), 3u) << what;
    ASSERT_EQ(here.size(), apart.size()) << what;
    for (const auto& [name, bytes] : here) {
        const auto other = apart.find(name);
        ASSERT_NE(other, apart.end()) << what << ": " << name;
        EXPECT_TRUE(bytes == other->second) << what << ": " << name << " differs";
    }
}

using TwoRunsTest = testing::NodrixRunTest;

// A simulation of a formed link in the working directory, as a run of the
// program of its own on the calling thread.
int simulate_here(Link link) {
    const OwnRunState run;
    return run_formed_link(std::move(link), RunSettings{true, true, 0}, {});
}

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
    // Both links formed here, then simulated on two threads at once in one
    // directory (their files have names of their own).
    fs::create_directory("together");
    fs::current_path("together");
    std::vector<Link> formed;
    for (const std::string& link : links) {
        formed.push_back(*load_link_file(link));
        set_per_sample_run(true);
        ASSERT_TRUE(form_link_for_run(formed.back())) << link;
    }
    int status[2] = {-1, -1};
    std::vector<std::thread> threads;
    for (int k = 0; k < 2; ++k) threads.emplace_back([&, k] { status[k] = simulate_here(std::move(formed[k])); });
    for (std::thread& t : threads) t.join();
    fs::current_path(home);
    ASSERT_TRUE(status[0] == 0 && status[1] == 0);
    reset_plan_rigor();
    for (int k = 0; k < 2; ++k) {
        const std::string command = "NODRIX_FFT_PLANS=estimate " + std::string(NODRIX_NODRIX) + " run " + links[k] +
                                    " -simulate -quiet -o apart" + std::to_string(k) + " >/dev/null 2>&1";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }
    for (int k = 0; k < 3; ++k)
        expect_same(files_under("here" + std::to_string(k)), files_under("apart" + std::to_string(order[k])),
                    "run " + std::to_string(k));
    auto apart = files_under("apart0");
    apart.merge(files_under("apart1"));
    expect_same(files_under("together"), apart, "on two threads");
}

}  // namespace
}  // namespace nodrix
