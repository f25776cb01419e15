// Binary files: buffered io files named by identifiers, unformatted
// sequential records with a length word before and after every record, and
// the temporary files results are written into.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <filesystem>

#include <cstdio>
#include <numeric>
#include <string>
#include <vector>

#include "runtime/io_file.h"
#include "runtime/record_file.h"
#include "runtime/run_files.h"
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

// What stands under a result's name and is no regular file (a pipe, a device
// node made here, a directory) is never replaced, whatever the caller's rule
// for the files it may not write, and nothing is made beside it.
TEST_F(IoFileTest, ANameTakenByNoRegularFileIsNeverReplaced) {
    ASSERT_EQ(::mkfifo("pipe.qxy", 0644), 0);
    std::filesystem::create_directory("dir.DAT");
    const std::string no_device = testing::make_full_device("full.DAT");
    std::vector<std::pair<const char*, int>> cases = {{"pipe.qxy", EEXIST}, {"dir.DAT", EISDIR}};  // name, errno
    if (no_device.empty()) cases.push_back({"full.DAT", EEXIST});
    for (const auto& [name, error] : cases) {
        for (const bool only_writable : {true, false}) {
            std::string temporary;
            errno = 0;
            EXPECT_EQ(create_temporary(name, temporary, 0644, only_writable), -1) << name;
            EXPECT_EQ(errno, error) << name;
        }
    }
    struct stat st {};
    EXPECT_TRUE(::stat("pipe.qxy", &st) == 0 && S_ISFIFO(st.st_mode) && std::filesystem::is_directory("dir.DAT"));
    EXPECT_TRUE(!no_device.empty() || (::stat("full.DAT", &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == ::makedev(1, 7)));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator("."), std::filesystem::directory_iterator()),
              static_cast<std::ptrdiff_t>(cases.size()));
    if (!no_device.empty()) GTEST_SKIP() << "the pipe and the directory were checked; " << no_device;
}

}  // namespace
}  // namespace nodrix
