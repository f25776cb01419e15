// The schedule: memory map and delay file, and the per-sample run mode
// (initialisation rounds, then the sample loop, each block finding its records).
#include <gtest/gtest.h>

#include <vector>

#include "kernel/control_blocks.h"
#include "kernel/driver.h"
#include "kernel/lib00.h"
#include "kernel/schedule.h"
#include "kernel/storage.h"
#include "runtime/io_file.h"
#include "runtime/opxfile.h"
#include "tests/support/test_support.h"

namespace nodrix {
namespace {

class ScheduleTest : public testing::NodrixTest {};

TEST_F(ScheduleTest, TheMemoryMapIsOpenForBlocksAndTwoCallsLeaveOneCopyOfEachFile) {
    OpticalSignal out;
    std::int32_t seen = -5;
    std::vector<BlockCall> blocks(1);
    blocks[0].instance = 1;
    blocks[0].call = [&] {
        seen = current_memory_map();
        io_write_str(seen, "fiber           73\n");
    };
    blocks[0].delay_record = true;
    blocks[0].delay_output = &out;
    blocks[0].shown = &out;
    blocks[0].shown_number = 1;
    RunContext run{SimulationSettings{}};
    run_schedule(run, "p", blocks, 2);
    run_schedule(run, "p", blocks, 2);
    EXPECT_GT(seen, 0);
    EXPECT_EQ(current_memory_map(), -1);
    EXPECT_EQ(testing::read_text("x1_p.mem"),
              "NodrixMEM 1\n##\nfiber           73\nmemory 1                    0\nsignal 0001                    0\n");
    EXPECT_EQ(testing::read_bytes("x1_p.dly").size(), 4100u);
}

struct Call {
    std::int32_t pass, step, blkmode, nohist, storephase;
    float time;
    double dtime;
    std::int32_t position;
};
std::vector<Call> calls_a, calls_b;
std::vector<std::int32_t> stored;  // what block A finds in its record at each sample

void record(std::vector<Call>& calls, std::int32_t pos) {
    calls.push_back({zzctrl.pass, zzctrl.step, optcl_ctrl.blkmode, zzflmn.nohist, zzsupv.storephase, zzctrl.time,
                     zdctrl.dtime, pos});
}

void block_a() {
    const std::int32_t pos = loci(2);
    record(calls_a, pos);
    if (zzsupv.storephase == 1 && zzctrl.pass == 0 && zzflmn.nohist == 0) *ist_at(pos) = 41;
    if (zzctrl.pass != 0) {
        stored.push_back(*ist_at(pos));
        *ist_at(pos) += 1;  // state carried from sample to sample
    }
}

// Two blocks, or (skipping) a block that makes no storage look-up on even
// samples in front of block A; 0.25 ps steps up to 1 ps: five samples.
template <bool skipping>
Status two_block_schedule(RunContext& run, std::int32_t&, std::int32_t&, std::int32_t&, std::int32_t&) {
    std::vector<BlockCall> blocks(2);
    blocks[0].instance = 2;
    blocks[0].call = block_a;
    blocks[1].instance = 1;
    blocks[1].call = [] { record(calls_b, loci(5)); };
    if (skipping) {
        std::swap(blocks[0], blocks[1]);
        blocks[0].call = [] {
            if (zzctrl.pass != 0 && zzctrl.step % 2 == 0) return;
            const std::int32_t pos = loci(4);
            if (zzctrl.pass != 0) *ist_at(pos) = -1;
        };
    }
    return run_schedule(run, "ps", blocks, 3);
}

class PerSampleTest : public testing::NodrixTest {
protected:
    void SetUp() override {
        testing::NodrixTest::SetUp();
        calls_a.clear();
        calls_b.clear();
        stored.clear();
        set_per_sample_run(true);
    }
    void TearDown() override {
        set_per_sample_run(false);
        testing::NodrixTest::TearDown();
    }
    static std::int32_t run(Status (*projec)(RunContext&, std::int32_t&, std::int32_t&, std::int32_t&, std::int32_t&),
                            std::int32_t prerun = 0) {
        ProjectDescription p;
        p.name = "ps";
        p.last_instance = 2;
        p.projec = projec;
        p.constants.delt = 0.25f;
        p.schedule.tend = 1.0f;
        set_project(p);
        std::int32_t status = -1;
        topmain(prerun, status);
        return status;
    }
};

TEST_F(PerSampleTest, RunsTheInitialisationRoundsThenEverySampleInOrder) {
    EXPECT_EQ(run(two_block_schedule<false>), 0);
    EXPECT_EQ(schedule_mode(), ScheduleMode::setup);  // restored after the run
    // The dimensioning pass counts the three rounds a per-sample run makes
    // (set-up, filter writing, state); the run's initialisation call makes the
    // set-up round again and the state round with real storage; then 5 samples.
    ASSERT_EQ(calls_a.size(), 3u + 2u + 5u);
    ASSERT_EQ(calls_b.size(), calls_a.size());
    struct Round {
        std::int32_t blkmode, nohist, storephase;
    };
    const Round rounds[] = {{1, 1, 0}, {0, 1, 0}, {0, 0, 0}, {1, 1, 0}, {0, 0, 1}};
    for (std::size_t k = 0; k < 5; ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ(calls_a[k].pass, 0);
        EXPECT_EQ(calls_a[k].blkmode, rounds[k].blkmode);
        EXPECT_EQ(calls_a[k].nohist, rounds[k].nohist);
        EXPECT_EQ(calls_a[k].storephase, rounds[k].storephase);
    }
    EXPECT_EQ(calls_a[4].position, 3);      // first record of the integer kind
    EXPECT_EQ(calls_b[4].position, 4 + 3);  // the next record
    for (std::size_t k = 5; k < calls_a.size(); ++k) {
        const std::int32_t step = static_cast<std::int32_t>(k) - 4;
        EXPECT_EQ(calls_a[k].pass, 1);
        EXPECT_EQ(calls_a[k].step, step);
        EXPECT_EQ(calls_a[k].time, 0.25f * static_cast<float>(step - 1));
        EXPECT_EQ(calls_a[k].dtime, 0.25 * (step - 1));
        EXPECT_EQ(calls_a[k].position, 3);  // every sample finds its own record
        EXPECT_EQ(calls_b[k].position, 7);
        EXPECT_EQ(calls_b[k].step, step);  // both blocks see the same round
    }
    EXPECT_EQ(stored, (std::vector<std::int32_t>{41, 42, 43, 44, 45}));
    EXPECT_EQ(calls_a.back().time, 1.0f);  // the last round reaches tend
    EXPECT_EQ(last_sample_count(), 5);
}

TEST_F(PerSampleTest, ABlockSkippingItsLookUpsDoesNotShiftTheRecordsAfterIt) {
    run(two_block_schedule<true>);
    EXPECT_EQ(stored, (std::vector<std::int32_t>{41, 42, 43, 44, 45}));
    for (std::size_t k = 4; k < calls_a.size(); ++k) EXPECT_EQ(calls_a[k].position, 6 + 3);
}

TEST_F(PerSampleTest, DimensioningCountsTheStateRound) {
    // The block asks for more storage when it keeps its state.
    auto state_hungry = [](RunContext& run, std::int32_t&, std::int32_t&, std::int32_t&, std::int32_t&) {
        std::vector<BlockCall> blocks(1);
        blocks[0].instance = 1;
        blocks[0].call = [] {
            loch(10);
            if (zzflmn.nohist == 0) loch(1000);
        };
        return run_schedule(run, "ps", blocks, 2);
    };
    run(state_hungry, 1);
    EXPECT_EQ(zzmax.h, 12 + 1002);
    set_per_sample_run(false);
    run(state_hungry, 1);
    EXPECT_EQ(zzmax.h, 12);
}

// A block that reports an error at one sample (0: at every set-up call), and
// the samples it was called for.
std::int32_t failing_step = 0;
std::int64_t samples_seen = 0;
Status failing_schedule(RunContext& run, std::int32_t&, std::int32_t&, std::int32_t&, std::int32_t&) {
    std::vector<BlockCall> blocks(1);
    blocks[0].instance = 1;
    blocks[0].label = "block 1 (probe)";
    blocks[0].call = [] {
        loci(1);
        if (zzctrl.pass != 0) ++samples_seen;
        if (zzctrl.pass == 0 ? failing_step == 0 : zzctrl.step == failing_step) opxerr("it fails");
    };
    return run_schedule(run, "ps", blocks, 2);
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
        failing_step = c.step;
        samples_seen = 0;
        opxinit();
        ::testing::internal::CaptureStderr();
        run(failing_schedule);
        const std::string messages = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(samples_seen, c.samples);
        EXPECT_EQ(last_run_simulated(), c.simulated);
        EXPECT_EQ(messages.substr(0, c.messages.size()), c.messages);
    }
    set_error_policy({});
}

TEST_F(PerSampleTest, TheRunsSetUpRoundCountsApartFromTheDimensioningPass) {
    // A run's initialisation call, the dimensioning pass having counted 2e9
    // reals: its set-up round counts 2e8 more, which added to them would pass
    // what the kernel can address.
    std::vector<BlockCall> blocks(1);
    blocks[0].instance = 1;
    blocks[0].call = [] { loch(zzsupv.storephase == 0 ? 200000000 : 1); };
    set_schedule_mode(ScheduleMode::per_sample);
    zzmax.h = 2000000000;
    zzsupv.storephase = 1;
    zzctrl.pass = 0;
    ::testing::internal::CaptureStderr();
    RunContext run{SimulationSettings{}};
    run_schedule(run, "ps", blocks, 2);
    const std::string messages = ::testing::internal::GetCapturedStderr();
    set_schedule_mode(ScheduleMode::setup);
    std::int32_t errors = -1;
    opxget(&errors, nullptr);
    EXPECT_EQ(errors, 0) << messages;
    EXPECT_EQ(zzmax.h, 2000000000);  // the dimensioning pass's count stays
}

}  // namespace
}  // namespace nodrix
