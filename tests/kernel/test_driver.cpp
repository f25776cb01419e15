// The driver: dimensioning pass, limit check, limits file, runs, statuses.
#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "kernel/control_blocks.h"
#include "kernel/driver.h"
#include "kernel/schedule.h"
#include "kernel/storage.h"
#include "kernel/storage_limits.h"
#include "runtime/format.h"
#include "runtime/opxfile.h"
#include "tests/support/test_support.h"

namespace nodrix {
namespace {

namespace fs = std::filesystem;

// A synthetic project whose single block asks for the storage below.
struct Request {
    std::int32_t h = 0, i = 0, c = 0, d = 0, z = 0, zd = 0, ht = 0, it = 0;
};
Request request;
std::vector<std::int32_t> passes_seen;
std::vector<std::int32_t> storephases_seen;

void one_block_schedule(std::int32_t&, std::int32_t&, std::int32_t&, std::int32_t&) {
    std::vector<BlockCall> blocks(1);
    blocks[0].instance = 1;
    blocks[0].call = [] {
        passes_seen.push_back(zzctrl.pass);
        storephases_seen.push_back(zzsupv.storephase);
        if (request.h) loch(request.h);
        if (request.i) loci(request.i);
        if (request.c) locc(request.c);
        if (request.d) locd(request.d);
        if (request.z) lozz(request.z);
        if (request.zd) lozd(request.zd);
        if (request.ht) locht(request.ht);
        if (request.it) locit(request.it);
    };
    run_schedule("test_Proj", blocks, 2);
}

class DriverTest : public testing::NodrixTest {
protected:
    void SetUp() override {
        testing::NodrixTest::SetUp();
        request = {};
        passes_seen.clear();
        storephases_seen.clear();
        ProjectDescription p;
        p.name = "test_Proj";
        p.first_instance = 1;
        p.last_instance = 1;
        p.projec = one_block_schedule;
        set_project(p);
    }
    std::int32_t run(std::int32_t prerun = 0) {
        std::int32_t status = -1;
        ::testing::internal::CaptureStderr();
        topmain(prerun, status);
        messages_ = ::testing::internal::GetCapturedStderr();
        return status;
    }
    std::string messages_;
};

TEST_F(DriverTest, FittingProjectRunsOneDimensioningPassAndOneRun) {
    request.h = 10;
    EXPECT_EQ(run(), 0);
    // Dimensioning, then the run's two calls; the schedule resets the phase each time.
    EXPECT_EQ(passes_seen, (std::vector<std::int32_t>{0, 0, 0}));
    EXPECT_EQ(storephases_seen, (std::vector<std::int32_t>{0, 0, 0}));
    EXPECT_FALSE(fs::exists("x0_test_proj.hst"));
    EXPECT_TRUE(fs::exists("x1_test_proj.mem"));
    const StorageMaxima m = last_storage_maxima();
    EXPECT_EQ(m.h, 12);
    EXPECT_EQ(m.i, 2);  // no storage still counts 2
    EXPECT_EQ(zzctrl.delt, 0.0640443f);
    EXPECT_EQ(zdctrl.ddelt, static_cast<double>(0.0640443f));
    EXPECT_EQ(seeds[0], 349);
    EXPECT_EQ(seeds[9], 288);
    EXPECT_EQ(polmon.tmon, 1280.0f);
    EXPECT_EQ(ssprsn.ssp6, 26);
    EXPECT_EQ(optcl_ctrl.npol, 1);
    EXPECT_EQ(f_vbs_band.fcenter, 193.61597f);
    EXPECT_EQ(flimit.fgridhi, 201.42307f);
}

TEST_F(DriverTest, ExceededLimitsWriteTheLimitsFileAndGiveStatusThree) {
    request.zd = limits::kMaxZD - 1;  // one element more than the capacity with the header
    request.c = 5;
    EXPECT_EQ(run(), 3);
    EXPECT_EQ(passes_seen.size(), 1u);  // no run
    EXPECT_EQ(testing::read_text("x0_test_proj.hst"),
              "MAXH                2\n"
              "MAXI                2\n"
              "MAXD                2\n"
              "MAXC                6\n"
              "MAXHT               2\n"
              "MAXIT               2\n"
              "MAXCT               2\n"
              "MAXZ                2\n"
              "MAXZD" + fmt::I(limits::kMaxZD + 1, 16) + "\n");
    std::int32_t nerr = 0;
    opxget(&nerr, nullptr);
    EXPECT_EQ(nerr, 0);
}

TEST_F(DriverTest, ExactlyAtTheLimitsFits) {
    using namespace limits;
    request = Request{kMaxH - 2, kMaxI - 2, kMaxC - 1, kMaxD - 2, kMaxZ - 2, 8, kMaxHT - 1, kMaxIT - 1};
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(passes_seen.size(), 3u);  // the runs took place with the storage allocated
    const StorageMaxima m = last_storage_maxima();
    EXPECT_EQ(m.h, kMaxH);
    EXPECT_EQ(m.c, kMaxC);
    EXPECT_EQ(m.ht, kMaxHT);
    // Every kind, exactly at its capacity and one beyond.
    const StorageMaxima full{kMaxH, kMaxI, kMaxD, kMaxC, kMaxHT, kMaxIT, kMaxCT, kMaxZ, kMaxZD};
    EXPECT_TRUE(storage_fits(full));
    std::int32_t StorageMaxima::*kinds[] = {&StorageMaxima::h,  &StorageMaxima::i,  &StorageMaxima::d,
                                            &StorageMaxima::c,  &StorageMaxima::ht, &StorageMaxima::it,
                                            &StorageMaxima::ct, &StorageMaxima::z,  &StorageMaxima::zd};
    for (auto kind : kinds) {
        StorageMaxima over = full;
        over.*kind += 1;
        EXPECT_FALSE(storage_fits(over));
    }
}

TEST_F(DriverTest, OneMoreThanAnyLimitFails) {
    using namespace limits;
    const Request over[] = {
        {kMaxH - 1, 0, 0, 0, 0, 0, 0, 0}, {0, kMaxI - 1, 0, 0, 0, 0, 0, 0}, {0, 0, kMaxC, 0, 0, 0, 0, 0},
        {0, 0, 0, kMaxD - 1, 0, 0, 0, 0}, {0, 0, 0, 0, kMaxZ - 1, 0, 0, 0}, {0, 0, 0, 0, 0, kMaxZD - 1, 0, 0},
        {0, 0, 0, 0, 0, 0, kMaxHT, 0},    {0, 0, 0, 0, 0, 0, 0, kMaxIT},
    };
    for (const Request& r : over) {
        request = r;
        fs::remove("x0_test_proj.hst");
        EXPECT_EQ(run(), 3);
        EXPECT_TRUE(fs::exists("x0_test_proj.hst"));
    }
}

TEST_F(DriverTest, NonPositiveTimeStepOnTheLimitPathIsAnError) {
    ProjectDescription p = current_project();
    p.constants.delt = 0.0f;
    set_project(p);
    request.h = limits::kMaxH;
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(messages_, "Nodrix-E-DELT <= 0 - CONDITION NOT ALLOWED\nNODRIX SIMULATOR INTERRUPTED\n");
    EXPECT_FALSE(fs::exists("x0_test_proj.hst"));
    std::int32_t nerr = 0;
    opxget(&nerr, nullptr);
    EXPECT_EQ(nerr, 1);
}

TEST_F(DriverTest, NonPositiveTimeStepWithFittingStorageRuns) {
    ProjectDescription p = current_project();
    p.constants.delt = -1.0f;
    set_project(p);
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(passes_seen.size(), 3u);
    EXPECT_EQ(messages_, "");
}

TEST_F(DriverTest, PrerunStopsAfterTheDimensioningPass) {
    request.h = limits::kMaxH;
    EXPECT_EQ(run(1), 0);
    EXPECT_EQ(passes_seen.size(), 1u);
    EXPECT_FALSE(fs::exists("x0_test_proj.hst"));
}

TEST_F(DriverTest, AnErrorWhileWritingTheLimitsFileIsReported) {
    request.h = limits::kMaxH;
    fs::create_directory("x0_test_proj.hst");  // cannot be created as a file
    fs::create_directory("x0_test_proj.hst/keep");
    EXPECT_EQ(run(), 3);
    std::int32_t nerr = 0;
    opxget(&nerr, nullptr);
    EXPECT_EQ(nerr, 1);  // the entry then exits with status 1, not 3
}

TEST_F(DriverTest, EmptyProjectWritesTheHeadersOnly) {
    ProjectDescription p = current_project();
    p.projec = [](std::int32_t&, std::int32_t&, std::int32_t&, std::int32_t&) {
        std::vector<BlockCall> none;
        run_schedule("test_Proj", none, 2);
    };
    set_project(p);
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(testing::read_text("x1_test_proj.mem"), "NodrixMEM 1\n##\n");
    EXPECT_TRUE(testing::read_bytes("x1_test_proj.dly").empty());
    EXPECT_EQ(limits_file_name("sim_160G"), "x0_sim_160g.hst");
}

}  // namespace
}  // namespace nodrix
