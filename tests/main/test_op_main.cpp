// The entry: option spellings, log file, exit statuses.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "kernel/driver.h"
#include "kernel/schedule.h"
#include "kernel/storage.h"
#include "main/op_main.h"
#include "runtime/opxfile.h"
#include "tests/support/test_support.h"
#include "xu/xu_msg.h"

namespace nodrix {
namespace {

namespace fs = std::filesystem;

int schedule_calls = 0;
// What the run's last schedule call saw of the driver's words.
bool seen_per_sample = false;
float seen_window = 0.0f;
bool report_error = false;
bool need_too_much = false;
std::int32_t reals_wanted = 0;

Status test_schedule(RunContext& run, std::int32_t&, std::int32_t&, std::int32_t&, std::int32_t&) {
    ++schedule_calls;
    seen_per_sample = per_sample_run();
    seen_window = current_project().schedule.twinin;
    std::vector<BlockCall> blocks(1);
    blocks[0].instance = 1;
    blocks[0].block = std::make_unique<testing::ScriptedBlock>([](const RunContext& ctx) {
        opxtrace("block information");
        if (report_error) opxerr("block failed");
        if (need_too_much) ctx.storage().account(SlotKind::real, kDefaultCapacities.h);
        if (reals_wanted > 0) ctx.storage().account(SlotKind::real, reals_wanted);
    });
    return run_schedule(run, "sim_160G", blocks);
}

class EntryTest : public testing::NodrixTest {
protected:
    void SetUp() override {
        testing::NodrixTest::SetUp();
        schedule_calls = 0;
        report_error = false;
        need_too_much = false;
        reals_wanted = 0;
        ProjectDescription p;
        p.projec = test_schedule;
        set_project(p);
    }
    int run(std::vector<std::string> words) {
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
    EXPECT_NE(out_.find("Nodrix-I-Run 1: second call\nNodrix-I-block information\n"), std::string::npos) << out_;
    EXPECT_EQ(run({}), 0);
    EXPECT_EQ(out_, "");  // without the option nothing is shown
    EXPECT_EQ(schedule_calls, 6);
    EXPECT_TRUE(fs::exists("x1_sim_160g.mem"));
}

// The words no option takes are still ignored, and a log file that cannot be
// opened still leaves the messages on the console alone, as scripts may
// expect; but each is named in a warning, and the run goes on unchanged.
TEST_F(EntryTest, IgnoredWordsAndAnUnopenableLogFileAreWarnedAbout) {
    const std::string ignored = "Nodrix-W-Unknown option \"";
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"-simulat"}, ignored + "-simulat\" ignored; did you mean \"-simulate\"?\n"},
        {{"simulat"}, "Nodrix-W-Unknown argument \"simulat\" ignored; did you mean \"-simulate\"?\n"},
        {{"-log", "/nonexistent/x.log"},
         "Nodrix-W-Cannot open the log file /nonexistent/x.log: No such file or directory; the messages go to "
         "the standard error only\n"},
    };
    for (const auto& [words, warning] : cases) {
        SCOPED_TRACE(::testing::PrintToString(words));
        schedule_calls = 0;
        EXPECT_EQ(run(words), 0);
        EXPECT_EQ(out_, warning);
        EXPECT_EQ(schedule_calls, 3);  // the set-up run, not a simulation
        EXPECT_FALSE(seen_per_sample);
    }
}

TEST_F(EntryTest, OptionsThatStopAfterTheDimensioningPass) {
    // "-log" followed by an option has no value: no log file, and the option
    // still counts. A run that stops after its dimensioning pass simulates
    // nothing, whatever -simulate says.
    for (const std::vector<std::string>& words :
         {std::vector<std::string>{"/prerun", "-PreRun"}, {"simulate", "-prerun"}, {"-SIMULATE", "-prerun"},
          {"-log", "-prerun"}, {"-window", "30720", "-prerun"}}) {
        SCOPED_TRACE(words[0]);
        schedule_calls = 0;
        EXPECT_EQ(run(words), 0);
        EXPECT_EQ(schedule_calls, 1);
        EXPECT_FALSE(seen_per_sample);
    }
    EXPECT_EQ(seen_window, 30720.0f);
    for (const auto& entry : fs::directory_iterator(dir_)) EXPECT_NE(entry.path().extension(), ".log");
}

TEST_F(EntryTest, LimitsExceededGiveThreeAndErrorsTakePrecedence) {
    need_too_much = true;
    EXPECT_EQ(run({}), 3);
    EXPECT_TRUE(fs::exists("x0_sim_160g.hst"));
    report_error = true;
    EXPECT_EQ(run({}), 1);
}

TEST_F(EntryTest, BadOptionValuesRunNothing) {
    // "-5" is an option, not the value; 1e-300 is positive, but no window as a real.
    const std::string window = "Nodrix-E-Bad source window length: ";
    const std::string mib = "; give a positive whole number of MiB\n";
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"-window", "abc"}, window + "abc; give a positive number of ps\n"},
        {{"-window", "1e-300"}, window + "1e-300; give a positive number of ps\n"},
        {{"-maxmem", "0"}, "Nodrix-E-Bad memory cap: 0" + mib},
        {{"-maxmem", "99999999999999999999"}, "Nodrix-E-Bad memory cap: 99999999999999999999" + mib},
        {{"-limits"}, "Nodrix-E-No limits file given: -limits FILE\n"},
        {{"-limits", "absent.hst"}, "Nodrix-E-Cannot read the limits file absent.hst\n"},
    };
    for (const auto& [words, message] : cases) {
        SCOPED_TRACE(::testing::PrintToString(words));
        schedule_calls = 0;
        EXPECT_EQ(run(words), 1);
        EXPECT_EQ(out_, message);
        EXPECT_EQ(schedule_calls, 0);
    }
}

TEST_F(EntryTest, ErrorCheckForGeneratedCode) {
    xu_MsgInit("Nodrix", 56, nullptr, nullptr);
    EXPECT_EQ(opxmain_serck(), 0);
    ::testing::internal::CaptureStderr();
    opxerr("x");
    opxerr("y");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Nodrix-E-x\nNodrix-E-y\n");
    EXPECT_EQ(opxmain_serck(), 2);
}

}  // namespace
}  // namespace nodrix
