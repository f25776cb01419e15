// The plan wisdom tool: what it writes is what the plan store reads.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "runtime/wisdom.h"
#include "tests/support/test_support.h"
#include "tools/wisdom_tool.h"

namespace nodrix {
namespace {

class WisdomToolTest : public testing::NodrixTest {
protected:
    void TearDown() override {
        opxplandestroy();
        forget_wisdom();
        unsetenv("BNLIB");
        testing::NodrixTest::TearDown();
    }
    int run(std::vector<std::string> words) {
        words.insert(words.begin(), "nodrix-wisdom");
        std::vector<char*> argv;
        for (std::string& w : words) argv.push_back(w.data());
        out_.str("");
        err_.str("");
        return wisdom_tool::wisdom_tool_main(static_cast<int>(argv.size()), argv.data(), out_, err_);
    }
    std::ostringstream out_, err_;
};

// The entries "(solver flags... hash)" of a wisdom text.
std::set<std::string> entries(const std::string& text) {
    std::set<std::string> found;
    const std::regex entry(R"(\(fftw_[a-z0-9_]+ [^()]*\))");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), entry); it != std::sregex_iterator(); ++it)
        found.insert(it->str());
    return found;
}

// The wisdom of a file alone.
void use_only(const std::string& path) {
    forget_wisdom();
    ASSERT_TRUE(import_wisdom_file(path).imported);
}

TEST_F(WisdomToolTest, WritesWisdomThatThePlanStoreImportsAndAddsToIt) {
    ASSERT_EQ(run({"-max", "3", dir_.string()}), 0) << err_.str();
    EXPECT_NE(out_.str().find("length 2^3"), std::string::npos);
    EXPECT_NE(out_.str().find("Wrote " + (dir_ / "opwis.pln").string()), std::string::npos);
    const std::set<std::string> small = entries(testing::read_text("opwis.pln"));
    // Both directions of every length asked for, and no more.
    use_only("opwis.pln");
    for (const int length : {2, 4, 8}) EXPECT_TRUE(testing::wisdom_holds(length)) << length;
    EXPECT_FALSE(testing::wisdom_holds(16));
    setenv("BNLIB", dir_.c_str(), 1);
    // A second run, through BNLIB, keeps what was there and adds the longer lengths.
    ASSERT_EQ(run({"-max", "5"}), 0) << err_.str();
    EXPECT_NE(out_.str().find("Starting from the wisdom in"), std::string::npos);
    const std::set<std::string> more = entries(testing::read_text("opwis.pln"));
    for (const std::string& e : small) EXPECT_EQ(more.count(e), 1u) << e;
    EXPECT_GT(more.size(), small.size());
    use_only("opwis.pln");
    for (const int length : {8, 16, 32}) EXPECT_TRUE(testing::wisdom_holds(length)) << length;
    // Nothing but the file is left in the directory.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), std::filesystem::directory_iterator()), 1);
}

TEST_F(WisdomToolTest, AFileWithoutWisdomIsReplacedWithAWord) {
    testing::write_text("opwis.pln", "(FFTW-2.1.5 (4 529 -1 0 1 1 1 1 0))");
    ASSERT_EQ(run({"-max", "2", "."}), 0);
    EXPECT_EQ(err_.str(), "nodrix-wisdom: ./opwis.pln is not used (it is not wisdom of FFTW 3 in double precision); "
                          "it is replaced\n");
    EXPECT_TRUE(import_wisdom_file("opwis.pln").checked);
}

// A pipe of the file's name is refused at once, before any measuring, and left as it was.
TEST_F(WisdomToolTest, AFileNameTakenByNoRegularFileIsRefusedBeforeMeasuring) {
    ASSERT_EQ(::mkfifo("opwis.pln", 0644), 0);
    EXPECT_EQ(run({"-max", "2", "."}), 1);
    EXPECT_EQ(out_.str(), "");
    EXPECT_EQ(err_.str(), "nodrix-wisdom: ./opwis.pln is not replaced: it is not a regular file (a device, a pipe or a socket)\n");
    struct stat st {};
    EXPECT_TRUE(::stat("opwis.pln", &st) == 0 && S_ISFIFO(st.st_mode));
}

// --help: the nodrix_wisdom_help test.
TEST_F(WisdomToolTest, BadArgumentsAndMissingDirectories) {
    struct Case { std::vector<std::string> words; int status; const char* message; };
    const Case cases[] = {
        {{"-max", "0"}, 2, "-max takes a number from 1 to 14"},
        {{"-max", "15"}, 2, "-max takes a number from 1 to 14"},
        {{"-max", "3x"}, 2, "-max takes a number from 1 to 14"},
        {{"-fast"}, 2, "unknown argument -fast"},
        {{}, 1, "no directory given and BNLIB is not set"},
        {{"no-such-dir"}, 1, "no directory no-such-dir"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.words.empty() ? std::string("(none)") : c.words[0]);
        EXPECT_EQ(run(c.words), c.status);
        EXPECT_NE(err_.str().find(c.message), std::string::npos) << err_.str();
    }
    EXPECT_FALSE(std::filesystem::exists("opwis.pln"));
}

}  // namespace
}  // namespace nodrix
