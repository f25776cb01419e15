// Buffered and unbuffered binary files named by identifiers.
#include <gtest/gtest.h>

#include <dirent.h>

#include <numeric>
#include <string>
#include <vector>

#include "runtime/io_file.h"
#include "tests/support/test_support.h"

namespace nodrix {
namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;
using testing::read_bytes;

class IoFileTest : public testing::NodrixTest {};

int open_descriptors() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d) != nullptr) ++n;
        closedir(d);
    }
    return n;
}

TEST_F(IoFileTest, WrittenValuesComeBackInOrderForEveryBufferSize) {
    std::vector<unsigned char> data(25000);
    std::iota(data.begin(), data.end(), 0);
    for (std::int32_t size : {0, 7, 100, -1}) {
        SCOPED_TRACE(size);
        const std::int32_t w = io_open("f.bin", kIoWrite, size);
        ASSERT_GT(w, 0);
        // Pieces that do not divide any buffer size, and one larger than the buffer.
        std::size_t at = 0;
        for (std::int32_t piece : {13, 1, 333, 12000, 97}) {
            ASSERT_EQ(io_write_byte(w, data.data() + at, piece), 0);
            at += static_cast<std::size_t>(piece);
        }
        ASSERT_EQ(io_write_byte(w, data.data() + at, static_cast<std::int32_t>(data.size() - at)), 0);
        ASSERT_EQ(io_close(w), 0);
        EXPECT_EQ(read_bytes("f.bin"), data);

        const std::int32_t r = io_open("f.bin", kIoRead, size);
        ASSERT_GT(r, 0);
        std::vector<unsigned char> back;
        unsigned char piece[3];
        std::int32_t got;
        while ((got = io_read_str(r, piece, 3)) > 0) back.insert(back.end(), piece, piece + got);
        EXPECT_EQ(got, 0);
        io_close(r);
        if (size != 0) {
            // A buffered read delivers whole pieces only: the 25000 % 3 tail stays unread.
            EXPECT_EQ(back.size(), data.size() - data.size() % 3);
            back.insert(back.end(), data.end() - static_cast<long>(data.size() % 3), data.end());
        }
        EXPECT_EQ(back, data);
    }
}

TEST_F(IoFileTest, TypedWritesAndReads) {
    const std::int32_t w = io_open("t.bin", kIoWrite, -1);
    const std::int32_t ints[2] = {-1, 70000};
    const float flts[1] = {2.5f};
    const double dbls[1] = {-0.125};
    EXPECT_EQ(io_write_int(w, ints, 2), 0);
    EXPECT_EQ(io_write_flt(w, flts, 1), 0);
    EXPECT_EQ(io_write_dbl(w, dbls, 1), 0);
    EXPECT_EQ(io_write_str(w, "ok"), 0);
    io_close(w);
    std::vector<unsigned char> want;
    testing::put_i32(want, -1);
    testing::put_i32(want, 70000);
    testing::put_f32(want, 2.5f);
    testing::put_f64(want, -0.125);
    testing::put_text(want, "ok", false);
    EXPECT_EQ(read_bytes("t.bin"), want);
    const std::int32_t r = io_open("t.bin", kIoRead, 0);
    std::int32_t i2[2];
    float f1;
    double d1;
    EXPECT_EQ(io_read_int(r, i2, 2), 8);
    EXPECT_EQ(io_read_flt(r, &f1, 1), 4);
    EXPECT_EQ(io_read_dbl(r, &d1, 1), 8);
    EXPECT_EQ(i2[1], 70000);
    EXPECT_EQ(f1, 2.5f);
    EXPECT_EQ(d1, -0.125);
    io_close(r);
}

TEST_F(IoFileTest, AppendAndTextModes) {
    std::int32_t id = io_open("a.txt", kIoWrite | kIoText, 0);
    io_write_str(id, "one\n");
    io_close(id);
    id = io_open("a.txt", kIoWrite | kIoAppend, 16);
    io_write_str(id, "two\n");
    io_close(id);
    EXPECT_EQ(testing::read_text("a.txt"), "one\ntwo\n");
}

TEST_F(IoFileTest, BadParametersFlagsAndMissingFiles) {
    CaptureStderr();
    const std::int32_t mode = kIoWrite;
    const std::int32_t size = 0;
    EXPECT_EQ(io_open(nullptr, &mode, &size), -1);
    EXPECT_EQ(io_open("x", nullptr, &size), -1);
    EXPECT_EQ(io_open("x", kIoText, 0), -1);
    EXPECT_EQ(io_open("x", -1, 0), -1);
    EXPECT_EQ(io_open("missing.bin", kIoRead, 0), -1);
    const std::string out = GetCapturedStderr();
    EXPECT_EQ(out,
              "io_open(): Bad parameters\n"
              "io_open(): Bad parameters\n"
              "io_open(): Bad flags\n"
              "io_open(): Bad parameters\n"
              "io_open(): Can't open file missing.bin\n"
              "open(): No such file or directory\n");
}

TEST_F(IoFileTest, BadIdentifiersAndZeroCounts) {
    const std::int32_t id = io_open("z.bin", kIoWrite, 0);
    char c = 'c';
    CaptureStderr();
    EXPECT_EQ(io_write_byte(id, &c, 0), -1);  // writing 0 bytes is a bad parameter
    EXPECT_EQ(io_write_byte(id, nullptr, 1), -1);
    EXPECT_EQ(io_write_byte(0, &c, 1), -1);
    EXPECT_EQ(io_write_byte(101, &c, 1), -1);
    EXPECT_EQ(io_read_str(id + 1, &c, 1), -1);
    EXPECT_EQ(io_read_str(id, &c, 0), -1);
    EXPECT_EQ(io_close(id + 1), -1);
    EXPECT_EQ(io_fseek(id + 1, 0), -1);
    EXPECT_EQ(GetCapturedStderr(),
              "io_write(): Bad parameters\n"
              "io_write(): Bad parameters\n"
              "io_write(): Bad file Id\n"
              "io_write(): Bad file Id\n"
              "io_read(): Bad file Id\n"
              "io_read(): Bad parameters\n"
              "io_close(): Bad file Id\n"
              "io_fseek(): Bad file Id\n");
    EXPECT_EQ(io_close(id), 0);
    CaptureStderr();
    EXPECT_EQ(io_close(id), -1);  // a closed identifier is no longer valid
    GetCapturedStderr();
}

TEST_F(IoFileTest, SeekWorksUnbufferedAndIsRefusedBuffered) {
    std::int32_t id = io_open("s.bin", kIoWrite, 0);
    io_write_str(id, "abcdef");
    io_close(id);
    id = io_open("s.bin", kIoRead, 0);
    EXPECT_EQ(io_fseek(id, 4), 0);
    char c = 0;
    EXPECT_EQ(io_read_str(id, &c, 1), 1);
    EXPECT_EQ(c, 'e');
    io_close(id);
    id = io_open("s.bin", kIoRead, 100);
    CaptureStderr();
    EXPECT_EQ(io_fseek(id, 4), -1);  // a buffered seek must not report success
    EXPECT_EQ(GetCapturedStderr(), "io_fseek():\nCannot use with buffered files.\n");
    EXPECT_EQ(io_read_str(id, &c, 1), 1);
    EXPECT_EQ(c, 'a');  // not moved
    io_close(id);
}

TEST_F(IoFileTest, TheHundredFirstOpenFailsAndLeavesNoDescriptor) {
    std::vector<std::int32_t> ids;
    for (int k = 0; k < 100; ++k) {
        ids.push_back(io_open(("f" + std::to_string(k)).c_str(), kIoWrite, 0));
        ASSERT_EQ(ids.back(), k + 1);
    }
    const int before = open_descriptors();
    CaptureStderr();
    EXPECT_EQ(io_open("one_more", kIoWrite, 0), -1);
    EXPECT_EQ(GetCapturedStderr(), "io_new_file(): Out of buffer\n");
    EXPECT_EQ(open_descriptors(), before);
    EXPECT_EQ(io_close_all(), 100);
    EXPECT_EQ(io_close_all(), 0);
}

TEST_F(IoFileTest, RewriteIntAndExistenceCheck) {
    std::int32_t id = io_open("r.bin", kIoWrite, -1);
    const std::int32_t zeros[3] = {0, 0, 0};
    io_write_int(id, zeros, 3);
    io_close(id);
    const std::int32_t head[2] = {5, 6};
    const std::int32_t count = 2;
    EXPECT_EQ(io_rewrite_int("r.bin", head, &count), 0);
    std::vector<unsigned char> want;
    testing::put_i32(want, 5);
    testing::put_i32(want, 6);
    testing::put_i32(want, 0);
    EXPECT_EQ(read_bytes("r.bin"), want);
    CaptureStderr();
    EXPECT_EQ(io_rewrite_int("nothing.bin", head, &count), -1);
    GetCapturedStderr();
    EXPECT_EQ(io_fchk("r.bin   trailing"), 1);
    EXPECT_EQ(io_fchk("nothing.bin"), 0);
}

}  // namespace
}  // namespace nodrix
