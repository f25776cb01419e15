// Kernel storage: counting, allocating, finding records again, text helpers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "kernel/control_blocks.h"
#include "kernel/storage.h"
#include "tests/support/test_support.h"

namespace nodrix {
namespace {

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

TEST_F(StorageTest, LaterPassesFindEachRecordAgainInCallOrder) {
    zzsupv.storephase = 1;
    zzctrl.pass = 0;
    const std::int32_t a = loci(3);
    const std::int32_t b = loci(7);
    const std::int32_t p = locht(2);
    const std::int32_t q = locht(4);
    zzctrl.pass = 1;
    zzsupv.i = 1;
    zzsupt.ht = 1;
    zzcoun.coun = 1;
    EXPECT_EQ(loci(3), a);  // divisor 0 counts as 1
    EXPECT_EQ(loci(7), b);
    EXPECT_EQ(locht(2), p);
    EXPECT_EQ(locht(4), q);
}

TEST_F(StorageTest, RecordsOfBlocksThatDoNotRunAtThisSampleAreSkipped) {
    zzsupv.storephase = 1;
    zzctrl.pass = 0;
    zzscal.scal = 1;
    const std::int32_t every = loci(2);
    zzscal.scal = 3;
    const std::int32_t third = loci(2);
    zzscal.scal = 1;
    const std::int32_t last = loci(2);
    zzctrl.pass = 1;
    for (std::int32_t sample = 1; sample <= 4; ++sample) {
        SCOPED_TRACE(sample);
        zzcoun.coun = sample;
        zzsupv.i = 1;
        EXPECT_EQ(loci(2), every);
        const bool runs = (sample - 1) % 3 == 0;
        if (runs) {
            EXPECT_EQ(loci(2), third);
        }
        EXPECT_EQ(loci(2), last);
    }
}

TEST_F(StorageTest, EveryKindFindsItsRecordsWithDivisorsZeroOneAndThree) {
    // The records of every kind with a divisor, kept at every sample (0, 1)
    // and every third sample (3), looked up again in later passes.
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
    EXPECT_EQ(loch(limits::kMaxH - 2), 3);  // exactly the whole array
    EXPECT_EXIT(loch(1), ::testing::ExitedWithCode(1), "Nodrix-F-kernel storage of kind H exhausted");
    EXPECT_EXIT(locit(limits::kMaxIT), ::testing::ExitedWithCode(1), "kind IT exhausted");
}

TEST(TextHelpers, LentriCountCharLdimen) {
    EXPECT_EQ(lentri("abc   ", 6), 3);
    EXPECT_EQ(lentri("      ", 6), 1);
    EXPECT_EQ(lentri("", 0), 1);
    EXPECT_EQ(lentri("abcdef", 4), 4);
    char name[51];
    std::memset(name, ' ', 50);
    name[50] = '\0';
    std::memcpy(name + 2, "sim_160G__", 10);
    std::int32_t n = -1;
    count_char(name, n);
    EXPECT_EQ(n, 8);  // "sim_160G"
    std::memset(name, ' ', 50);
    count_char(name, n);
    EXPECT_EQ(n, 0);
    const std::int32_t list[] = {3, 0, 5, -1, 7};
    EXPECT_EQ(ldimen(list), 3);
    const std::int32_t none[] = {-2};
    EXPECT_EQ(ldimen(none), 0);
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
