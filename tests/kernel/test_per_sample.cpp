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
    // Dimensioning call, filter-writing round, state round, then 5 samples.
    ASSERT_EQ(calls_a.size(), 3u + 5u);
    ASSERT_EQ(calls_b.size(), calls_a.size());
    const Call& dim = calls_a[0];
    EXPECT_EQ(dim.blkmode, 1);
    EXPECT_EQ(dim.nohist, 1);
    EXPECT_EQ(dim.storephase, 0);
    const Call& writing = calls_a[1];
    EXPECT_EQ(writing.pass, 0);
    EXPECT_EQ(writing.blkmode, 0);
    EXPECT_EQ(writing.nohist, 1);
    EXPECT_EQ(writing.storephase, 0);
    const Call& state = calls_a[2];
    EXPECT_EQ(state.pass, 0);
    EXPECT_EQ(state.blkmode, 0);
    EXPECT_EQ(state.nohist, 0);
    EXPECT_EQ(state.storephase, 1);
    EXPECT_EQ(state.position, 3);               // first record of the integer kind
    EXPECT_EQ(calls_b[2].position, 4 + 3);      // the next record
    for (std::size_t k = 3; k < calls_a.size(); ++k) {
        const std::int32_t step = static_cast<std::int32_t>(k) - 2;
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
    for (std::size_t k = 2; k < calls_a.size(); ++k) EXPECT_EQ(calls_a[k].position, 6 + 3);
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
