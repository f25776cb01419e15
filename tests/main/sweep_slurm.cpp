// nodrix sweep --slurm on a real Slurm cluster (the single-node cluster of
// scripts/slurm-cluster.sh, named by SLURM_CONF): the grid of the small link
// run as a job array with its collect job, and run here; both tables and
// every file the points left must agree. Without a cluster that answers the
// test fails and says why.
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>

#include "tests/main/sweep_process.h"
#include "tests/support/test_support.h"

namespace nodrix {
namespace {

namespace fs = std::filesystem;
using testing::file_text;

const std::string kNodrix = NODRIX_NODRIX;
const std::string kOneChannel = std::string(NODRIX_PROJECTS_DIR) + "/one_channel.toml";

using SweepSlurm = testing::NodrixTest;

// The output of a shell command and its exit status.
std::pair<int, std::string> shell(const std::string& command) {
    std::string out;
    FILE* p = ::popen((command + " 2>&1").c_str(), "r");
    if (p == nullptr) return {-1, ""};
    char buf[512];
    while (std::fgets(buf, sizeof buf, p) != nullptr) out += buf;
    const int st = ::pclose(p);
    return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, out};
}

// A table without its wall times, which differ from run to run.
std::string without_wall_times(const fs::path& table) {
    std::string out;
    for (const auto& row : testing::csv_rows(table)) {
        for (const auto& [column, cell] : row)
            if (column != "wall_time_s") out += column + "=" + cell + " ";
        out += "\n";
    }
    return out;
}

TEST_F(SweepSlurm, AGridOnSlurmGivesTheNumbersAndFilesOfTheSameGridRunHere) {
    const char* conf = std::getenv("SLURM_CONF");
    ASSERT_NE(conf, nullptr) << "SLURM_CONF names no cluster: start one with scripts/slurm-cluster.sh";
    const auto [sinfo_status, sinfo] = shell("sinfo -h -o %T");
    ASSERT_EQ(sinfo_status, 0) << "the Slurm cluster of " << conf << " does not answer: " << sinfo;

    const fs::path here = fs::current_path();
    const std::vector<std::string> grid = {kNodrix, "sweep", kOneChannel, "--vary", "3.power_mw=0.5,1,2",
                                           "--vary", "6.length_km=20,40"};
    std::vector<std::string> slurm = grid;
    for (const char* w : {"-o", "on-slurm", "--slurm", "--slurm-args", "--time=10 --mem=1000M"}) slurm.push_back(w);
    std::string console;
    ASSERT_EQ(testing::run_program(slurm, here, "submit", console), 0) << console;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(console, m, std::regex("Points: job ([0-9]+) \\(6 array tasks\\)\nCollect: job ([0-9]+)")))
        << console;
    const std::string collect = m[2];

    std::vector<std::string> local = grid;
    for (const char* w : {"-o", "here", "-j", "2"}) local.push_back(w);
    ASSERT_EQ(testing::run_program(local, here, "local", console), 0) << console;

    // The collect job ends after the array: a job that depends on it, waited
    // for, ends after it. Its record stays with the controller.
    const auto [waited, why] = shell("sbatch --wait --quiet --time=5 --mem=100M --output=/dev/null --dependency=afterany:" +
                                     collect + " --wrap=true");
    ASSERT_EQ(waited, 0) << why;
    const std::string state = shell("scontrol show job " + collect).second;
    ASSERT_NE(state.find("JobState=COMPLETED"), std::string::npos)
        << state << file_text("on-slurm/slurm/collect.out") << shell("squeue").second;
    EXPECT_NE(file_text("on-slurm/slurm/collect.out").find("Sweep of one_channel: 6 points, 6 done, 0 failed"),
              std::string::npos);

    EXPECT_EQ(without_wall_times("on-slurm/sweep.csv"), without_wall_times("here/sweep.csv"));
    // Every file a point left is the same, the record with its wall time aside.
    int compared = 0;
    for (const auto& point : fs::directory_iterator("here/points"))
        for (const auto& f : fs::directory_iterator(point.path())) {
            const std::string name = f.path().filename().string();
            if (name == "result.toml") continue;
            const fs::path other = "on-slurm/points" / point.path().filename() / name;
            EXPECT_EQ(file_text(f.path()), file_text(other)) << other;
            ++compared;
        }
    EXPECT_GE(compared, 6 * 8);
}

// A second submission while the first is queued (held here) is refused,
// naming its jobs, and so are a run here and a dry run, which would rewrite
// the list the queued array reads; once the jobs are cancelled the sweep
// goes on.
TEST_F(SweepSlurm, PointsStillQueuedAreNeitherSubmittedNorRunAgain) {
    ASSERT_EQ(shell("sinfo -h -o %T").first, 0) << "the Slurm cluster does not answer";
    const fs::path here = fs::current_path();
    const std::vector<std::string> grid = {kNodrix, "sweep", kOneChannel, "--vary", "3.power_mw=0.5,1", "-o", "held"};
    std::vector<std::string> slurm = grid;
    for (const char* w : {"--slurm", "--slurm-args", "--hold --time=10 --mem=1000M"}) slurm.push_back(w);
    std::string console;
    ASSERT_EQ(testing::run_program(slurm, here, "submit", console), 0) << console;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(console, m, std::regex("Points: job ([0-9]+) .*\nCollect: job ([0-9]+)"))) << console;
    const std::string points = m[1];
    const std::string collect = m[2];
    const std::string list = file_text("held/slurm/points.txt");
    std::vector<std::string> dry = grid;
    dry.push_back("--slurm-dry-run");
    std::vector<std::string> local = grid;
    local.push_back("-quiet");
    for (const auto& words : {slurm, dry, local}) {
        EXPECT_EQ(testing::run_program(words, here, "again", console), 1);
        EXPECT_EQ(console, "Nodrix-E-nodrix sweep: the points of " + (here / "held").string() +
                               " are still queued or running on Slurm: job " + points + " (its points), job " +
                               collect + " (its collect job); wait for them to end or cancel them (scancel " +
                               points + " " + collect + ") before its points run again\n");
    }
    EXPECT_EQ(file_text("held/slurm/points.txt"), list);
    EXPECT_FALSE(fs::exists("held/points/0001/result.toml"));
    ASSERT_EQ(shell("scancel " + points + " " + collect).first, 0);
    EXPECT_EQ(testing::run_program(dry, here, "dry", console), 0) << console;
}

}  // namespace
}  // namespace nodrix
