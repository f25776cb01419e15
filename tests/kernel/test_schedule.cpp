// The schedule: memory map and delay file, and the per-sample run mode
// (initialisation rounds, then the sample loop).
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "kernel/driver.h"
#include "kernel/lib00.h"
#include "kernel/schedule.h"
#include "runtime/io_file.h"
#include "runtime/opxfile.h"
#include "tests/support/test_support.h"

namespace nodrix {
namespace {

std::vector<BlockCall> one_block(std::function<void(const RunContext&)> design,
                                 std::function<void(const RunContext&)> run = nullptr) {
    std::vector<BlockCall> blocks(1);
    blocks[0].instance = 1;
    blocks[0].label = "block 1 (probe)";
    blocks[0].block = std::make_unique<testing::ScriptedBlock>(std::move(design), std::move(run));
    return blocks;
}

class ScheduleTest : public testing::NodrixTest {};

TEST_F(ScheduleTest, TheMemoryMapIsOpenForBlocksAndTwoCallsLeaveOneCopyOfEachFile) {
    OpticalSignal out;
    std::int32_t seen = -5;
    std::vector<BlockCall> blocks = one_block([&](const RunContext&) {
        seen = current_memory_map();
        io_write_str(seen, "fiber           73\n");
    });
    blocks[0].delay_record = true;
    blocks[0].delay_output = &out;
    blocks[0].shown = &out;
    blocks[0].shown_number = 1;
    RunContext run{SimulationSettings{}};
    run_schedule(run, "p", blocks);
    run_schedule(run, "p", blocks);
    EXPECT_GT(seen, 0);
    EXPECT_EQ(current_memory_map(), -1);
    EXPECT_EQ(testing::read_text("x1_p.mem"),
              "NodrixMEM 1\n##\nfiber           73\nmemory 1                    0\nsignal 0001                    0\n");
    EXPECT_EQ(testing::read_bytes("x1_p.dly").size(), 4100u);
}

class PerSampleTest : public testing::NodrixTest {
protected:
    void SetUp() override {
        testing::NodrixTest::SetUp();
        set_per_sample_run(true);
    }
    void TearDown() override {
        set_per_sample_run(false);
        testing::NodrixTest::TearDown();
    }
    // A run of 0.25 ps steps up to 1 ps (five samples) of these blocks.
    static std::int32_t run(std::vector<BlockCall>& blocks, std::int32_t prerun = 0) {
        ProjectDescription p;
        p.name = "ps";
        p.projec = [&blocks](RunContext& run, std::int32_t&, std::int32_t&, std::int32_t&, std::int32_t&) {
            return run_schedule(run, "ps", blocks);
        };
        p.constants.delt = 0.25f;
        p.schedule.tend = 1.0f;
        set_project(p);
        std::int32_t status = -1;
        topmain(prerun, status);
        return status;
    }
};

TEST_F(PerSampleTest, DimensioningCountsTheStateRound) {
    // The block claims more storage when it keeps its state.
    std::vector<BlockCall> blocks = one_block([](const RunContext& ctx) {
        ctx.storage().account(SlotKind::real, 10);
        if (ctx.keeps_state()) ctx.storage().account(SlotKind::real, 1000);
    });
    run(blocks);
    EXPECT_EQ(last_storage_maxima().h, 12 + 1002);
    set_per_sample_run(false);
    run(blocks);
    EXPECT_EQ(last_storage_maxima().h, 12);
}

TEST_F(PerSampleTest, UnderTheStopPolicyAnErrorEndsTheRunAfterItsRound) {
    struct Case {
        ErrorPolicy policy;
        std::int32_t step;  // the sample that fails, 0 the set-up
        std::int64_t samples;
        bool simulated;
        std::string messages;
    };
    const Case cases[] = {
        {{true, true, false}, 3, 3, false, "Nodrix-E-block 1 (probe): it fails\n"},
        {{true, true, false}, 0, 0, false, "Nodrix-E-block 1 (probe): it fails\n"},
        // The project executable's ways: the run goes on.
        {{}, 3, 5, true, "Nodrix-E-it fails\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.step);
        set_error_policy(c.policy);
        std::int64_t samples = 0;
        std::vector<BlockCall> blocks = one_block(
            [&c](const RunContext&) {
                if (c.step == 0) opxerr("it fails");
            },
            [&](const RunContext& ctx) {
                ++samples;
                if (ctx.step() == c.step) opxerr("it fails");
            });
        opxinit();
        ::testing::internal::CaptureStderr();
        run(blocks);
        const std::string messages = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(samples, c.samples);
        EXPECT_EQ(last_run_simulated(), c.simulated);
        EXPECT_EQ(messages.substr(0, c.messages.size()), c.messages);
    }
    set_error_policy({});
}

// The sample loop keeps the origin of the call under way for its messages,
// instead of setting it around each call: each of several blocks, in every
// phase, sees its own label, and the origin is none once the loop is over.
TEST_F(PerSampleTest, EveryBlockCallIsTheOriginOfItsMessages) {
    std::vector<std::string> seen[3];
    std::vector<BlockCall> blocks(3);
    for (int i = 0; i < 3; ++i) {
        blocks[i].instance = i + 1;
        blocks[i].label = "block " + std::to_string(i + 1) + " (probe)";
        auto note = [&seen, i](const RunContext&) {
            const char* origin = current_message_origin();
            seen[i].push_back(origin != nullptr ? origin : "none");
        };
        auto run = [note, i](const RunContext& ctx) {
            note(ctx);
            if (i == 1 && ctx.step() == 2) opxwarn("it warns");
        };
        blocks[i].block = std::make_unique<testing::ScriptedBlock>(note, run);
    }
    set_error_policy({false, true, false});
    ::testing::internal::CaptureStderr();
    run(blocks);
    const std::string messages = ::testing::internal::GetCapturedStderr();
    set_error_policy({});
    EXPECT_EQ(messages, "Nodrix-W-block 2 (probe): it warns\n");
    for (int i = 0; i < 3; ++i) {
        ASSERT_GT(seen[i].size(), 5u);  // the designs, then five samples
        for (const std::string& origin : seen[i]) EXPECT_EQ(origin, blocks[i].label);
    }
    EXPECT_EQ(current_message_origin(), nullptr);
}

TEST_F(PerSampleTest, TheRunsSetUpRoundCountsApartFromTheDimensioningPass) {
    // A run's initialisation call, the dimensioning pass having counted 2e9
    // reals: its set-up round counts 2e8 more, which added to them would pass
    // what the kernel can address.
    std::vector<BlockCall> blocks =
        one_block([](const RunContext& ctx) { ctx.storage().account(SlotKind::real, ctx.keeps_state() ? 1 : 200000000); });
    set_schedule_mode(ScheduleMode::per_sample);
    RunContext run{SimulationSettings{}};
    StorageCounts counted{};
    counted.h = 2000000000;
    run.storage().set_counts(counted);
    run.enter_driver_call(DriverCall::initialisation);
    ::testing::internal::CaptureStderr();
    run_schedule(run, "ps", blocks);
    const std::string messages = ::testing::internal::GetCapturedStderr();
    set_schedule_mode(ScheduleMode::setup);
    std::int32_t errors = -1;
    opxget(&errors, nullptr);
    EXPECT_EQ(errors, 0) << messages;
    EXPECT_EQ(run.storage().counts().h, 2000000000);  // the dimensioning pass's count stays
}

}  // namespace
}  // namespace nodrix
