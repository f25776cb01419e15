// Option parsing of the command line, the handle-based binary files of the
// chart library, and the string helpers.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/test_support.h"
#include "xu/xu_args.h"
#include "xu/xu_bfile.h"
#include "xu/xu_mem.h"
#include "xu/xu_string.h"

namespace nodrix {
namespace {

using testing::read_bytes;

// Runs the option parser over `words` to the end: the codes in order, with
// the value given ("2=value") or cleared ("2="), and the words left.
std::pair<std::vector<std::string>, std::vector<std::string>> parse_args(std::vector<std::string> words) {
    static const char* const table[] = {"verbose", "prerun", ":log", ""};
    static char unset[] = "unset";
    std::vector<char*> ptrs;
    for (auto& w : words) ptrs.push_back(w.data());
    ptrs.push_back(nullptr);
    int argc = static_cast<int>(words.size());
    std::vector<std::string> got;
    for (int code = 0; code >= 0;) {
        char* value = unset;
        code = xu_GetArgs(table, &argc, ptrs.data(), &value);
        got.push_back(std::to_string(code) + (value != unset ? "=" + std::string(value ? value : "") : ""));
    }
    EXPECT_EQ(ptrs[static_cast<std::size_t>(argc)], nullptr);  // vacated entries are cleared
    return {got, std::vector<std::string>(ptrs.begin(), ptrs.begin() + argc)};
}

// A value may start with '/'; a value option followed by another option, or
// last, has no value; options may repeat; names match whole, in any case.
TEST(ArgumentParsing, CodesValuesAndRemoval) {
    using Words = std::vector<std::string>;
    EXPECT_EQ(parse_args({"prog", "bare", "-LOG", "/tmp/run.log", "-Verbose", "/prerun", "-verb", "-logfile"}),
              std::pair(Words{"2=/tmp/run.log", "0=", "1=", "-1="}, Words{"prog", "bare", "-verb", "-logfile"}));
    EXPECT_EQ(parse_args({"prog", "/log", "-prerun", "-prerun", "-log"}),
              std::pair(Words{"2=", "1=", "1=", "2=", "-1="}, Words{"prog"}));
    EXPECT_EQ(parse_args({"prog"}), std::pair(Words{"-1="}, Words{"prog"}));
}

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
    for (const int k : {1, 2}) {
        XuBfile* h = xu_BfileOpen("a.bin", k == 1 ? kBfileWrite : kBfileWrite | kBfileAppend);
        xu_BfileWriteInt(h, k);
        xu_BfileClose(h);
    }
    EXPECT_EQ(read_bytes("a.bin").size(), 8u);
    XuBfile* h = xu_BfileOpen("a.bin", kBfileRead | kBfileWrite);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(xu_BfileSeek(h, 4), 0);
    xu_BfileWriteInt(h, 9);
    EXPECT_EQ(xu_BfileSeek(h, 0), 0);
    std::int32_t v[2];
    EXPECT_EQ(xu_BfileReadNByte(h, v, sizeof v), 0);
    EXPECT_EQ(v[0], 1);
    EXPECT_EQ(v[1], 9);
    xu_BfileClose(h);
    xu_BfileClose(xu_BfileOpen("a.bin", kBfileWrite));  // truncates
    EXPECT_TRUE(read_bytes("a.bin").empty());
    EXPECT_EQ(xu_BfileOpen("missing.bin", kBfileRead), nullptr);
}

// Reads past the end zero-fill and fail; string reads are always terminated
// within their limit and consume the rest of a text cut short.
TEST_F(BfileTest, ReadsAtTheEndAndStringLimits) {
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
    EXPECT_STREQ(text, "a much ");
    EXPECT_EQ(xu_BfileReadString(h, text, sizeof text), 0);
    EXPECT_STREQ(text, "counted");
    const long open_at = static_cast<long>(read_bytes("t.bin").size()) - 4;
    EXPECT_EQ(xu_BfileReadStringAscii(h, text, sizeof text), -1);
    EXPECT_STREQ(text, "open");
    unsigned char buf[8];
    std::memset(buf, 0xff, sizeof buf);
    ASSERT_EQ(xu_BfileSeek(h, open_at), 0);
    EXPECT_EQ(xu_BfileReadNByte(h, buf, 2), 0);
    EXPECT_EQ(buf[0], 'o');
    EXPECT_EQ(xu_BfileReadNByte(h, buf, 4), -1);  // only two bytes left
    for (int k = 0; k < 4; ++k) EXPECT_EQ(buf[k], 0);
    xu_BfileClose(h);
}

TEST_F(BfileTest, StringHelpers) {
    EXPECT_EQ(xu_StringDup(nullptr), nullptr);
    char* d = xu_StringDup("MiXeD 1");
    EXPECT_STREQ(xu_StringLower(d), "mixed 1");
    xu_free(d);
    char line[] = "  a,b;;c  ";
    char* save = nullptr;
    EXPECT_STREQ(xu_StringTok(line, " ,;", &save), "a");
    EXPECT_STREQ(xu_StringTok(nullptr, " ,;", &save), "b");
    EXPECT_STREQ(xu_StringTok(nullptr, " ,;", &save), "c");
    EXPECT_EQ(xu_StringTok(nullptr, " ,;", &save), nullptr);
    EXPECT_EQ(xu_StringTok(nullptr, " ,;", &save), nullptr);
    // xu_FGets turns CR LF into LF.
    testing::write_text("l.txt", "one\r\ntwo\nthree");
    std::FILE* f = std::fopen("l.txt", "r");
    char buf[32];
    for (const char* want : {"one\n", "two\n", "three"}) EXPECT_STREQ(xu_FGets(buf, sizeof buf, f), want);
    EXPECT_EQ(xu_FGets(buf, sizeof buf, f), nullptr);
    std::fclose(f);
}

}  // namespace
}  // namespace nodrix
