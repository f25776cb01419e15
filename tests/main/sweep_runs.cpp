// nodrix sweep as a user runs it, points simulated: a grid killed with its
// points and run again, and the eye's Q of the small link against its launch
// power.
#include <gtest/gtest.h>

#include <sys/prctl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <map>
#include <sstream>

#include "tests/main/sweep_process.h"
#include "tests/support/test_support.h"

namespace nodrix {
namespace {

namespace fs = std::filesystem;
using testing::csv_rows;
using testing::file_text;

const std::string kNodrix = NODRIX_NODRIX;
const std::string kOneChannel = std::string(NODRIX_PROJECTS_DIR) + "/one_channel.toml";

using SweepRuns = testing::NodrixTest;

std::vector<fs::path> records(const fs::path& dir) {
    std::vector<fs::path> found;
    for (const auto& e : fs::directory_iterator(dir / "points"))
        if (fs::exists(e.path() / "result.toml")) found.push_back(e.path() / "result.toml");
    std::sort(found.begin(), found.end());
    return found;
}

TEST_F(SweepRuns, AGridKilledWithItsPointsAndRunAgainCompletesWithoutRunningFinishedPointsAgain) {
    const fs::path here = fs::current_path();
    const std::vector<std::string> sweep = {kNodrix, "sweep", kOneChannel, "--vary", "3.power_mw=0.5,1,2", "--vary",
                                            "6.length_km=20,40", "-j", "2", "-o", "grid"};
    // Killed, points and all, as soon as its first point has ended.
    const testing::Started first = testing::start(sweep, here, "first", "point-ended");
    ASSERT_TRUE(testing::stopped(first));
    ::kill(-first.pid, SIGKILL);
    ASSERT_EQ(testing::finish(first), 128 + SIGKILL) << file_text(first.console);
    const std::vector<fs::path> kept = records("grid");
    ASSERT_GE(kept.size(), 1u);
    ASSERT_LT(kept.size(), 6u);

    // Only the points with a record look complete, and they are.
    std::string console;
    EXPECT_EQ(testing::run_program({kNodrix, "sweep", "--collect", "grid"}, here, "collect", console), 1);
    const auto rows = csv_rows("grid/sweep.csv");
    ASSERT_EQ(rows.size(), 6u);
    for (const auto& row : rows) {
        const bool recorded = fs::exists("grid/points/" + row.at("point") + "/result.toml");
        EXPECT_EQ(row.at("status"), recorded ? "done" : "incomplete") << row.at("point");
    }

    // Run again: the finished points keep their records untouched.
    std::vector<std::pair<ino_t, std::string>> before;
    for (const fs::path& r : kept) {
        struct stat st {};
        ::stat(r.c_str(), &st);
        before.emplace_back(st.st_ino, file_text(r));
    }
    ASSERT_EQ(testing::run_program(sweep, here, "second", console), 0) << console;
    const std::string n = std::to_string(kept.size());
    EXPECT_NE(console.find(n + " of 6 points are complete; running the other " + std::to_string(6 - kept.size())),
              std::string::npos)
        << console;
    EXPECT_NE(console.find("Sweep of one_channel: 6 points, 6 done (" + n +
                           " complete before, not run again), 0 failed, 0 incomplete"),
              std::string::npos)
        << console;
    for (std::size_t k = 0; k < kept.size(); ++k) {
        struct stat st {};
        ::stat(kept[k].c_str(), &st);
        EXPECT_EQ(st.st_ino, before[k].first) << kept[k];
        EXPECT_EQ(file_text(kept[k]), before[k].second) << kept[k];
    }
    // A complete table and plot.
    const auto table = csv_rows("grid/sweep.csv");
    ASSERT_EQ(table.size(), 6u);
    for (const auto& row : table) {
        EXPECT_EQ(row.at("status"), "done");
        EXPECT_GT(std::stod(row.at("ch1_q_eye_db")), 10.0) << row.at("point");
    }
    EXPECT_EQ(file_text("grid/sweep.png").substr(0, 4), "\x89PNG");
    EXPECT_NE(file_text("grid/sweep.svg").find("<svg"), std::string::npos);
}

// The files of a directory, by name.
std::map<std::string, std::string> files_of(const fs::path& dir) {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::directory_iterator(dir)) files[e.path().filename().string()] = file_text(e.path());
    return files;
}

// A second sweep into the directory of a running one stops at once, naming
// it, and makes nothing. A sweep killed outright takes its points with it
// (they end by SIGTERM, without a record). A point runs in one process at a
// time: a second run of it stops at once and touches nothing, and no run of
// it removes a file it did not make.
TEST_F(SweepRuns, ASweepIsAloneInItsDirectoryAndItsPointsEndWithIt) {
    const fs::path here = fs::current_path();
    const std::vector<std::string> sweep = {kNodrix, "sweep", kOneChannel, "--vary", "3.power_mw=1,2", "-j", "1",
                                            "-o", "g"};
    const testing::Started first = testing::start(sweep, here, "first", "sweep-locked,points-started,initialised");
    ASSERT_TRUE(testing::stopped(first));
    std::string console;
    EXPECT_EQ(testing::run_program(sweep, here, "second", console), 1);
    EXPECT_EQ(console, "Nodrix-E-nodrix sweep: another sweep (process " + std::to_string(first.pid) + ") is working in " +
                           (here / "g").string() + " (lock file " + (here / "g/sweep.lck").string() +
                           "); wait for it to end, or give another -o DIR\n");
    EXPECT_EQ(files_of("g").size(), 1u);  // its lock alone

    // Killed outright once it has started its first point; the point was
    // the test's to reap then, and ends by SIGTERM wherever it was.
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    ::kill(first.pid, SIGCONT);
    ASSERT_TRUE(testing::stopped(first));
    ::kill(first.pid, SIGKILL);
    EXPECT_EQ(testing::finish(first), 128 + SIGKILL);
    int ended = 0;
    for (int st = 0;;) {
        const pid_t orphan = ::waitpid(-1, &st, WUNTRACED);
        if (orphan < 0 && errno == EINTR) continue;
        if (orphan < 0) break;
        if (WIFSTOPPED(st)) {
            ::kill(orphan, SIGCONT);  // the SIGTERM waiting for it is taken now
            continue;
        }
        ++ended;
        EXPECT_TRUE(WIFEXITED(st) ? WEXITSTATUS(st) == 128 + SIGTERM : WTERMSIG(st) == SIGTERM) << st;
    }
    ::prctl(PR_SET_CHILD_SUBREAPER, 0);
    EXPECT_EQ(ended, 1);
    EXPECT_FALSE(fs::exists("g/points/0001/result.toml"));

    testing::write_text("g/points/0002/notes.txt", "mine\n");
    const std::vector<std::string> point = {kNodrix, "sweep", "--point", "g/points/0002"};
    const testing::Started running = testing::start(point, here, "point", "point-locked");
    ASSERT_TRUE(testing::stopped(running));
    const auto before = files_of("g/points/0002");
    EXPECT_EQ(testing::run_program(point, here, "again", console), 1);
    EXPECT_EQ(console, "Nodrix-E-nodrix sweep --point: " + (here / "g/points/0002").string() +
                           " is being run by another process (process " + std::to_string(running.pid) +
                           "); a point runs once at a time\n");
    EXPECT_EQ(files_of("g/points/0002"), before);
    ::kill(running.pid, SIGCONT);
    EXPECT_EQ(testing::finish(running), 0);
    // Run once more, and the whole sweep again: point 1 runs, point 2 stays.
    EXPECT_EQ(testing::run_program(point, here, "point", console), 0) << console;
    EXPECT_EQ(testing::run_program(sweep, here, "third", console), 0) << console;
    EXPECT_NE(console.find("1 of 2 points are complete; running the other 1\n"), std::string::npos) << console;
    EXPECT_EQ(file_text("g/points/0002/notes.txt"), "mine\n");
}

TEST_F(SweepRuns, TheEyeQRisesWithTheLaunchPowerUntilTheKerrEffectTakesOver) {
    // 2 uW to 0.5 W from the laser (3 dB less into the span), two noise seeds.
    std::string console;
    ASSERT_EQ(testing::run_program({kNodrix, "sweep", kOneChannel, "--vary", "3.power_mw=0.002:600:x4", "--seeds",
                                    "2", "-j", "2", "-o", "power"},
                                   fs::current_path(), "sweep", console),
              0)
        << console;
    std::vector<double> power;
    std::vector<double> q;
    double largest_spread = 0.0;
    for (const auto& row : csv_rows("power/sweep.csv")) {
        if (row.at("seed") == "mean") {
            power.push_back(std::stod(row.at("3.power_mw")));
            q.push_back(std::stod(row.at("ch1_q_eye_db")));
        } else if (row.at("seed") == "spread") {
            largest_spread = std::max(largest_spread, std::stod(row.at("ch1_q_eye_db")));
        }
    }
    ASSERT_EQ(power.size(), 10u);
    EXPECT_DOUBLE_EQ(power.back(), 524.288);
    std::string curve;
    for (std::size_t k = 0; k < q.size(); ++k) curve += std::to_string(power[k]) + " mW: " + std::to_string(q[k]) + " dB\n";
    // Limited by the amplifier's noise, the Q grows with the power ...
    for (std::size_t k = 1; k < 4; ++k) EXPECT_GT(q[k], q[k - 1] + 0.5) << curve;
    EXPECT_GT(q[3] - q[0], 6.0) << curve;
    // ... to a largest value at a power well inside the range, and the fibre's
    // non-linearity brings it down again at the highest power.
    const auto peak = std::max_element(q.begin(), q.end()) - q.begin();
    EXPECT_GE(peak, 3) << curve;
    EXPECT_LE(peak, 8) << curve;
    EXPECT_LT(q.back(), q[static_cast<std::size_t>(peak)] - 6.0) << curve;
    // The seeds change the noise.
    EXPECT_GT(largest_spread, 0.0);
}

// A point whose observation the run's end cut short, and one that could not
// run: neither is a plain done row with numbers.
TEST_F(SweepRuns, PartialObservationsAndErrorsShowInTheTable) {
    std::string console;
    EXPECT_EQ(testing::run_program({kNodrix, "sweep", kOneChannel, "--zip", "--vary", "link.end_time_ps=32000,12400,32000",
                                    "--vary", "11.window_ps=12800,12800,3e9", "-j", "2", "-o", "cut"},
                                   fs::current_path(), "sweep", console),
              1)
        << console;
    const std::string table = file_text("cut/sweep.csv");
    // status ... q_eye_db, bits_observed, the meters, message
    for (const std::string row :
         {"\n0001,32000,12800,done,", ",128,-2.965,-2.898,\n",
          "\n0002,12400,12800,partial,", ",50,-2.975,-3.136,ch1: partial: 50 of 128 bits; BER below 1e-40 (the "
          "estimator's floor); a bit pattern seen fewer than 10 times; meter5: partial: 7117 of 14745 samples; meter8: "
          "partial: 3214 of 13079 samples\n",
          "\n0003,32000,3e9,failed,", ",,,,,,,,,,,,,\"block 11 (ber_estimator): its window_ps of 3e+09 ps asks for "
          "30000000 bits, 1920000064 samples"})
        EXPECT_NE(table.find(row), std::string::npos) << row << " in\n" << table;
}

// The [convergence] table of a point's record.
std::string convergence_of(const fs::path& point) {
    const std::string record = file_text(point / "result.toml");
    const auto at = record.find("[convergence]");
    return at == std::string::npos ? "" : record.substr(at, record.find("\n\n", at) - at);
}

// With --converge a point judges its step plan as nodrix converge does (run
// here on the point's changes, with its one thread and FFT plans: a second
// path to the same figures) and changes no other column nor file of the
// point. At 20 km the plan's fibre is delayed for the comparison (an aligned
// run of the plan), at 80 km the refined plan's: the point's own run stands
// for the plan. A point's check gives the same figures when run again, and
// one whose refined plan cannot run fails, naming that run.
TEST_F(SweepRuns, ConvergeAddsTheVerdictOfNodrixConvergeAndChangesNoOtherColumnNorFile) {
    const fs::path here = fs::current_path();
    auto sweep = [](std::vector<std::string> more) {
        std::vector<std::string> words = {kNodrix, "sweep", kOneChannel, "--vary", "6.length_km=20,80", "-set",
                                          "3.power_mw=1", "-j", "2", "-quiet", "-o"};
        words.insert(words.end(), more.begin(), more.end());
        return words;
    };
    std::string console;
    ASSERT_EQ(testing::run_program(sweep({"plain"}), here, "plain", console), 0) << console;
    ASSERT_EQ(testing::run_program(sweep({"judged", "--converge", "--converge-tolerance", "0.04"}), here, "judged",
                                   console),
              0)
        << console;
    const auto plain = csv_rows("plain/sweep.csv");
    const auto judged = csv_rows("judged/sweep.csv");
    ASSERT_EQ(judged.size(), 2u);
    ::setenv("NODRIX_THREADS", "1", 1);
    ::setenv("NODRIX_FFT_PLANS", "estimate", 1);
    for (std::size_t k = 0; k < 2; ++k) {
        EXPECT_EQ(judged[k].size(), plain[k].size() + 3);
        for (const auto& [column, value] : plain[k])
            if (column != "wall_time_s") {
                EXPECT_EQ(judged[k].at(column), value) << column;
            }
        const std::string point = "judged/points/" + judged[k].at("point");
        auto files = files_of(point);
        const std::string parameters = files["point.toml"];
        for (const char* own : {"point.toml", "result.toml"}) files.erase(own);
        auto plain_files = files_of("plain/points/" + judged[k].at("point"));
        for (const char* own : {"point.toml", "result.toml"}) plain_files.erase(own);
        EXPECT_EQ(files, plain_files);
        EXPECT_NE(parameters.find("--factor 2 --tolerance 0.04\n"), std::string::npos) << parameters;
        EXPECT_NE(parameters.find("\n[converge]\nfactor = 2.0\ntolerance_db = 0.04"), std::string::npos) << parameters;

        const std::string length = judged[k].at("6.length_km");
        ASSERT_EQ(testing::run_program({kNodrix, "converge", kOneChannel, "-set", "3.power_mw=1", "-set",
                                        "6.length_km=" + length, "--tolerance", "0.04"},
                                       here, "converge" + length, console) >> 1,
                  0)
            << console;  // 0 converged or 1 not
        // "  1  193.1000  P  refined  change  Q  refined  change  verdict"
        std::istringstream row(console.substr(console.find("\n        1 ")));
        std::string channel, f, p, p_refined, p_change, q, q_refined, q_change, verdict;
        row >> channel >> f >> p >> p_refined >> p_change >> q >> q_refined >> q_change;
        std::getline(row, verdict);
        EXPECT_NEAR(std::stod(judged[k].at("power_change_db")), std::fabs(std::stod(p_change)), 0.0005 + 1e-9);
        EXPECT_NEAR(std::stod(judged[k].at("q_eye_change_db")), std::fabs(std::stod(q_change)), 0.0005 + 1e-9);
        EXPECT_EQ("  " + judged[k].at("convergence"), verdict) << console;
    }
    ::unsetenv("NODRIX_THREADS");
    ::unsetenv("NODRIX_FFT_PLANS");
    EXPECT_EQ(judged[0].at("convergence"), "converged");
    EXPECT_EQ(judged[1].at("convergence"), "not converged");

    const std::string first = convergence_of("judged/points/0001");
    EXPECT_NE(first, "");
    ASSERT_EQ(testing::run_program({kNodrix, "sweep", "--point", "judged/points/0001"}, here, "again", console), 0);
    EXPECT_EQ(convergence_of("judged/points/0001"), first);
    EXPECT_FALSE(fs::exists("judged/points/0001/.converge"));

    std::string parameters = file_text("judged/points/0002/point.toml");
    parameters.replace(parameters.find("factor = 2.0"), 12, "factor = 1e7");
    testing::write_text("judged/points/0002/point.toml", parameters);
    ASSERT_EQ(testing::run_program({kNodrix, "sweep", "--point", "judged/points/0002"}, here, "failing", console), 1);
    ASSERT_EQ(testing::run_program({kNodrix, "sweep", "--collect", "judged"}, here, "collect", console), 1);
    EXPECT_NE(console.find("0002 (6.length_km=80): failed: convergence check: the set-up of the refined plan did not "
                           "complete: --converge-factor: step_refinement = 10000000 is out of range; allowed: 1 to "
                           "1000\n"),
              std::string::npos)
        << console;
    EXPECT_EQ(convergence_of("judged/points/0002"), "");
}

}  // namespace
}  // namespace nodrix
