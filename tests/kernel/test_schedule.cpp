// The schedule mechanism: memory map, delay file, per-block steps.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "kernel/control_blocks.h"
#include "kernel/schedule.h"
#include "kernel/storage.h"
#include "runtime/io_file.h"
#include "tests/support/test_support.h"

namespace nodrix {
namespace {

class ScheduleTest : public testing::NodrixTest {};

TEST_F(ScheduleTest, MemoryAndSignalLinesInScheduleOrder) {
    OpticalSignal laser;
    OpticalSignal fibre_out;
    OpticalSignal fibre_in;
    fibre_in.gd.fill(7.0f);
    float gd_seen_by_fibre = -1.0f;
    std::vector<BlockCall> blocks(4);
    blocks[0].instance = 66;  // a laser: its own output
    blocks[0].call = [&] {
        loch(3);
        laser.iv = 1;
    };
    blocks[0].shown = &laser;
    blocks[0].shown_number = 66;
    blocks[1].instance = 64;  // a data source: no signal line
    blocks[1].call = [] { loci(123456); };
    blocks[2].instance = 73;  // a fibre: delay record of its own output
    blocks[2].call = [&] {
        gd_seen_by_fibre = fibre_in.gd[500];
        fibre_out.gd.fill(0.0f);
        fibre_out.gd[0] = 1.5f;
        fibre_out.gd[1023] = -2.0f;
        fibre_out.iv = 0;  // out of band
    };
    blocks[2].shown = &fibre_out;
    blocks[2].shown_number = 71;
    blocks[2].delay_record = true;
    blocks[2].delay_input = &fibre_in;
    blocks[2].delay_output = &fibre_out;
    blocks[3].instance = 5;
    blocks[3].delay_record = true;
    blocks[3].delay_output = &laser;

    run_schedule("sim_160G", blocks, 133);
    EXPECT_EQ(gd_seen_by_fibre, 0.0f);  // the input's delays were cleared first
    EXPECT_EQ(testing::read_text("x1_sim_160g.mem"),
              "NodrixMEM 1\n"
              "##\n"
              "memory 66                   20\n"
              "signal 0066                    1\n"
              "memory 64               493832\n"
              "memory 73                    0\n"
              "signal 0071                    0\n"
              "memory 5                    0\n");
    const auto dly = testing::read_bytes("x1_sim_160g.dly");
    ASSERT_EQ(dly.size(), 2u * (4 + 4096));
    std::vector<unsigned char> first;
    testing::put_i32(first, 73);
    testing::put_f32(first, 1.5f);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), dly.begin()));
    float last = 0;
    std::memcpy(&last, dly.data() + 4 + 4 * 1023, 4);
    EXPECT_EQ(last, -2.0f);
    std::int32_t second_instance = 0;
    std::memcpy(&second_instance, dly.data() + 4100, 4);
    EXPECT_EQ(second_instance, 5);
}

TEST_F(ScheduleTest, EntryResetsPhaseAndStorageWords) {
    zzctrl.pass = 1;
    zzsupv.storephase = 1;
    optcl_ctrl.blkmode = 0;
    zzflmn.nohist = 0;
    std::vector<BlockCall> none;
    run_schedule("p", none, 1);
    EXPECT_EQ(zzctrl.pass, 0);
    EXPECT_EQ(zzsupv.storephase, 0);
    EXPECT_EQ(optcl_ctrl.blkmode, 1);
    EXPECT_EQ(zzflmn.nohist, 1);
    EXPECT_EQ(zzctrl.tend, 640443.06f);
    EXPECT_EQ(schedule_end_time(), static_cast<double>(640443.06f));
    for (auto w : zzmax.lim) EXPECT_EQ(w, 999999);
    for (auto w : zzmaxd.lim) EXPECT_EQ(w, 999999);
    EXPECT_EQ(ztmax.lim[0], 1000);  // not overwritten
}

TEST_F(ScheduleTest, TwoCallsLeaveOneCopyOfEachFile) {
    OpticalSignal out;
    std::vector<BlockCall> blocks(1);
    blocks[0].instance = 1;
    blocks[0].delay_record = true;
    blocks[0].delay_output = &out;
    blocks[0].shown = &out;
    blocks[0].shown_number = 1;
    run_schedule("p", blocks, 2);
    run_schedule("p", blocks, 2);
    EXPECT_EQ(testing::read_text("x1_p.mem"), "NodrixMEM 1\n##\nmemory 1                    0\nsignal 0001                    0\n");
    EXPECT_EQ(testing::read_bytes("x1_p.dly").size(), 4100u);
}

TEST_F(ScheduleTest, TheMemoryMapIsOpenForBlocksDuringTheCall) {
    std::int32_t seen = -5;
    std::vector<BlockCall> blocks(1);
    blocks[0].instance = 73;
    blocks[0].call = [&] {
        seen = current_memory_map();
        io_write_str(seen, "fiber           73\n");
    };
    run_schedule("p", blocks, 74);
    EXPECT_GT(seen, 0);
    EXPECT_EQ(current_memory_map(), -1);
    EXPECT_EQ(testing::read_text("x1_p.mem"), "NodrixMEM 1\n##\nfiber           73\nmemory 73                    0\n");
}

}  // namespace
}  // namespace nodrix
