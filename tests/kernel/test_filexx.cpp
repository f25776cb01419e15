// The unit registry of the models' data files, and the data-file helpers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "kernel/lib00.h"
#include "kernel/filexx.h"
#include "runtime/opxfile.h"
#include "tests/support/test_support.h"

namespace nodrix {
namespace {

using ::testing::HasSubstr;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;
using testing::read_text;
using testing::write_text;
namespace fs = std::filesystem;

class UnitRegistryTest : public testing::NodrixTest {};

TEST_F(UnitRegistryTest, RewritingAnOlderLongerFileLeavesNothingOfIt) {
    write_text("rep.DAT", "an old report\nwith many\nlines\n");
    std::int32_t u = 0;
    opnfil("rep", kFormattedUnknown, u, 3);
    unit_write_line(u, "new");
    clodev(u, 0);
    EXPECT_EQ(read_text("rep.DAT"), "new\n");
    write_text("rec.DAT", std::string(100, 'x'));
    opnfil("rec", kUnformattedUnknown, u, 3);
    std::fputs("abc", unit_stream(u));
    unit_end_here(u);
    clodev(u, 0);
    EXPECT_EQ(read_text("rec.DAT"), "abc");
}

TEST_F(UnitRegistryTest, NoFreeUnitGivesUnitZeroAndKeepsOpenFiles) {
    for (int k = 11; k <= 100; ++k) {
        std::int32_t u = 0;
        const std::string name = "f" + std::to_string(k);
        opnfil(name.c_str(), kFormattedUnknown, u, static_cast<std::int32_t>(name.size()));
        ASSERT_EQ(u, k);
    }
    unit_write_line(100, "kept");
    std::int32_t u = -5;
    CaptureStderr();
    opnfil("extra", kFormattedUnknown, u, 5);
    EXPECT_THAT(GetCapturedStderr(), HasSubstr("ERROR CODE =  9251"));
    EXPECT_EQ(u, 0);
    EXPECT_EQ(unit_stream(u), nullptr);
    EXPECT_FALSE(fs::exists("extra.DAT"));
    clodev(100, 0);
    EXPECT_EQ(read_text("f100.DAT"), "kept\n");
}

}  // namespace
}  // namespace nodrix
