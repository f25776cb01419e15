// The per-sample run mode of the schedule: initialisation rounds and the
// sample loop.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "kernel/control_blocks.h"
#include "kernel/driver.h"
#include "kernel/schedule.h"
#include "kernel/storage.h"
#include "tests/support/test_support.h"

namespace nodrix {
namespace {

struct Call {
    std::int32_t pass, step, blkmode, nohist, storephase;
    float time;
    double dtime;
    std::int32_t position;
};
std::vector<Call> calls_a;
std::vector<Call> calls_b;
std::vector<std::int32_t> stored;  // what block A stored in its state round

void block_a() {
    const std::int32_t pos = loci(2);
    calls_a.push_back({zzctrl.pass, zzctrl.step, optcl_ctrl.blkmode, zzflmn.nohist, zzsupv.storephase, zzctrl.time,
                       zdctrl.dtime, pos});
    if (zzsupv.storephase == 1 && zzctrl.pass == 0 && zzflmn.nohist == 0) *ist_at(pos) = 41;
    if (zzctrl.pass != 0) {
        stored.push_back(*ist_at(pos));
        *ist_at(pos) += 1;  // state carried from sample to sample
    }
}

void block_b() {
    const std::int32_t pos = loci(5);
    calls_b.push_back({zzctrl.pass, zzctrl.step, optcl_ctrl.blkmode, zzflmn.nohist, zzsupv.storephase, zzctrl.time,
                       zdctrl.dtime, pos});
}

void two_block_schedule(std::int32_t&, std::int32_t&, std::int32_t&, std::int32_t&) {
    std::vector<BlockCall> blocks(2);
    blocks[0].instance = 2;
    blocks[0].call = block_a;
    blocks[1].instance = 1;
    blocks[1].call = block_b;
    ScheduleConstants k;
    k.tend = 1.0f;  // 0.25 ps steps: samples at 0, 0.25, 0.5, 0.75, 1.0
    run_schedule("ps", blocks, 3, k);
}

class PerSampleTest : public testing::NodrixTest {
protected:
    void SetUp() override {
        testing::NodrixTest::SetUp();
        calls_a.clear();
        calls_b.clear();
        stored.clear();
        ProjectDescription p;
        p.name = "ps";
        p.last_instance = 2;
        p.projec = two_block_schedule;
        p.constants.delt = 0.25f;
        set_project(p);
    }
    void TearDown() override {
        set_per_sample_run(false);
        testing::NodrixTest::TearDown();
    }
};

TEST_F(PerSampleTest, RunsTheInitialisationRoundsThenEverySampleInOrder) {
    set_per_sample_run(true);
    std::int32_t prerun = 0;
    std::int32_t status = -1;
    topmain(prerun, status);
    EXPECT_EQ(status, 0);
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
    EXPECT_EQ(calls_a[4].position, 3);           // first record of the integer kind
    EXPECT_EQ(calls_b[4].position, 4 + 3);       // the next record
    for (std::size_t k = 5; k < calls_a.size(); ++k) {
        const std::int32_t step = static_cast<std::int32_t>(k) - 4;
        EXPECT_EQ(calls_a[k].pass, 1);
        EXPECT_EQ(calls_a[k].step, step);
        EXPECT_EQ(calls_a[k].time, 0.25f * static_cast<float>(step - 1));
        EXPECT_EQ(calls_a[k].dtime, 0.25 * (step - 1));
        EXPECT_EQ(calls_a[k].position, 3);  // every sample finds its own record
        EXPECT_EQ(calls_b[k].position, 7);
        EXPECT_EQ(calls_b[k].step, step);   // both blocks see the same round
    }
    EXPECT_EQ(stored, (std::vector<std::int32_t>{41, 42, 43, 44, 45}));
    EXPECT_EQ(calls_a.back().time, 1.0f);  // the last round reaches tend
    EXPECT_EQ(last_sample_count(), 5);
    // The memory map is the dimensioning pass's.
    EXPECT_EQ(testing::read_text("x1_ps.mem"),
              "NodrixMEM 1\n##\nmemory 2                   16\nmemory 1                   28\n");
}

// A block that skips its storage look-ups on some samples (outside its
// window) must not shift the records the blocks after it find.
void skipping_schedule(std::int32_t&, std::int32_t&, std::int32_t&, std::int32_t&) {
    std::vector<BlockCall> blocks(2);
    blocks[0].instance = 1;
    blocks[0].call = [] {
        if (zzctrl.pass != 0 && zzctrl.step % 2 == 0) return;  // no look-up on even samples
        const std::int32_t pos = loci(4);
        if (zzctrl.pass != 0) *ist_at(pos) = -1;
    };
    blocks[1].instance = 2;
    blocks[1].call = block_a;
    ScheduleConstants k;
    k.tend = 1.0f;
    run_schedule("ps", blocks, 3, k);
}

TEST_F(PerSampleTest, EachBlockStartsFromItsOwnRecords) {
    ProjectDescription p = current_project();
    p.projec = skipping_schedule;
    set_project(p);
    set_per_sample_run(true);
    std::int32_t prerun = 0;
    std::int32_t status = -1;
    topmain(prerun, status);
    EXPECT_EQ(stored, (std::vector<std::int32_t>{41, 42, 43, 44, 45}));
    for (std::size_t k = 4; k < calls_a.size(); ++k) EXPECT_EQ(calls_a[k].position, 6 + 3);
}

// A block that asks for more storage when it keeps its state: the
// dimensioning pass of a per-sample run counts that too.
void state_hungry_schedule(std::int32_t&, std::int32_t&, std::int32_t&, std::int32_t&) {
    std::vector<BlockCall> blocks(1);
    blocks[0].instance = 1;
    blocks[0].call = [] {
        loch(10);
        if (zzflmn.nohist == 0) loch(1000);
    };
    run_schedule("ps", blocks, 2);
}

TEST_F(PerSampleTest, DimensioningCountsTheStateRound) {
    ProjectDescription p = current_project();
    p.projec = state_hungry_schedule;
    set_project(p);
    set_per_sample_run(true);
    std::int32_t prerun = 1;
    std::int32_t status = -1;
    topmain(prerun, status);
    EXPECT_EQ(zzmax.h, 12 + 1002);
    set_per_sample_run(false);
    topmain(prerun, status);
    EXPECT_EQ(zzmax.h, 12);
}

TEST_F(PerSampleTest, WithoutTheOptionTheRunsStayInitialisationCalls) {
    std::int32_t prerun = 0;
    std::int32_t status = -1;
    topmain(prerun, status);
    EXPECT_EQ(calls_a.size(), 3u);
    for (const Call& c : calls_a) {
        EXPECT_EQ(c.pass, 0);
        EXPECT_EQ(c.blkmode, 1);
    }
}

TEST_F(PerSampleTest, TheReferenceRunEndsOnTheSampleThatReachesTend) {
    // sim_160G: delt 0.0640443 ps, tend 640443.06 ps: about 10^7 samples.
    const float delt = 0.0640443f;
    const float tend = 640443.06f;
    std::int64_t step = 1;
    while (static_cast<float>(static_cast<double>(step - 1) * delt) < tend) ++step;
    EXPECT_NEAR(static_cast<double>(step), 1e7, 2.0);
}

}  // namespace
}  // namespace nodrix
