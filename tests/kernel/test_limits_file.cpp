// The limits file: what the driver writes reads back, and a damaged file is
// refused with the file and line named.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "kernel/limits_file.h"
#include "tests/support/test_support.h"

namespace nodrix {
namespace {

class LimitsFileTest : public testing::NodrixTest {
protected:
    // Reads `name` into the default capacities; the error text, or "" after success.
    std::string read(const std::string& name, StorageCounts& counts) {
        counts = kDefaultCapacities;
        ::testing::internal::CaptureStderr();
        const bool ok = read_limits_file(name, counts);
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(ok, err.empty()) << err;
        return err;
    }
};

TEST_F(LimitsFileTest, WhatIsWrittenReadsBack) {
    const StorageCounts written{3, 4, 2147483646, 6, 7, 8, 0, 10, 34818180};
    write_limits_file("x0_p.hst", written);
    StorageCounts counts{};
    EXPECT_EQ(read("x0_p.hst", counts), "");
    EXPECT_EQ(counts, written);
}

TEST_F(LimitsFileTest, DamagedFilesAreRefusedWithTheLine) {
    const std::string kinds = " (MAXH, MAXI, MAXD, MAXC, MAXHT, MAXIT, MAXCT, MAXZ, MAXZD)";
    const std::string count = "the count of MAXI must be a whole number from 0 to 2147483646";
    struct Case {
        const char* text;
        std::string message;  // after "Nodrix-E-Limits file bad.hst"
    };
    const Case cases[] = {
        {"", " holds no storage counts"},
        {"MAXH 1\n\nMAXQ 5\n", ", line 3: unknown storage kind MAXQ" + kinds},
        {"MAXZD 10\nMAXZD 12\n", ", line 2: MAXZD given twice"},
        {"MAXI -5\n", ", line 1: " + count},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        testing::write_text("bad.hst", c.text);
        StorageCounts counts{};
        EXPECT_EQ(read("bad.hst", counts), "Nodrix-E-Limits file bad.hst" + c.message + "\n");
        EXPECT_EQ(counts, kDefaultCapacities);  // nothing taken from a damaged file
    }
    StorageCounts counts{};
    EXPECT_EQ(read("absent.hst", counts), "Nodrix-E-Cannot read the limits file absent.hst\n");
    std::filesystem::create_directory("dir.hst");
    EXPECT_EQ(read("dir.hst", counts), "Nodrix-E-Cannot read the limits file dir.hst\n");
}

}  // namespace
}  // namespace nodrix
