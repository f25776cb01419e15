// Kernel storage (counting, allocating, finding records again, text helpers)
// and the driver (dimensioning pass, limit check, limits file, runs, statuses).
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <filesystem>
#include <vector>

#include "kernel/control_blocks.h"
#include "kernel/driver.h"
#include "kernel/schedule.h"
#include "kernel/storage.h"
#include "runtime/format.h"
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

void one_block_schedule(std::int32_t&, std::int32_t&, std::int32_t&, std::int32_t&) {
    std::vector<BlockCall> blocks(1);
    blocks[0].instance = 1;
    blocks[0].call = [] {
        passes_seen.push_back(zzctrl.pass);
        storephases_seen.push_back(zzsupv.storephase);
        std::int32_t (*const services[])(std::int32_t) = {loch, loci, locc, locd, lozz, lozd, locht, locit};
        for (std::size_t k = 0; k < request.size(); ++k)
            if (request[k]) services[k](request[k]);
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

TEST_F(DriverTest, FittingProjectRunsOneDimensioningPassAndOneRun) {
    request[0] = 10;
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
    request[5] = kMaxZD - 1;  // one element more than the capacity with the header
    request[2] = 5;
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
              "MAXZD" + fmt::I(kMaxZD + 1, 16) + "\n");
    EXPECT_EQ(errors(), 0);
}

TEST_F(DriverTest, ExactlyAtTheLimitsFitsAndOneMoreOfAnyKindFails) {
    request = Request{kMaxH - 2, kMaxI - 2, kMaxC - 1, kMaxD - 2, kMaxZ - 2, 8, kMaxHT - 1, kMaxIT - 1};
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(passes_seen.size(), 3u);  // the runs took place with the storage allocated
    const StorageMaxima m = last_storage_maxima();
    EXPECT_EQ(m.h, kMaxH);
    EXPECT_EQ(m.c, kMaxC);
    EXPECT_EQ(m.ht, kMaxHT);
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
    }
}

TEST_F(DriverTest, NonPositiveTimeStepIsAnErrorOnlyOnTheLimitPath) {
    set_time_step(-1.0f);
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(passes_seen.size(), 3u);
    EXPECT_EQ(messages_, "");
    set_time_step(0.0f);
    request[0] = kMaxH;
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(messages_, "Nodrix-E-DELT <= 0 - CONDITION NOT ALLOWED\nNODRIX SIMULATOR INTERRUPTED\n");
    EXPECT_FALSE(fs::exists("x0_test_proj.hst"));
    EXPECT_EQ(errors(), 1);
}

TEST_F(DriverTest, PrerunStopsAfterTheDimensioningPass) {
    request[0] = kMaxH;
    EXPECT_EQ(run(1), 0);
    EXPECT_EQ(passes_seen.size(), 1u);
    EXPECT_FALSE(fs::exists("x0_test_proj.hst"));
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

TEST_F(DriverTest, CapacitiesFromTheDefaultsALimitsFileAndTheCounts) {
    request[0] = 299998;  // 300000 H elements with the header, beyond the default
    EXPECT_EQ(run(), 3);
    // Started again in the same directory, the run reads the file it wrote,
    // whose counts of 2 do not lower the defaults.
    EXPECT_EQ(run(), 0);
    StorageCounts expected = kDefaultCapacities;
    expected.h = 300000;
    EXPECT_EQ(storage_capacities(), expected);
    // A file named by the sizing replaces the project's own.
    testing::write_text("small.hst", "MAXH 250000\n");
    set_storage_sizing({"small.hst", false, 0});
    EXPECT_EQ(run(), 3);
    EXPECT_EQ(storage_capacities().h, 250000);
    // A damaged file: an error, and not even the dimensioning pass runs.
    testing::write_text("x0_test_proj.hst", "MAXH 300000\nMAXZD 3.5e7\n");
    set_storage_sizing({});
    passes_seen.clear();
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(messages_, "Nodrix-E-Limits file x0_test_proj.hst, line 2: the count of MAXZD must be a whole number "
                         "from 0 to 2147483646\n");
    EXPECT_TRUE(passes_seen.empty());
    EXPECT_EQ(errors(), 1);
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

TEST_F(StorageTest, CountingAddsElementsAndBytesAndReturnsOne) {
    struct Case {
        const char* kind;
        std::int32_t (*service)(std::int32_t);
        std::int32_t* counter;
        std::int32_t elements;  // counted for n = 10
        std::int32_t bytes;
    };
    const Case cases[] = {
        {"I", loci, &zzmax.i, 12, 48},     {"H", loch, &zzmax.h, 12, 48},
        {"D", locd, &zzmax.d, 12, 96},     {"Z", lozz, &zzmaxd.z, 12, 96},
        {"ZD", lozd, &zzmaxd.zd, 12, 192}, {"C", locc, &zzmax.c, 11, 880},
        {"HT", locht, &ztmax.ht, 11, 44},  {"IT", locit, &ztmax.it, 11, 44},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        *c.counter = 0;
        optcl_ctrl.memused = 0;
        EXPECT_EQ(c.service(10), 1);
        EXPECT_EQ(*c.counter, c.elements);
        EXPECT_EQ(optcl_ctrl.memused, c.bytes);
    }
    // Zero elements still take the header.
    zzmax.i = 0;
    optcl_ctrl.memused = 0;
    EXPECT_EQ(loci(0), 1);
    EXPECT_EQ(zzmax.i, 2);
    EXPECT_EQ(optcl_ctrl.memused, 8);
    EXPECT_EQ(ztmax.ct, 0);  // no service counts the small text kind
}

TEST_F(StorageTest, AllocatingHandsOutConsecutiveRecordsWithHeaders) {
    zzsupv.storephase = 1;
    zzscal.scal = 4;
    EXPECT_EQ(loch(10), 3);
    EXPECT_EQ(loch(10), 15);
    EXPECT_EQ(zzhist[0], 12.0f);  // distance to the next record
    EXPECT_EQ(zzhist[1], 4.0f);   // divisor
    EXPECT_EQ(zzsupv.h, 25);
    EXPECT_EQ(loci(5), 3);
    EXPECT_EQ(zzist[0], 8);
    EXPECT_EQ(zzist[1], 4);
    EXPECT_EQ(locd(1), 3);
    EXPECT_EQ(zzdist[0], 4.5);
    EXPECT_EQ(lozz(2), 3);
    EXPECT_EQ(zzzis[0], std::complex<float>(5.5f, 0.0f));
    EXPECT_EQ(zzzis[1], std::complex<float>(4.0f, 0.0f));
    EXPECT_EQ(lozd(2), 3);
    EXPECT_EQ(zzzisd[0], std::complex<double>(5.5, 0.0));
    EXPECT_EQ(locc(2), 2);
    EXPECT_EQ(std::string(zzcist[0], 11), "          4");
    EXPECT_EQ(std::string(zzcist[0] + 40, 11), "          4");
    EXPECT_EQ(std::string(zzcist[0] + 11, 29), std::string(29, ' '));
    EXPECT_EQ(locht(5), 2);
    EXPECT_EQ(zzsupt.ht, 7);  // moved by 6
    EXPECT_EQ(zthist[0], 7.5f);
    EXPECT_EQ(locit(5), 2);
    EXPECT_EQ(zzsupt.it, 7);
}

TEST_F(StorageTest, LaterPassesFindTheSmallKindsRecordsAgainInCallOrder) {
    zzsupv.storephase = 1;
    const std::int32_t p = locht(2);
    const std::int32_t q = locht(4);
    zzctrl.pass = 1;
    zzsupt.ht = 1;
    zzcoun.coun = 1;
    EXPECT_EQ(locht(2), p);
    EXPECT_EQ(locht(4), q);
}

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

TEST_F(StorageTest, AllocatingBeyondTheCapacityStopsBeforeOverwritingMemory) {
    zzsupv.storephase = 1;
    EXPECT_EQ(loch(kMaxH - 2), 3);  // exactly the whole array
    EXPECT_EXIT(loch(1), ::testing::ExitedWithCode(1), "Nodrix-F-kernel storage of kind H exhausted");
    EXPECT_EXIT(locit(kMaxIT), ::testing::ExitedWithCode(1), "kind IT exhausted");
}

TEST(TextHelpers, CountCharSkipsLeadingBlanksAndTrailingUnderscores) {
    std::string name = "  sim_160G__" + std::string(38, ' ');
    std::int32_t n = -1;
    count_char(name.data(), n);
    EXPECT_EQ(n, 8);  // "sim_160G"
    name.assign(50, ' ');
    count_char(name.data(), n);
    EXPECT_EQ(n, 0);
}

TEST(InbandExtremes, OnlyBins102To922Count) {
    std::array<float, kBins> gd{};
    gd[101] = -50.0f;
    gd[923] = 90.0f;
    gd[102] = -3.0f;
    gd[922] = 4.0f;
    float lo = 0;
    float hi = 0;
    opx_gd_minvet(gd.data(), lo);
    opx_gd_maxvet(gd.data(), hi);
    EXPECT_EQ(lo, -3.0f);
    EXPECT_EQ(hi, 4.0f);
}

}  // namespace
}  // namespace nodrix
