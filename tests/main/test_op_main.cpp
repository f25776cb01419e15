// The entry: option spellings, log file, exit statuses.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "kernel/control_blocks.h"
#include "kernel/driver.h"
#include "kernel/schedule.h"
#include "kernel/storage.h"
#include "kernel/storage_limits.h"
#include "main/op_main.h"
#include "runtime/opxfile.h"
#include "tests/support/test_support.h"
#include "xu/xu_msg.h"

namespace nodrix {
namespace {

namespace fs = std::filesystem;

int schedule_calls = 0;
bool report_error = false;
bool need_too_much = false;

void test_schedule(std::int32_t&, std::int32_t&, std::int32_t&, std::int32_t&) {
    ++schedule_calls;
    std::vector<BlockCall> blocks(1);
    blocks[0].instance = 1;
    blocks[0].call = [] {
        opxtrace("block information");
        if (report_error) opxerr("block failed");
        if (need_too_much) loch(limits::kMaxH);
    };
    run_schedule("sim_160G", blocks, 2);
}

class EntryTest : public testing::NodrixTest {
protected:
    void SetUp() override {
        testing::NodrixTest::SetUp();
        xu_MsgReset();
        schedule_calls = 0;
        report_error = false;
        need_too_much = false;
        ProjectDescription p;
        p.projec = test_schedule;
        set_project(p);
    }
    int run(std::vector<std::string> words) {
        xu_MsgReset();  // the entry creates the message context itself
        words.insert(words.begin(), "sim_160G");
        std::vector<char*> argv;
        for (auto& w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        ::testing::internal::CaptureStderr();
        const int status = op_main(static_cast<int>(words.size()), argv.data());
        out_ = ::testing::internal::GetCapturedStderr();
        return status;
    }
    std::string out_;
};

TEST_F(EntryTest, RunsEverythingAndVerboseShowsInformationLines) {
    EXPECT_EQ(run({"-VERBOSE"}), 0);
    EXPECT_EQ(schedule_calls, 3);
    EXPECT_EQ(out_,
              "Nodrix-I-Dimensioning pass 1 of project sim_160G\n"
              "Nodrix-I-block information\n"
              "Nodrix-I-Storage counted: H 2, I 2, C 2, D 2, Z 2, ZD 2, HT 2, IT 2, CT 2\n"
              "Nodrix-I-Run 1: initialisation\n"
              "Nodrix-I-block information\n"
              "Nodrix-I-Run 1: second call\n"
              "Nodrix-I-block information\n");
    EXPECT_EQ(run({}), 0);
    EXPECT_EQ(out_, "");  // without the option nothing is shown
    EXPECT_EQ(schedule_calls, 6);
    EXPECT_TRUE(fs::exists("x1_sim_160g.mem"));
}

TEST_F(EntryTest, LogOptionSpellings) {
    report_error = true;
    // An absolute path starts with '/': it is still the value, not an option.
    const std::string log = (dir_ / "run.log").string();
    EXPECT_EQ(run({"/LOG", log, "unknown", "-verb", "-logfile", "-warning"}), 1);
    const std::string logged = testing::read_text(log);
    EXPECT_EQ(logged, "Nodrix-E-block failed\nNodrix-E-block failed\nNodrix-E-block failed\n");
    EXPECT_EQ(out_, logged);  // the console still gets every line
    EXPECT_EQ(run({"-log", log}), 1);  // opened for appending
    EXPECT_EQ(testing::read_text(log), logged + logged);
}

TEST_F(EntryTest, OptionsThatStopAfterTheDimensioningPass) {
    // "-log" followed by an option has no value: no log file, and the option still counts.
    struct Case {
        std::vector<std::string> words;
        bool per_sample;
    };
    for (const Case& c : {Case{{"/prerun", "-PreRun"}, false}, Case{{"simulate", "-prerun"}, true},
                          Case{{"-SIMULATE", "-prerun"}, true}, Case{{"-log", "-prerun"}, false},
                          Case{{"-window", "30720", "-prerun"}, false}}) {
        SCOPED_TRACE(c.words[0]);
        schedule_calls = 0;
        EXPECT_EQ(run(c.words), 0);
        EXPECT_EQ(schedule_calls, 1);
        EXPECT_EQ(per_sample_run(), c.per_sample);
        set_per_sample_run(false);
    }
    EXPECT_EQ(current_project().schedule.twinin, 30720.0f);
    for (const auto& entry : fs::directory_iterator(dir_)) EXPECT_NE(entry.path().extension(), ".log");
}

TEST_F(EntryTest, LimitsExceededGiveThreeAndErrorsTakePrecedence) {
    need_too_much = true;
    EXPECT_EQ(run({}), 3);
    EXPECT_TRUE(fs::exists("x0_sim_160g.hst"));
    report_error = true;
    EXPECT_EQ(run({}), 1);
}

TEST_F(EntryTest, BadSourceWindowsRunNothing) {
    for (const char* bad : {"abc", "-5", "0", "12ps"}) {
        schedule_calls = 0;
        EXPECT_EQ(run({"-window", bad}), 1) << bad;
        EXPECT_EQ(schedule_calls, 0) << bad;  // nothing runs
        if (std::string(bad) == "abc") {
            EXPECT_EQ(out_, "Nodrix-E-Bad source window length: abc; give a positive number of ps\n");
        }
    }
    EXPECT_EQ(run({"-window"}), 1);
    EXPECT_EQ(out_, "Nodrix-E-Bad source window length: (none); give a positive number of ps\n");
}

TEST_F(EntryTest, HelpPrintsTheUsageAndRunsNothing) {
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(run({"-help"}), 0);
    const std::string help = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(schedule_calls, 0);
    EXPECT_NE(help.find("Usage: sim_160G [-verbose] [-prerun] [-simulate] [-window PS]"), std::string::npos);
    EXPECT_NE(help.find("Exit status: 0 done, 1 an error was reported, 3 the kernel storage limits"), std::string::npos);
    EXPECT_NE(help.find("Environment: BNLIB names the directory of the FFT plan wisdom file opwis.pln"),
              std::string::npos);
    EXPECT_NE(help.find("NODRIX_FFT_PLANS=estimate plans without measuring"), std::string::npos);
    EXPECT_NE(help.find("NODRIX_THREADS=1 keeps the fibre's transforms on one thread"), std::string::npos);
}

TEST_F(EntryTest, ErrorCheckForGeneratedCode) {
    xu_MsgInit("Nodrix", 56, nullptr, nullptr);
    EXPECT_EQ(opxmain_serck(), 0);
    EXPECT_EXIT(
        {
            opxerr("x");
            opxmain_serck();
        },
        ::testing::ExitedWithCode(1), "Nodrix-E-x");
}

}  // namespace
}  // namespace nodrix
