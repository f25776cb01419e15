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

TEST_F(UnitRegistryTest, OpensTheCutTrimmedNamePlusDatOnTheFirstFreeUnit) {
    std::int32_t u1 = 0, u2 = 0, u3 = 0;
    opnfil("report one      ", kFormattedNew, u1, 16);
    opnfil("rc000077", kUnformattedUnknown, u2, 8);
    opnfil("abcdef", kFormattedUnknown, u3, 3);
    EXPECT_EQ(u1, 11);
    EXPECT_EQ(u2, 12);
    EXPECT_TRUE(fs::exists("rc000077.DAT"));
    EXPECT_TRUE(fs::exists("abc.DAT"));
    EXPECT_TRUE(unit_write_line(u1, " P Power [dBm] =        0.000"));
    clodev(u1, 0);
    EXPECT_EQ(read_text("report one.DAT"), " P Power [dBm] =        0.000\n");
    EXPECT_FALSE(unit_registered(u1));
    clofil("rc000077    ", 1, 12);  // mode 1 deletes
    EXPECT_FALSE(fs::exists("rc000077.DAT"));
    clodev(u3, 1);
    EXPECT_FALSE(fs::exists("abc.DAT"));
    std::int32_t nerr = 0;
    opxget(&nerr, nullptr);
    EXPECT_EQ(nerr, 0);
    opnfil("r", kFormattedUnknown, u1, 1);
    tqflrs();  // the legacy reset empties the registry
    EXPECT_FALSE(unit_registered(u1));
}

TEST_F(UnitRegistryTest, UnknownKeepsContentAndNewKeepsTheReplacedFileAsOld) {
    write_text("data.DAT", "line 1\nline 2\n");
    std::int32_t u = 0;
    opnfil("data", kFormattedUnknown, u, 4);
    std::string line;
    ASSERT_TRUE(unit_read_line(u, line));
    EXPECT_EQ(line, "line 1");
    ASSERT_TRUE(unit_read_line(u, line));
    EXPECT_FALSE(unit_read_line(u, line));
    unit_rewind(u);
    ASSERT_TRUE(unit_read_line(u, line));
    EXPECT_EQ(line, "line 1");
    clodev(u, 0);
    opnfil("data", kFormattedNew, u, 4);
    unit_write_line(u, "fresh");
    clodev(u, 0);
    EXPECT_EQ(read_text("data.DAT"), "fresh\n");
    EXPECT_EQ(read_text("data_old.DAT"), "line 1\nline 2\n");
}

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

TEST_F(UnitRegistryTest, ScratchFilesHaveNoName) {
    std::int32_t u = 0;
    opnfil("ignored", kUnformattedScratch, u, 7);
    EXPECT_GT(u, 0);
    EXPECT_NE(unit_stream(u), nullptr);
    EXPECT_EQ(unit_path(u), "");
    EXPECT_FALSE(fs::exists("ignored.DAT"));
    clodev(u, 1);
    ASSERT_TRUE(open_scratch_unit(99, false));
    EXPECT_FALSE(open_scratch_unit(99, false));  // already open
    EXPECT_FALSE(unit_registered(99));
    close_unit(99);
    EXPECT_EQ(unit_stream(99), nullptr);
}

TEST_F(UnitRegistryTest, RegistryErrorsGoThroughTheKernelWithTheirCodes) {
    std::int32_t u = 0, v = 0;
    CaptureStderr();
    opnfil("odd", 35, u, 3);  // type outside 31..33, 41..43: reported, the call goes on
    opnfil("odd", kFormattedUnknown, v, 3);  // the same registered name again
    clofil("odd", 2, 3);
    clofil("never", 0, 5);
    clodev(u, 3);
    clodev(70, 0);
    clodev(0, 0);
    const std::string out = GetCapturedStderr();
    for (const char* code : {" 9252", " 9250", " 9260", " 9261", " 9270", " 9271"})
        EXPECT_THAT(out, HasSubstr(std::string("  NODRIX PROGRAM INTERRUPT - ERROR CODE = ") + code +
                                   "   TIME =  0.000000E+00"));
    EXPECT_EQ(kernel_error_count(), 7);
    std::int32_t nerr = 0;
    opxget(&nerr, nullptr);
    EXPECT_EQ(nerr, 7);
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

TEST_F(UnitRegistryTest, DeleteCutsAtTheFirstBlankAndReportsWhatItCannotRemove) {
    write_text("abc", "x");
    write_text("abc  def", "y");
    fs::create_directory("full");
    write_text("full/inside", "x");
    CaptureStderr();
    opxfdel("abc  def");
    opxfdel("not_there");
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_FALSE(fs::exists("abc"));
    EXPECT_TRUE(fs::exists("abc  def"));
    CaptureStderr();
    opxfdel("");
    opxfdel(nullptr);
    opxfdel("full");
    EXPECT_EQ(GetCapturedStderr(),
              "opxfdel(): bad parameters\nopxfdel(): bad parameters\nopxfdel(): can't remove file full\n");
}

}  // namespace
}  // namespace nodrix
