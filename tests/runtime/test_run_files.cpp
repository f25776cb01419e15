// The files of a run, as its directory holds them while the run works and
// after it ends: a result written anew, a report kept as _old, a file
// removed, an earlier file changed in place.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "runtime/io_file.h"
#include "runtime/opxfile.h"
#include "runtime/run_files.h"
#include "tests/support/test_support.h"

namespace nodrix {
namespace {

namespace fs = std::filesystem;
using Files = std::map<std::string, std::string>;

// The directory's files and their bytes (directories as "<dir>"); hidden
// ones (the run's temporary files) only with `hidden`.
Files files_here(bool hidden) {
    Files f;
    for (const auto& e : fs::directory_iterator(".")) {
        const std::string name = e.path().filename().string();
        if (hidden || name[0] != '.') f[name] = e.is_directory() ? "<dir>" : testing::read_text(name);
    }
    return f;
}

void write_result(const char* name, const std::string& bytes) {
    const std::int32_t mode = kIoWrite;
    const std::int32_t size = -1;
    const std::int32_t id = io_open(name, &mode, &size);
    ASSERT_GE(id, 0);
    io_write_str(&id, bytes.c_str());
    io_close(&id);
}

class RunFilesTest : public testing::NodrixTest {};

TEST_F(RunFilesTest, ARunsFilesTakeTheirNamesTogetherOnlyWhenItEndsWell) {
    const Files earlier = {{"a.qxy", "earlier a"}, {"r.DAT", "report"}, {"b.txt", "b"}, {"c.bin", "cccccc"}};
    const std::pair<bool, Files> cases[] = {
        {false, earlier},
        {true, {{"a.qxy", "new a"}, {"r_old.DAT", "report"}, {"c.bin", "AAAAcc"}}},
    };
    for (const auto& [ends_well, after] : cases) {
        SCOPED_TRACE(ends_well ? "the run ends well" : "the run fails");
        for (const auto& [name, bytes] : files_here(true)) fs::remove(name);
        for (const auto& [name, bytes] : earlier) testing::write_text(name, bytes);
        begin_run_files();
        write_result("a.qxy", "new a");
        char old[16];
        opxfrename("r", old);
        opxfdel("b.txt");
        const std::int32_t word = 0x41414141;
        const std::int32_t one = 1;
        EXPECT_EQ(io_rewrite_int("c.bin", &word, &one), 0);
        // Nothing changed on the disk; the run sees its own versions.
        EXPECT_EQ(files_here(false), earlier);
        EXPECT_EQ(testing::read_text(present_version("a.qxy")), "new a");
        EXPECT_EQ(testing::read_text(present_version("r_old.DAT")), "report");
        EXPECT_EQ(testing::read_text(present_version("c.bin")), "AAAAcc");
        EXPECT_FALSE(file_present("r.DAT") || file_present("b.txt"));
        EXPECT_TRUE(end_run_files(ends_well));
        EXPECT_EQ(files_here(true), after);
    }
}

// A file that cannot take its name when the run ends (a directory made in
// its place meanwhile): the error names it, and none of the run's files go
// in place, nor does the run claim any.
TEST_F(RunFilesTest, AFileThatCannotGoInPlacePutsNoneInPlace) {
    testing::write_text("a.qxy", "earlier a");
    begin_run_files();
    write_result("a.qxy", "new a");
    write_result("z.qxy", "new z");
    fs::create_directory("z.qxy");
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(end_run_files(true));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Nodrix-E-Cannot write the file z.qxy: Is a directory\n");
    EXPECT_EQ(files_here(true), (Files{{"a.qxy", "earlier a"}, {"z.qxy", "<dir>"}}));
    EXPECT_TRUE(files_put_in_place().empty());
}

// A run the program ends with exit() in its midst (a fatal condition) leaves
// the directory as it was.
TEST_F(RunFilesTest, ARunEndedByExitLeavesNothingOfItsOwn) {
    testing::write_text("a.qxy", "earlier a");
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        begin_run_files();
        write_result("a.qxy", "new a");
        write_result("b.qxy", "new b");
        std::exit(1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(files_here(true), (Files{{"a.qxy", "earlier a"}}));
}

}  // namespace
}  // namespace nodrix
