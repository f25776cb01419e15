// Kernel storage (finding records again, overruns) and the driver (dimensioning
// pass, limit check, limits file, memory cap, statuses). The limits file's text
// and the storage words are guarded by the regression net's limits run.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <filesystem>
#include <vector>

#include "kernel/control_blocks.h"
#include "kernel/driver.h"
#include "kernel/schedule.h"
#include "kernel/storage.h"
#include "runtime/opxfile.h"
#include "tests/support/test_support.h"

namespace nodrix {
namespace {

namespace fs = std::filesystem;

constexpr std::int32_t kMaxH = kDefaultCapacities.h, kMaxI = kDefaultCapacities.i, kMaxC = kDefaultCapacities.c,
                       kMaxD = kDefaultCapacities.d, kMaxZ = kDefaultCapacities.z, kMaxZD = kDefaultCapacities.zd,
                       kMaxHT = kDefaultCapacities.ht, kMaxIT = kDefaultCapacities.it;

// The single block of a synthetic project asks for this much storage of the
// kinds H, I, C, D, Z, ZD, HT, IT (0: none).
using Request = std::array<std::int32_t, 8>;
Request request;
std::vector<std::int32_t> passes_seen;
std::vector<std::int32_t> storephases_seen;

Status one_block_schedule(RunContext& run, std::int32_t&, std::int32_t&, std::int32_t&, std::int32_t&) {
    std::vector<BlockCall> blocks(1);
    blocks[0].instance = 1;
    blocks[0].call = [] {
        passes_seen.push_back(zzctrl.pass);
        storephases_seen.push_back(zzsupv.storephase);
        std::int32_t (*const services[])(std::int32_t) = {loch, loci, locc, locd, lozz, lozd, locht, locit};
        for (std::size_t k = 0; k < request.size(); ++k)
            if (request[k]) services[k](request[k]);
    };
    return run_schedule(run, "test_Proj", blocks, 2);
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
    // Dimensioning, then the run's two calls; the schedule resets the phase each time.
    EXPECT_EQ(passes_seen, (std::vector<std::int32_t>{0, 0, 0}));
    EXPECT_EQ(storephases_seen, (std::vector<std::int32_t>{0, 0, 0}));
    EXPECT_FALSE(fs::exists("x0_test_proj.hst"));
    EXPECT_EQ(last_storage_maxima().h, 12);
    // A prerun stops after the dimensioning pass.
    passes_seen.clear();
    EXPECT_EQ(run(1), 0);
    EXPECT_EQ(passes_seen.size(), 1u);
}

TEST_F(DriverTest, ExactlyAtTheLimitsFitsAndOneMoreOfAnyKindFails) {
    request = Request{kMaxH - 2, kMaxI - 2, kMaxC - 1, kMaxD - 2, kMaxZ - 2, 8, kMaxHT - 1, kMaxIT - 1};
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(passes_seen.size(), 3u);  // the runs took place with the storage allocated
    const StorageMaxima full = kDefaultCapacities;
    EXPECT_TRUE(storage_fits(full, kDefaultCapacities));
    for (auto kind : {&StorageMaxima::h, &StorageMaxima::i, &StorageMaxima::d, &StorageMaxima::c, &StorageMaxima::ht,
                      &StorageMaxima::it, &StorageMaxima::ct, &StorageMaxima::z, &StorageMaxima::zd}) {
        StorageMaxima over = full;
        over.*kind += 1;
        EXPECT_FALSE(storage_fits(over, kDefaultCapacities));
    }
    // Through a run: each kind one element beyond its capacity (C and the
    // small kinds have a one-element header, the others two).
    const Request beyond = {kMaxH - 1, kMaxI - 1, kMaxC, kMaxD - 1, kMaxZ - 1, kMaxZD - 1, kMaxHT, kMaxIT};
    for (std::size_t k = 0; k < beyond.size(); ++k) {
        SCOPED_TRACE(k);
        request = {};
        request[k] = beyond[k];
        fs::remove("x0_test_proj.hst");
        EXPECT_EQ(run(), 3);
        EXPECT_TRUE(fs::exists("x0_test_proj.hst"));
        EXPECT_EQ(passes_seen.size(), 4u + k);  // the dimensioning pass alone
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

TEST_F(DriverTest, TheMemoryCapRefusesStorageBeforeItIsAllocated) {
    // The default arrays take 8016064 bytes: H and I 800000 each, C 8000, D and
    // Z 1600000 each, ZD 3200000, HT and IT 4000 each, rounded up to 4032 for
    // the 64-byte boundaries.
    EXPECT_EQ(storage_bytes(kDefaultCapacities), 8016064);
    set_storage_sizing({"", false, 7});
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(messages_, "Nodrix-E-The kernel storage needs 8 MiB, more than the memory cap of 7 MiB\n");
    EXPECT_TRUE(passes_seen.empty());
    EXPECT_EQ(errors(), 1);
    // Without a cap the machine's memory is the limit: 196613 MiB (texts and
    // double complex values of the largest capacity) would abort the
    // allocation, and are refused instead.
    testing::write_text("huge.hst", "MAXC 2147483646\nMAXZD 2147483646\n");
    set_storage_sizing({"huge.hst", false, 0});
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(messages_.rfind("Nodrix-E-The kernel storage needs 196613 MiB, more than the machine's physical "
                              "memory of ", 0), 0u) << messages_;
    EXPECT_EQ(storage_capacities(), kDefaultCapacities);
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
    EXPECT_EQ(passes_seen, (std::vector<std::int32_t>{0, 0, 0}));
    EXPECT_FALSE(fs::exists("x0_test_proj.hst"));
    EXPECT_EQ(errors(), 2);
}

class StorageTest : public testing::NodrixTest {
protected:
    void SetUp() override {
        testing::NodrixTest::SetUp();
        zzsupv = ZzSupv{0, 1, 1, 1, 1, 1, 1};
        zzsupt = ZzSupt{1, 1, 1};
    }
};

TEST_F(StorageTest, EveryKindFindsItsRecordsWithDivisorsZeroOneAndThree) {
    // Records kept at every sample (divisor 0 or 1) and every third sample (3).
    zzsupv.storephase = 1;
    zzctrl.pass = 0;
    struct Kind {
        std::int32_t (*service)(std::int32_t);
        std::int32_t* cursor;
    };
    const Kind kinds[] = {{loci, &zzsupv.i}, {loch, &zzsupv.h}, {locd, &zzsupv.d}, {lozz, &zzsupv.z}, {lozd, &zzsupv.zd}};
    std::int32_t first[5], third[5], last[5], end[5];
    for (int k = 0; k < 5; ++k) {
        zzscal.scal = 0;
        first[k] = kinds[k].service(4);
        zzscal.scal = 3;
        third[k] = kinds[k].service(1);
        zzscal.scal = 1;
        last[k] = kinds[k].service(2);
        end[k] = *kinds[k].cursor;
    }
    zzctrl.pass = 1;
    for (std::int32_t sample = 1; sample <= 7; ++sample) {
        zzcoun.coun = sample;
        for (int k = 0; k < 5; ++k) {
            SCOPED_TRACE(::testing::Message() << "sample " << sample << " kind " << k);
            *kinds[k].cursor = 1;
            EXPECT_EQ(kinds[k].service(4), first[k]);
            EXPECT_EQ(*kinds[k].cursor, third[k] - 2);  // at the next record
            if ((sample - 1) % 3 == 0) {
                EXPECT_EQ(kinds[k].service(1), third[k]);
            }
            EXPECT_EQ(kinds[k].service(2), last[k]);
            EXPECT_EQ(*kinds[k].cursor, end[k]);
        }
    }
    // Counting mode still counts, whatever the pass.
    zzsupv.storephase = 0;
    zzmax.i = 0;
    EXPECT_EQ(loci(5), 1);
    EXPECT_EQ(zzmax.i, 7);
}

// A block's state list of several kinds, and the same block's list of
// records kept every third sample (its integer record as long as the next
// list's), laid in the set-up pass.
struct Lists {
    std::int32_t a, b, c, d, e, f;
};
constexpr StateSlot<Lists> kEverySample[] = {
    {&Lists::a, SlotKind::integer, 3},     {&Lists::b, SlotKind::complex_double, 5}, {&Lists::c, SlotKind::real, 2},
    {&Lists::d, SlotKind::real_double, 4}, {&Lists::e, SlotKind::complex, 1},        {&Lists::f, SlotKind::integer, 1},
};
constexpr StateSlot<Lists> kEveryThird[] = {{&Lists::a, SlotKind::integer, 2}, {&Lists::b, SlotKind::complex_double, 2}};
constexpr StateSlot<Lists> kAfter[] = {{&Lists::a, SlotKind::integer, 2}, {&Lists::b, SlotKind::real, 1}};

TEST_F(StorageTest, StateListsFindTheRecordsTheRecordByRecordWalkFinds) {
    auto same = [](const Lists& x, const Lists& y) {
        return x.a == y.a && x.b == y.b && x.c == y.c && x.d == y.d && x.e == y.e && x.f == y.f;
    };
    zzsupv.storephase = 1;
    zzctrl.pass = 0;
    zzscal.scal = 0;
    const Lists every = claim_state(kEverySample);
    zzscal.scal = 3;
    const Lists third = claim_state(kEveryThird);
    zzscal.scal = 1;
    const Lists after = claim_state(kAfter);
    const std::int32_t end[2] = {zzsupv.i, zzsupv.h};
    zzctrl.pass = 1;
    for (std::int32_t sample = 1; sample <= 4; ++sample) {
        SCOPED_TRACE(::testing::Message() << "sample " << sample);
        zzcoun.coun = sample;
        zzsupv = ZzSupv{1, 1, 1, 1, 1, 1, 1};
        EXPECT_TRUE(same(claim_state(kEverySample), every));
        // Off its samples the block skips the third list: the next list then
        // starts at a record that is not its own, and is found by the walk.
        if ((sample - 1) % 3 == 0) {
            EXPECT_TRUE(same(claim_state(kEveryThird), third));
        }
        EXPECT_TRUE(same(claim_state(kAfter), after));
        EXPECT_EQ(zzsupv.i, end[0]);
        EXPECT_EQ(zzsupv.h, end[1]);
    }
}

TEST_F(StorageTest, AllocatingBeyondTheCapacityStopsBeforeOverwritingMemory) {
    zzsupv.storephase = 1;
    EXPECT_EQ(loch(kMaxH - 2), 3);  // exactly the whole array
    // The look-up throws before it writes a header or moves the cursor; the
    // schedule reports it as an error of the block (ScheduleTest).
    auto refusal = [](auto&& look_up) -> std::string {
        try {
            look_up();
        } catch (const StorageExhausted& e) {
            return e.what();
        }
        return "no refusal";
    };
    const std::int32_t cursor = zzsupv.h;
    EXPECT_EQ(refusal([] { loch(1); }),
              "the kernel storage of kind H is exhausted: a record would end at 200003, the capacity is 200000");
    EXPECT_EQ(zzsupv.h, cursor);
    EXPECT_EQ(refusal([] { locit(kMaxIT); }),
              "the kernel storage of kind IT is exhausted: a record would end at 1001, the capacity is 1000");
}

}  // namespace
}  // namespace nodrix
