// Whole runs under the faults a hostile user meets: a disk that fills at any
// write, a file in the way of a result, an interruption, two runs in one
// directory, an earlier run's results in the directory.
//
// The runs of a small link (every kind of file a run writes: memory map, delay
// file, limits file, reports, charts appended to, eye signal, the filters',
// fibre's and amplifier's working files) are made in forked children of the
// test, after one run in the test itself has measured the FFT plans; the
// project's own programs are started for the interruptions and the lock.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "kernel/driver.h"
#include "kernel/lib00.h"
#include "project/link.h"
#include "project/link_schedule.h"
#include "main/link_program.h"
#include "main/op_main.h"
#include "kernel/filexx.h"
#include "project/summary.h"
#include "runtime/io_file.h"
#include "runtime/run_files.h"
#include "runtime/wisdom.h"
#include "tests/support/test_support.h"
#include "xu/xu_msg.h"

namespace nodrix {
namespace {

namespace fs = std::filesystem;
using Files = std::map<std::string, std::string>;  // name -> bytes

// One channel over 1 km, amplified to a fixed power (the amplifier's
// temporary gain file), filtered with charts (appended to), measured by a
// power meter, a spectrum analyser, an estimator and an eye scope.
const std::string kLink = testing::read_text(NODRIX_TEST_DATA_DIR "/faults.toml");

// The files of a directory.
Files files_of(const fs::path& dir) {
    Files f;
    for (const auto& e : fs::directory_iterator(dir)) f[e.path().filename().string()] = testing::read_text(e.path().string());
    return f;
}

// The files of a directory with their bytes and inode numbers: a file put in
// place anew has another inode, even with the same bytes.
using Snapshot = std::map<std::string, std::pair<ino_t, std::string>>;
Snapshot snapshot(const fs::path& dir) {
    Snapshot s;
    for (const auto& [name, bytes] : files_of(dir)) {
        struct stat st{};
        ::stat((dir / name).c_str(), &st);
        s[name] = {st.st_ino, bytes};
    }
    return s;
}

std::set<std::string> names_of(const Files& f) {
    std::set<std::string> s;
    for (const auto& [name, bytes] : f) s.insert(name);
    return s;
}

// Temporary files of results (".NAME.PID.part"), lock files and working files
// (two letters, six digits): what an unfinished run must not leave.
bool unfinished_or_working(const std::string& name) {
    const bool working = name.size() == 12 && name.compare(8, 4, ".DAT") == 0 &&
                         name.find_first_not_of("0123456789", 2) == 8;
    return (name[0] == '.' && name.size() > 5 && name.compare(name.size() - 5, 5, ".part") == 0) ||
           name.find(".lck") != std::string::npos || working;
}

struct Outcome {
    int status = -1;  // exit status, or 1000 + the signal that ended the process
    std::string out, err;
};

int exit_code(int wstatus) {
    if (WIFEXITED(wstatus)) return WEXITSTATUS(wstatus);
    if (WIFSIGNALED(wstatus)) return 1000 + WTERMSIG(wstatus);
    return -1;
}

class RunFaults : public testing::NodrixTest {
protected:
    void SetUp() override {
        testing::NodrixTest::SetUp();
        // Plans measured once, by the first run, and shared with the
        // children through FFTW's wisdom (used when a wisdom file was read).
        fs::create_directory(dir_ / "wisdom");
        fftw_forget_wisdom();
        std::FILE* w = std::fopen((dir_ / "wisdom" / "opwis.pln").c_str(), "w");
        ASSERT_NE(w, nullptr);
        fftw_export_wisdom_to_file(w);
        std::fclose(w);
        ::setenv("BNLIB", (dir_ / "wisdom").c_str(), 1);
    }
    void TearDown() override {
        ::unsetenv("BNLIB");
        testing::NodrixTest::TearDown();
    }

    // The link program (sim_160G's command line) on the test link in `dir`,
    // in this process, with writes from number `fail_first` on (`fail_count`
    // of them, all with -1) failing as on a full disk. Returns the status.
    static int run_here(const fs::path& dir, const std::vector<std::string>& options,
                        const std::vector<LinkOverride>& overrides, std::int64_t fail_first, std::int64_t fail_count) {
        fs::create_directories(dir);
        fs::current_path(dir);
        reset_kernel_errors();
        set_per_sample_run(false);
        set_storage_sizing(StorageSizing{});
        auto link = load_link_text(kLink, "faults.toml", dir.string(), overrides);
        if (!link) return 99;
        LinkSchedule schedule(std::move(*link));
        std::vector<std::string> words{"faults"};
        words.insert(words.end(), options.begin(), options.end());
        std::vector<char*> argv;
        for (auto& w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        io_fail_writes(fail_first, fail_count);
        const int status = run_link_program(schedule, static_cast<int>(words.size()), argv.data());
        io_fail_writes(0, 0);
        return status;
    }

    // The same in a forked child; its console text is kept outside `dir`.
    Outcome run_child(const fs::path& dir, const std::vector<std::string>& options,
                      const std::vector<LinkOverride>& overrides = {}, std::int64_t fail_first = 0,
                      std::int64_t fail_count = 0, bool as_nobody = false) {
        const std::string out = (dir_ / "stdout").string();
        const std::string err = (dir_ / "stderr").string();
        std::fflush(nullptr);
        const pid_t pid = ::fork();
        if (pid == 0) {
            const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (o < 0 || e < 0 || ::dup2(o, 1) < 0 || ::dup2(e, 2) < 0) ::_exit(98);
            if (as_nobody && ::geteuid() == 0 && ::setuid(65534) != 0) ::_exit(97);
            ::alarm(60);  // a run that hangs fails the test instead of holding it
            const int status = run_here(dir, options, overrides, fail_first, fail_count);
            std::fflush(nullptr);
            ::_exit(status);
        }
        Outcome r;
        int wstatus = 0;
        if (pid > 0 && ::waitpid(pid, &wstatus, 0) == pid) r.status = exit_code(wstatus);
        r.out = testing::read_text(out);
        r.err = testing::read_text(err);
        return r;
    }
};

// A disk that fills at any write of a run, in a directory holding the files
// of an earlier whole run: the run ends with status 1 and an error naming a
// file and the reason, and leaves the directory exactly as it was (the same
// files, bytes and inodes): none of its files in place, no temporary, working
// or lock file. A single failed write, the disk free again after it, is never
// passed over either.
TEST_F(RunFaults, AFullDiskAtAnyWriteEndsWithStatusOneAndLeavesOnlyCompleteFiles) {
    struct Scenario {
        const char* name;
        std::vector<std::string> options;
        int status;  // of the whole run
    };
    const Scenario scenarios[] = {
        {"simulation", {"-simulate", "-autosize", "-quiet"}, 0},
        {"limits", {"-window", "1e9"}, 3},  // the set-up stops at the limits file
    };
    // The error names the file, or the directory of a scratch file, and why.
    const std::regex kNamed("Nodrix-E-Cannot write (the file [^ ]+|a scratch file in [^ ]+): No space left on device\n");
    for (const Scenario& s : scenarios) {
        SCOPED_TRACE(s.name);
        const fs::path ref = dir_ / (std::string(s.name) + "_reference");
        const std::int64_t before = io_writes_made();
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        const int status = run_here(ref, s.options, {}, 0, 0);
        ::testing::internal::GetCapturedStdout();
        const std::string messages = ::testing::internal::GetCapturedStderr();
        fs::current_path(dir_);
        ASSERT_EQ(status, s.status) << messages;
        const std::int64_t writes = io_writes_made() - before;
        const Files reference = files_of(ref);
        ASSERT_GT(writes, 20);
        ASSERT_TRUE(reference.count(s.status == 3 ? "x0_faults.hst" : "faults_EYE0013.qsg"));

        // The first writes, the last, and an even spread between.
        std::set<std::int64_t> sample{1, 2, 3, writes - 1, writes};
        for (int j = 1; j <= 12; ++j) sample.insert(1 + (writes - 1) * j / 13);
        for (const std::int64_t k : sample) {
            for (const bool full : {true, false}) {
                SCOPED_TRACE("write " + std::to_string(k) + " of " + std::to_string(writes) +
                             (full ? ", the disk full from there on" : ", that write alone"));
                const fs::path dir = dir_ / ("k" + std::to_string(k) + (full ? "full" : "one"));
                fs::copy(ref, dir);
                // An earlier limits file of small counts: the run stops at its limits again.
                if (s.status == 3) testing::write_text((dir / "x0_faults.hst").string(), "MAXH 2\n");
                const Snapshot earlier = snapshot(dir);
                const Outcome r = run_child(dir, s.options, {}, k, full ? -1 : 1);
                EXPECT_EQ(r.status, 1) << r.err;
                EXPECT_TRUE(std::regex_search(r.err, kNamed)) << r.err;
                EXPECT_TRUE(snapshot(dir) == earlier) << "the directory changed";
                fs::remove_all(dir);
            }
        }
    }
}

// A directory, or a file its user may not write (the run made by an
// ordinary user), in place of a result: an error naming it and why, status 1,
// and what was there is left as it was.
TEST_F(RunFaults, AResultThatCannotBeReplacedIsAnErrorAndKeepsWhatWasThere) {
    const fs::path dir = dir_ / "run";
    fs::create_directories(dir / "faults_OSA0006.qxy");
    testing::write_text((dir / "faults_BER0012.qxy").string(), "an earlier chart");
    fs::permissions(dir / "faults_BER0012.qxy", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    fs::permissions(dir, fs::perms::all);
    fs::permissions(dir_, fs::perms::all);
    const Outcome r = run_child(dir, {"-simulate", "-autosize", "-quiet"}, {}, 0, 0, true);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Nodrix-E-Cannot write the file faults_OSA0006.qxy: Is a directory\n"), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("Nodrix-E-Cannot write the file faults_BER0012.qxy: Permission denied\n"), std::string::npos)
        << r.err;
    EXPECT_TRUE(fs::is_directory(dir / "faults_OSA0006.qxy"));
    EXPECT_EQ(testing::read_text((dir / "faults_BER0012.qxy").string()), "an earlier chart");
    EXPECT_FALSE(fs::exists(dir / "faults_EYE0013.qsg"));  // a failed run puts none of its results in place
    for (const auto& e : fs::directory_iterator(dir)) EXPECT_FALSE(unfinished_or_working(e.path().filename().string()));
}

// A run's summary is of what it wrote: not the reports an earlier run left,
// not files it did not write; and a run that simulated nothing (stopped by
// -prerun, or by an error before the simulation) shows none, and leaves the
// earlier results as they were, with none of its working files behind.
TEST_F(RunFaults, TheSummaryIsOfWhatThisRunWroteAndOnlyOfASimulation) {
    const fs::path dir = dir_ / "run";
    Outcome r = run_child(dir, {"-simulate", "-autosize", "-quiet"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("  5 at signal 0004: "), std::string::npos) << r.out;
    const Files earlier = files_of(dir);
    ASSERT_TRUE(earlier.count("faults_OPM0005.DAT"));

    // A run cut before the power meter's window ends writes no report; the
    // earlier run's report is still there, and none of this run's results.
    r = run_child(dir, {"-simulate", "-autosize", "-quiet"}, {*parse_override("link.end_time_ps=100")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("  5 at signal 0004: no report: the run ends at 100 ps, before its measuring window opens"),
              std::string::npos)
        << r.out;
    const std::string files = r.out.substr(r.out.find("Files written\n"));
    EXPECT_EQ(files.find("faults_OPM0005.DAT"), std::string::npos) << files;
    EXPECT_NE(files.find("  faults_PST0012.DAT\n"), std::string::npos) << files;
    EXPECT_EQ(testing::read_text((dir / "faults_OPM0005.DAT").string()), earlier.at("faults_OPM0005.DAT"));

    // Nothing simulated: no summary, the earlier results untouched.
    const Files now = files_of(dir);
    for (const std::vector<std::string>& options :
         {std::vector<std::string>{"-simulate", "-prerun"}, {"-simulate", "-autosize", "-maxmem", "1"}}) {
        SCOPED_TRACE(options.back());
        r = run_child(dir, options);
        EXPECT_EQ(r.out, "");
        for (const auto& [name, bytes] : now) {
            if (name.rfind("faults_", 0) != 0) continue;
            EXPECT_TRUE(testing::read_text((dir / name).string()) == bytes) << name;
        }
        for (const auto& e : fs::directory_iterator(dir))
            EXPECT_EQ(e.path().filename().string().rfind("o", 0), std::string::npos) << e.path();  // no fibre files
    }
}

// An estimator report an earlier run left is none of this run's results.
TEST_F(RunFaults, AnEstimatorReportOfAnEarlierRunIsNotReadAsThisRunsResult) {
    auto link = load_link_text(kLink, "faults.toml", dir_.string(), {});
    ASSERT_TRUE(link.has_value());
    LinkSchedule schedule(std::move(*link));
    std::string w[] = {"faults", "-simulate", "-autosize", "-quiet"};
    char* argv[] = {w[0].data(), w[1].data(), w[2].data(), w[3].data(), nullptr};
    set_project(schedule.project());
    // The results are read within the run, which owns its files.
    ASSERT_EQ(op_main(4, argv, [&](int) {
                  ASSERT_EQ(run_results(schedule).channels.at(0).state, ChannelResult::State::measured);
                  begin_run_files();  // a next run that has written nothing yet
                  EXPECT_EQ(run_results(schedule).channels.at(0).state, ChannelResult::State::no_report);
              }),
              0);
}

// A simulation whose storage does not fit stops with status 3 and the limits
// file, and leaves none of the working files its dimensioning pass wrote; a
// set-up run keeps the filters' hand-over files, as it always did.
TEST_F(RunFaults, AStoppedSimulationLeavesNoWorkingFiles) {
    Outcome r = run_child(dir_ / "simulation", {"-simulate", "-window", "1e9"});
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_EQ(names_of(files_of(dir_ / "simulation")),
              (std::set<std::string>{"x0_faults.hst", "x1_faults.dly", "x1_faults.mem"}));
    r = run_child(dir_ / "setup", {"-window", "1e9"});
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_EQ(names_of(files_of(dir_ / "setup")),
              (std::set<std::string>{"kn000009.DAT", "kp000009.DAT", "rc000009.DAT", "x0_faults.hst",
                                     "x1_faults.dly", "x1_faults.mem"}));
}

// ---- The programs, interrupted and run twice in one directory ----

// Starts a program in `dir`, its standard error into `err`; with `stop_at`,
// it stops itself at that moment of its run (NODRIX_STOP_AT).
pid_t start(const fs::path& dir, const std::vector<std::string>& words, const fs::path& err,
            const std::string& stop_at = "") {
    std::vector<std::string> w = words;
    std::vector<char*> argv;
    for (auto& s : w) argv.push_back(s.data());
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::unsetenv("BNLIB");
        if (!stop_at.empty()) ::setenv("NODRIX_STOP_AT", stop_at.c_str(), 1);
        const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int o = ::open("/dev/null", O_WRONLY);
        if (::chdir(dir.c_str()) != 0 || e < 0 || o < 0 || ::dup2(o, 1) < 0 || ::dup2(e, 2) < 0) ::_exit(127);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

int wait_for(pid_t pid) {
    int wstatus = 0;
    return ::waitpid(pid, &wstatus, 0) == pid ? exit_code(wstatus) : -1;
}

// Whether a child started with a moment to stop at has stopped there.
bool stopped(pid_t pid) {
    int wstatus = 0;
    return ::waitpid(pid, &wstatus, WUNTRACED) == pid && WIFSTOPPED(wstatus);
}

class Programs : public testing::NodrixTest {};

// SIGINT or SIGTERM at each moment of a set-up run of sim_160G, of a
// simulation, of nodrix run -o and of nodrix check, in a directory holding
// the complete set-up of sim_160G and a complete run of a small link: status
// 130 or 143, the message, and the directory exactly as it was (the same
// files, bytes and inodes): no earlier file removed or replaced, none of the
// run's files (results, hand-over, working, scratch) left.
TEST_F(Programs, AnInterruptedRunLeavesTheEarlierFilesExactlyAsTheyWere) {
    const std::string one_channel = std::string(NODRIX_PROJECTS_DIR) + "/one_channel.toml";
    const fs::path err = dir_ / "err";
    const fs::path dir = dir_ / "run";
    fs::create_directory(dir);
    ASSERT_EQ(wait_for(start(dir, {NODRIX_SIM_160G, "-autosize"}, err)), 0);
    ASSERT_EQ(wait_for(start(dir, {NODRIX_NODRIX, "run", one_channel, "-simulate", "-o", "."}, err)), 0);
    const Snapshot earlier = snapshot(dir);
    ASSERT_GT(earlier.size(), 40u);
    struct Case { std::vector<std::string> words; const char* moment; int signal; };
    const std::vector<std::string> setup = {NODRIX_SIM_160G, "-autosize"};
    const Case cases[] = {
        {setup, "run-locked", SIGINT},
        {setup, "dimensioned", SIGTERM},
        {setup, "initialised", SIGINT},
        {setup, "run-ending", SIGTERM},
        {{NODRIX_SHORT_SIMULATION, "-simulate", "-window", "30720", "-autosize"}, "initialised", SIGINT},
        {{NODRIX_NODRIX, "run", one_channel, "-simulate", "-o", "."}, "run-locked", SIGINT},
        {{NODRIX_NODRIX, "run", one_channel, "-simulate", "-o", "."}, "run-ending", SIGTERM},
        {{NODRIX_NODRIX, "check", one_channel}, "run-locked", SIGINT},
        {{NODRIX_NODRIX, "check", one_channel}, "dimensioned", SIGTERM},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.words[0] + " " + c.words[1] + " at " + c.moment);
        const pid_t pid = start(dir, c.words, err, c.moment);
        ASSERT_TRUE(stopped(pid));
        ::kill(pid, c.signal);
        ::kill(pid, SIGCONT);
        EXPECT_EQ(wait_for(pid), 128 + c.signal);
        EXPECT_EQ(testing::read_text(err.string()), std::string("Nodrix-E-Interrupted by ") +
                                                        (c.signal == SIGINT ? "SIGINT" : "SIGTERM") +
                                                        ": the run's unfinished and working files are removed\n");
        const Snapshot now = snapshot(dir);
        EXPECT_TRUE(now == earlier) << now.size() << " files instead of " << earlier.size();
    }
}

// nodrix converge passes SIGINT or SIGTERM on to its run under way (here
// held at its lock, or still on its way there), which removes its files and
// ends; the verb starts no second run, removes its scratch directory, says
// so and ends with 128 + the signal.
TEST_F(Programs, ConvergePassesAnInterruptionOnToItsRun) {
    const std::string one_channel = std::string(NODRIX_PROJECTS_DIR) + "/one_channel.toml";
    const fs::path err = dir_ / ".." / (dir_.filename().string() + ".err");
    for (const int signal : {SIGINT, SIGTERM}) {
        const std::string name = signal == SIGINT ? "SIGINT" : "SIGTERM";
        SCOPED_TRACE(name);
        const pid_t pid = start(dir_, {NODRIX_NODRIX, "converge", one_channel}, err, "converge-run-started,run-locked");
        ASSERT_TRUE(stopped(pid));
        ::kill(pid, signal);
        ::kill(pid, SIGCONT);
        EXPECT_EQ(wait_for(pid), 128 + signal);
        EXPECT_EQ(testing::read_text(err.string()),
                  "Nodrix-E-Interrupted by " + name + ": the run's unfinished and working files are removed\n" +
                      "Nodrix-E-nodrix converge: interrupted by " + name + ": " + one_channel + " is not judged\n");
        EXPECT_TRUE(fs::is_empty(dir_));
    }
    fs::remove(err);
}

// Two set-up runs in one directory: the second, started while the first
// holds the lock, stops at once with an error naming the first, status 1,
// and touches nothing; the first goes on. A run killed outright does not
// block the next.
TEST_F(Programs, OneRunPerDirectory) {
    const fs::path err_a = dir_ / ".." / (dir_.filename().string() + ".a");
    const fs::path err_b = dir_ / ".." / (dir_.filename().string() + ".b");
    const pid_t first = start(dir_, {NODRIX_SIM_160G, "-autosize"}, err_a, "run-locked");
    ASSERT_TRUE(stopped(first));
    const Snapshot locked = snapshot(dir_);
    EXPECT_EQ(wait_for(start(dir_, {NODRIX_SIM_160G, "-autosize"}, err_b)), 1);
    EXPECT_TRUE(snapshot(dir_) == locked) << "the refused run changed the directory";
    ::kill(first, SIGCONT);
    EXPECT_EQ(wait_for(first), 0);
    EXPECT_EQ(testing::read_text(err_b.string()),
              "Nodrix-E-Another run of sim_160G (process " + std::to_string(first) +
                  ") is working in this directory (lock file x1_sim_160g.lck); wait for it to end, or run in another "
                  "directory\n");
    fs::remove(err_a);
    fs::remove(err_b);

    const fs::path dir = dir_ / "killed";
    fs::create_directory(dir);
    const pid_t killed = start(dir, {NODRIX_SIM_160G, "-autosize"}, dir_ / "err", "dimensioned");
    ASSERT_TRUE(stopped(killed));
    ::kill(killed, SIGKILL);
    EXPECT_EQ(wait_for(killed), 1000 + SIGKILL);
    // The next run goes past the lock (to stop at once at its storage cap).
    const pid_t next = start(dir, {NODRIX_SIM_160G, "-maxmem", "1"}, dir_ / "err");
    EXPECT_EQ(wait_for(next), 1);
    EXPECT_EQ(testing::read_text((dir_ / "err").string()),
              "Nodrix-E-The kernel storage needs 8 MiB, more than the memory cap of 1 MiB\n");
    EXPECT_FALSE(fs::exists(dir / "x1_sim_160g.lck"));
}

}  // namespace
}  // namespace nodrix
