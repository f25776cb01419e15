// The driver: dimensioning pass, limit check, limits file, memory cap,
// statuses. The limits file's text and the storage words are guarded by the
// regression net's limits run.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <filesystem>
#include <vector>

#include "kernel/driver.h"
#include "kernel/schedule.h"
#include "kernel/storage.h"
#include "runtime/opxfile.h"
#include "tests/support/test_support.h"

namespace nodrix {
namespace {

namespace fs = std::filesystem;

constexpr std::int32_t kMaxH = kDefaultCapacities.h, kMaxI = kDefaultCapacities.i, kMaxC = kDefaultCapacities.c,
                       kMaxD = kDefaultCapacities.d, kMaxZ = kDefaultCapacities.z, kMaxZD = kDefaultCapacities.zd;

// The single block of a synthetic project has records of this many elements
// of the kinds H, I, C, D, Z, ZD counted at its design (0: none).
using Request = std::array<std::int32_t, 6>;
Request request;
std::vector<DriverCall> calls_seen;

Status one_block_schedule(RunContext& run, std::int32_t&, std::int32_t&, std::int32_t&, std::int32_t&) {
    std::vector<BlockCall> blocks(1);
    blocks[0].instance = 1;
    blocks[0].block = std::make_unique<testing::ScriptedBlock>([](const RunContext& ctx) {
        calls_seen.push_back(ctx.driver_call());
        constexpr SlotKind kinds[] = {SlotKind::real,        SlotKind::integer, SlotKind::text,
                                      SlotKind::real_double, SlotKind::complex, SlotKind::complex_double};
        for (std::size_t k = 0; k < request.size(); ++k)
            if (request[k]) ctx.storage().account(kinds[k], request[k]);
    });
    return run_schedule(run, "test_Proj", blocks);
}

class DriverTest : public testing::NodrixTest {
protected:
    void SetUp() override {
        testing::NodrixTest::SetUp();
        request = {};
        calls_seen.clear();
        ProjectDescription p;
        p.name = "test_Proj";
        p.projec = one_block_schedule;
        set_project(p);
    }
    void TearDown() override {
        set_per_sample_run(false);
        testing::NodrixTest::TearDown();
    }
    std::int32_t run(std::int32_t prerun = 0) {
        std::int32_t status = -1;
        ::testing::internal::CaptureStderr();
        topmain(prerun, status);
        messages_ = ::testing::internal::GetCapturedStderr();
        return status;
    }
    static std::int32_t errors() {
        std::int32_t nerr = 0;
        opxget(&nerr, nullptr);
        return nerr;
    }
    void set_time_step(float delt) {
        ProjectDescription p = current_project();
        p.constants.delt = delt;
        set_project(p);
    }
    std::string messages_;
};

TEST_F(DriverTest, FittingProjectRunsOneDimensioningPassAndOneRunAndAPrerunOnlyThePass) {
    request[0] = 10;
    EXPECT_EQ(run(), 0);
    // Dimensioning, then the run's two calls.
    EXPECT_EQ(calls_seen, (std::vector<DriverCall>{DriverCall::dimensioning, DriverCall::initialisation,
                                                   DriverCall::second}));
    EXPECT_FALSE(fs::exists("x0_test_proj.hst"));
    EXPECT_EQ(last_storage_maxima().h, 12);
    // A prerun stops after the dimensioning pass.
    calls_seen.clear();
    EXPECT_EQ(run(1), 0);
    EXPECT_EQ(calls_seen.size(), 1u);
}

TEST_F(DriverTest, ExactlyAtTheLimitsFitsAndOneMoreOfAnyKindFails) {
    request = Request{kMaxH - 2, kMaxI - 2, kMaxC - 1, kMaxD - 2, kMaxZ - 2, 8};
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(calls_seen.size(), 3u);  // the run took place
    const StorageMaxima full = kDefaultCapacities;
    EXPECT_TRUE(storage_fits(full, kDefaultCapacities));
    for (auto kind : {&StorageMaxima::h, &StorageMaxima::i, &StorageMaxima::d, &StorageMaxima::c, &StorageMaxima::ht,
                      &StorageMaxima::it, &StorageMaxima::ct, &StorageMaxima::z, &StorageMaxima::zd}) {
        StorageMaxima over = full;
        over.*kind += 1;
        EXPECT_FALSE(storage_fits(over, kDefaultCapacities));
    }
    // Through a run: each kind one element beyond its capacity (C has a
    // one-element header, the others two).
    const Request beyond = {kMaxH - 1, kMaxI - 1, kMaxC, kMaxD - 1, kMaxZ - 1, kMaxZD - 1};
    for (std::size_t k = 0; k < beyond.size(); ++k) {
        SCOPED_TRACE(k);
        request = {};
        request[k] = beyond[k];
        fs::remove("x0_test_proj.hst");
        EXPECT_EQ(run(), 3);
        EXPECT_TRUE(fs::exists("x0_test_proj.hst"));
        EXPECT_EQ(calls_seen.size(), 4u + k);  // the dimensioning pass alone
    }
}

TEST_F(DriverTest, AnErrorWhileWritingTheLimitsFileIsReported) {
    request[0] = kMaxH;
    fs::create_directory("x0_test_proj.hst");  // cannot be created as a file
    fs::create_directory("x0_test_proj.hst/keep");
    testing::write_text("given.hst", "MAXH 2\n");  // read instead of the project's own
    set_storage_sizing({"given.hst", false, 0});
    EXPECT_EQ(run(), 3);
    EXPECT_EQ(errors(), 1);  // the entry then exits with status 1, not 3
}

TEST_F(DriverTest, TheMemoryCapRefusesStorageBeforeAnythingRuns) {
    // The default capacities stand for 8016064 bytes: H and I 800000 each, C 8000, D and
    // Z 1600000 each, ZD 3200000, HT and IT 4000 each, rounded up to 4032 for
    // the 64-byte boundaries.
    EXPECT_EQ(storage_bytes(kDefaultCapacities), 8016064);
    set_storage_sizing({"", false, 7});
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(messages_, "Nodrix-E-The kernel storage needs 8 MiB, more than the memory cap of 7 MiB\n");
    EXPECT_TRUE(calls_seen.empty());
    EXPECT_EQ(errors(), 1);
    // Without a cap the machine's memory is the limit: 196613 MiB (texts and
    // double complex values of the largest capacity) are refused.
    testing::write_text("huge.hst", "MAXC 2147483646\nMAXZD 2147483646\n");
    set_storage_sizing({"huge.hst", false, 0});
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(messages_.rfind("Nodrix-E-The kernel storage needs 196613 MiB, more than the machine's physical "
                              "memory of ", 0), 0u) << messages_;
}

TEST_F(DriverTest, CountsBeyondTheLargestCapacityAreAnErrorAndNothingRuns) {
    // n + 2 elements pass 2^31 - 2; the three counting rounds of a per-sample
    // run's dimensioning report each kind once.
    request[1] = 2147483647;
    request[0] = 2147483645;
    request[2] = 1000;
    set_per_sample_run(true);
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(messages_,
              "Nodrix-E-The kernel storage of kind H would need more than 2147483646 elements\n"
              "Nodrix-E-The kernel storage of kind I would need more than 2147483646 elements\n");
    EXPECT_EQ(calls_seen, std::vector<DriverCall>(3, DriverCall::dimensioning));
    EXPECT_FALSE(fs::exists("x0_test_proj.hst"));
    EXPECT_EQ(errors(), 2);
}

}  // namespace
}  // namespace nodrix
