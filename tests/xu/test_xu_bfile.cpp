// The handle-based binary files of the chart library, and the string helpers.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "tests/support/test_support.h"
#include "xu/xu_bfile.h"
#include "xu/xu_mem.h"
#include "xu/xu_string.h"

namespace nodrix {
namespace {

using testing::read_bytes;

class BfileTest : public testing::NodrixTest {};

TEST_F(BfileTest, WritesValuesInNativeOrder) {
    XuBfile* h = xu_BfileOpen("b.bin", kBfileWrite);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(xu_BfileWriteByte(h, 7), 0);
    EXPECT_EQ(xu_BfileWriteInt(h, 0x01020304), 0);
    EXPECT_EQ(xu_BfileWriteDouble(h, 1.5), 0);
    EXPECT_EQ(xu_BfileWriteString(h, "ab"), 0);
    EXPECT_EQ(xu_BfileWriteStringAscii(h, "cd"), 0);
    EXPECT_EQ(xu_BfileClose(h), 0);
    std::vector<unsigned char> want{7, 4, 3, 2, 1};
    testing::put_f64(want, 1.5);
    testing::put_i32(want, 3);
    testing::put_text(want, "ab");
    testing::put_text(want, "cd");
    EXPECT_EQ(read_bytes("b.bin"), want);
}

TEST_F(BfileTest, AppendTruncateAndSeek) {
    XuBfile* h = xu_BfileOpen("a.bin", kBfileWrite);
    xu_BfileWriteInt(h, 1);
    xu_BfileClose(h);
    h = xu_BfileOpen("a.bin", kBfileWrite | kBfileAppend);
    xu_BfileWriteInt(h, 2);
    xu_BfileClose(h);
    EXPECT_EQ(read_bytes("a.bin").size(), 8u);
    h = xu_BfileOpen("a.bin", kBfileRead | kBfileWrite);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(xu_BfileSeek(h, 4), 0);
    xu_BfileWriteInt(h, 9);
    EXPECT_EQ(xu_BfileSeek(h, 0), 0);
    std::int32_t v[2];
    EXPECT_EQ(xu_BfileReadNByte(h, v, sizeof v), 0);
    EXPECT_EQ(v[0], 1);
    EXPECT_EQ(v[1], 9);
    xu_BfileClose(h);
    h = xu_BfileOpen("a.bin", kBfileWrite);  // truncates
    xu_BfileClose(h);
    EXPECT_TRUE(read_bytes("a.bin").empty());
    EXPECT_EQ(xu_BfileOpen("missing.bin", kBfileRead), nullptr);
}

TEST_F(BfileTest, ReadsAtTheEndZeroFillAndFail) {
    XuBfile* h = xu_BfileOpen("s.bin", kBfileWrite);
    xu_BfileWriteNByte(h, "xyz", 3);
    xu_BfileClose(h);
    h = xu_BfileOpen("s.bin", kBfileRead);
    unsigned char buf[8];
    std::memset(buf, 0xff, sizeof buf);
    EXPECT_EQ(xu_BfileReadNByte(h, buf, 2), 0);
    EXPECT_EQ(buf[0], 'x');
    EXPECT_EQ(xu_BfileReadNByte(h, buf, 4), -1);  // only one byte left
    for (int k = 0; k < 4; ++k) EXPECT_EQ(buf[k], 0);
    xu_BfileClose(h);
}

TEST_F(BfileTest, StringReadsAreAlwaysTerminatedWithinTheirLimit) {
    XuBfile* h = xu_BfileOpen("t.bin", kBfileWrite);
    xu_BfileWriteStringAscii(h, "short");
    xu_BfileWriteStringAscii(h, "a much longer text");
    xu_BfileWriteString(h, "counted");
    xu_BfileWriteNByte(h, "open", 4);  // no NUL before the end
    xu_BfileClose(h);
    h = xu_BfileOpen("t.bin", kBfileRead);
    char text[8];
    EXPECT_EQ(xu_BfileReadStringAscii(h, text, sizeof text), 0);
    EXPECT_STREQ(text, "short");
    EXPECT_EQ(xu_BfileReadStringAscii(h, text, sizeof text), 0);
    EXPECT_STREQ(text, "a much ");  // cut, but the rest of the text is consumed
    EXPECT_EQ(xu_BfileReadString(h, text, sizeof text), 0);
    EXPECT_STREQ(text, "counted");
    EXPECT_EQ(xu_BfileReadStringAscii(h, text, sizeof text), -1);
    EXPECT_STREQ(text, "open");
    xu_BfileClose(h);
}

TEST(StringHelpers, DupLowerTokens) {
    EXPECT_EQ(xu_StringDup(nullptr), nullptr);
    char* d = xu_StringDup("MiXeD 1");
    EXPECT_STREQ(xu_StringLower(d), "mixed 1");
    xu_free(d);
    char line[] = "  a,b;;c  ";
    char* save = nullptr;
    const char* delims = " ,;";
    EXPECT_STREQ(xu_StringTok(line, delims, &save), "a");
    EXPECT_STREQ(xu_StringTok(nullptr, delims, &save), "b");
    EXPECT_STREQ(xu_StringTok(nullptr, delims, &save), "c");
    EXPECT_EQ(xu_StringTok(nullptr, delims, &save), nullptr);
    EXPECT_EQ(xu_StringTok(nullptr, delims, &save), nullptr);
}

TEST_F(BfileTest, FGetsTurnsCrLfIntoLf) {
    testing::write_text("l.txt", "one\r\ntwo\nthree");
    std::FILE* f = std::fopen("l.txt", "r");
    char buf[32];
    EXPECT_STREQ(xu_FGets(buf, sizeof buf, f), "one\n");
    EXPECT_STREQ(xu_FGets(buf, sizeof buf, f), "two\n");
    EXPECT_STREQ(xu_FGets(buf, sizeof buf, f), "three");
    EXPECT_EQ(xu_FGets(buf, sizeof buf, f), nullptr);
    std::fclose(f);
}

}  // namespace
}  // namespace nodrix
