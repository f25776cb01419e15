// Binary files: buffered io files named by identifiers, and unformatted
// sequential records with a length word before and after every record.
#include <gtest/gtest.h>

#include <dirent.h>

#include <cstdio>
#include <numeric>
#include <string>
#include <vector>

#include "runtime/io_file.h"
#include "runtime/record_file.h"
#include "tests/support/test_support.h"

namespace nodrix {
namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;
using testing::read_bytes;
using Bytes = std::vector<unsigned char>;

class IoFileTest : public testing::NodrixTest {};

// The bytes of the values as the machine stores them.
template <class... T>
Bytes raw(const T&... values) {
    Bytes out;
    (out.insert(out.end(), reinterpret_cast<const unsigned char*>(&values),
                reinterpret_cast<const unsigned char*>(&values) + sizeof(T)),
     ...);
    return out;
}

void write_bytes(const char* path, const Bytes& b) { testing::write_text(path, std::string(b.begin(), b.end())); }

int open_descriptors() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d) != nullptr) ++n;
        closedir(d);
    }
    return n;
}

TEST_F(IoFileTest, WrittenValuesComeBackInOrderForEveryBufferSize) {
    Bytes data(25000);
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
        Bytes back;
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

TEST_F(IoFileTest, TypedWritesAndReadsAppendAndText) {
    const std::int32_t w = io_open("t.bin", kIoWrite, -1);
    const std::int32_t ints[2] = {-1, 70000};
    const float flt = 2.5f;
    const double dbl = -0.125;
    EXPECT_EQ(io_write_int(w, ints, 2), 0);
    EXPECT_EQ(io_write_flt(w, &flt, 1), 0);
    EXPECT_EQ(io_write_dbl(w, &dbl, 1), 0);
    EXPECT_EQ(io_write_str(w, "ok"), 0);
    io_close(w);
    Bytes want = raw(-1, 70000, 2.5f, -0.125);
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

    std::int32_t id = io_open("a.txt", kIoWrite | kIoText, 0);
    io_write_str(id, "one\n");
    io_close(id);
    id = io_open("a.txt", kIoWrite | kIoAppend, 16);
    io_write_str(id, "two\n");
    io_close(id);
    EXPECT_EQ(testing::read_text("a.txt"), "one\ntwo\n");
}

TEST_F(IoFileTest, BadParametersFlagsIdentifiersAndMissingFiles) {
    const std::int32_t mode = kIoWrite;
    const std::int32_t size = 0;
    const std::int32_t id = io_open("z.bin", kIoWrite, 0);
    char c = 'c';
    CaptureStderr();
    EXPECT_EQ(io_open(nullptr, &mode, &size), -1);
    EXPECT_EQ(io_open("x", nullptr, &size), -1);
    EXPECT_EQ(io_open("x", kIoText, 0), -1);
    EXPECT_EQ(io_open("x", -1, 0), -1);
    EXPECT_EQ(io_open("missing.bin", kIoRead, 0), -1);
    EXPECT_EQ(io_write_byte(id, &c, 0), -1);  // writing 0 bytes is a bad parameter
    EXPECT_EQ(io_write_byte(id, nullptr, 1), -1);
    EXPECT_EQ(io_write_byte(0, &c, 1), -1);
    EXPECT_EQ(io_write_byte(101, &c, 1), -1);
    EXPECT_EQ(io_read_str(id + 1, &c, 1), -1);
    EXPECT_EQ(io_read_str(id, &c, 0), -1);
    EXPECT_EQ(io_close(id + 1), -1);
    EXPECT_EQ(io_fseek(id + 1, 0), -1);
    EXPECT_EQ(GetCapturedStderr(),
              "io_open(): Bad parameters\n"
              "io_open(): Bad parameters\n"
              "io_open(): Bad flags\n"
              "io_open(): Bad parameters\n"
              "io_open(): Can't open file missing.bin\n"
              "open(): No such file or directory\n"
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

TEST_F(IoFileTest, TheHundredFirstOpenFailsAndLeavesNoDescriptor) {
    for (int k = 0; k < 100; ++k) ASSERT_EQ(io_open(("f" + std::to_string(k)).c_str(), kIoWrite, 0), k + 1);
    const int before = open_descriptors();
    CaptureStderr();
    EXPECT_EQ(io_open("one_more", kIoWrite, 0), -1);
    // A result file that cannot be opened is an error naming it.
    EXPECT_EQ(GetCapturedStderr(),
              "io_new_file(): Out of buffer\nNodrix-E-Cannot write the file one_more: Too many open files\n");
    EXPECT_EQ(open_descriptors(), before);
    EXPECT_EQ(io_close_all(), 100);
    EXPECT_EQ(io_close_all(), 0);
}

using RecordFileTest = IoFileTest;

TEST_F(RecordFileTest, LayoutIsLengthDataLength) {
    std::FILE* f = std::fopen("r.bin", "wb");
    ASSERT_TRUE(records::write_values(f, std::int32_t{3}, 0.5f, 2.0));
    const float arr[2] = {1.0f, -1.0f};
    ASSERT_TRUE(records::write_array<float>(f, arr));
    ASSERT_TRUE(records::write(f, {}));
    std::fclose(f);
    EXPECT_EQ(read_bytes("r.bin"), raw(16, 3, 0.5f, 2.0, 16, 8, 1.0f, -1.0f, 8, 0, 0));

    f = std::fopen("r.bin", "rb");
    std::int32_t k2 = 0;
    float a2 = 0;
    double d2 = 0;
    ASSERT_TRUE(records::read_values(f, k2, a2, d2));
    EXPECT_EQ(k2, 3);
    EXPECT_EQ(a2, 0.5f);
    EXPECT_EQ(d2, 2.0);
    float back[2];
    ASSERT_TRUE(records::read_array<float>(f, back));
    EXPECT_EQ(back[1], -1.0f);
    std::vector<std::byte> empty{std::byte{1}};
    ASSERT_TRUE(records::read(f, empty));
    EXPECT_TRUE(empty.empty());
    EXPECT_FALSE(records::read(f, empty));  // end of file
    std::fclose(f);
}

TEST_F(RecordFileTest, ShortOrDamagedRecordsAreRefused) {
    write_bytes("d.bin", raw(4, 1, 4));
    std::FILE* f = std::fopen("d.bin", "rb");
    double too_big = 0;
    EXPECT_FALSE(records::read_values(f, too_big));  // record shorter than the values
    std::fclose(f);

    // Length words that disagree, then a truncated record.
    write_bytes("b.bin", raw(4, 7, 5, 1000, 1));
    f = std::fopen("b.bin", "rb");
    std::vector<std::byte> data;
    EXPECT_FALSE(records::read(f, data));
    EXPECT_TRUE(data.empty());
    EXPECT_FALSE(records::read(f, data));
    std::fclose(f);

    // A length word of 1.5 GiB in front of a few bytes: refused without a buffer of that size.
    write_bytes("h.bin", raw(0x60000000, 1, 2));
    f = std::fopen("h.bin", "rb");
    EXPECT_FALSE(records::read(f, data));
    EXPECT_TRUE(data.empty());
    EXPECT_LT(data.capacity(), std::size_t{2} << 20);
    std::fclose(f);
}

TEST_F(RecordFileTest, RecordsAroundTheBufferSizeAndLargeOnesKeepTheirLayout) {
    std::vector<std::vector<std::byte>> sent;
    Bytes want;
    for (const std::size_t size : {std::size_t{255}, std::size_t{256}, std::size_t{257}, std::size_t{3} << 20}) {
        std::vector<std::byte> r(size);
        for (std::size_t i = 0; i < size; ++i) r[i] = static_cast<std::byte>((i * 7 + size) & 0xff);
        sent.push_back(r);
        testing::put_i32(want, static_cast<std::int32_t>(size));
        for (std::byte b : r) want.push_back(static_cast<unsigned char>(b));
        testing::put_i32(want, static_cast<std::int32_t>(size));
    }
    std::FILE* f = std::fopen("s.bin", "wb");
    for (const auto& r : sent) ASSERT_TRUE(records::write(f, r));
    std::fclose(f);
    EXPECT_EQ(read_bytes("s.bin"), want);
    f = std::fopen("s.bin", "rb");
    std::vector<std::byte> back;
    for (const auto& r : sent) {
        ASSERT_TRUE(records::read(f, back));
        EXPECT_EQ(back, r);
    }
    EXPECT_FALSE(records::read(f, back));
    std::fclose(f);
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

}  // namespace
}  // namespace nodrix
