// Data-file helpers: deletion, existence, the "_old" rename.
#include <gtest/gtest.h>

#include <filesystem>

#include "runtime/opxfile.h"
#include "tests/support/test_support.h"

namespace nodrix {
namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;
namespace fs = std::filesystem;

class FileHelperTest : public testing::NodrixTest {};

TEST_F(FileHelperTest, DeleteCutsAtTheFirstBlankAndIgnoresMissingFiles) {
    testing::write_text("abc", "x");
    testing::write_text("abc  def", "y");
    CaptureStderr();
    opxfdel("abc  def");
    opxfdel("not_there");
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_FALSE(fs::exists("abc"));
    EXPECT_TRUE(fs::exists("abc  def"));
    CaptureStderr();
    opxfdel("");
    opxfdel(nullptr);
    EXPECT_EQ(GetCapturedStderr(), "opxfdel(): bad parameters\nopxfdel(): bad parameters\n");
}

TEST_F(FileHelperTest, DeleteReportsAFileItCannotRemove) {
    fs::create_directory("full");
    testing::write_text("full/inside", "x");
    CaptureStderr();
    opxfdel("full");
    EXPECT_EQ(GetCapturedStderr(), "opxfdel(): can't remove file full\n");
}

TEST_F(FileHelperTest, CheckLooksForTheDatSuffix) {
    testing::write_text("gain.DAT", "1");
    EXPECT_EQ(opxfchk("gain   "), 1);
    EXPECT_EQ(opxfchk("gain.DAT"), 0);
    EXPECT_EQ(opxfchk("loss"), 0);
    CaptureStderr();
    EXPECT_EQ(opxfchk(""), 0);
    EXPECT_EQ(GetCapturedStderr(), "opxfchk(): bad parameters\n");
}

TEST_F(FileHelperTest, RenameKeepsTheOldFile) {
    testing::write_text("rept.DAT", "data");
    char old[64] = {};
    EXPECT_EQ(opxfrename("rept  more", old), 8);
    EXPECT_STREQ(old, "rept_old");
    EXPECT_FALSE(fs::exists("rept.DAT"));
    EXPECT_EQ(testing::read_text("rept_old.DAT"), "data");
    CaptureStderr();
    EXPECT_EQ(opxfrename("", old), 0);
    EXPECT_EQ(opxfrename("x", nullptr), 0);
    EXPECT_EQ(GetCapturedStderr(), "opxfrename(): bad source\nopxfrename(): bad destination\n");
}

}  // namespace
}  // namespace nodrix
