// Option parsing of the command line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "xu/xu_args.h"

namespace nodrix {
namespace {

const char* const table[] = {"verbose", "prerun", ":log", ""};

struct Args {
    explicit Args(std::vector<std::string> words) : store(std::move(words)) {
        for (auto& w : store) ptrs.push_back(w.data());
        ptrs.push_back(nullptr);
        argc = static_cast<int>(store.size());
    }
    std::vector<std::string> store;
    std::vector<char*> ptrs;
    int argc = 0;
    int next(char** value) { return xu_GetArgs(table, &argc, ptrs.data(), value); }
    std::vector<std::string> left() const {
        std::vector<std::string> out;
        for (int i = 0; i < argc; ++i) out.emplace_back(ptrs[static_cast<std::size_t>(i)]);
        return out;
    }
};

TEST(ArgumentParsing, CodesValuesAndRemoval) {
    Args a({"prog", "bare", "-LOG", "/tmp/run.log", "-Verbose", "/prerun", "-verb", "-logfile"});
    char* value = reinterpret_cast<char*>(1);
    EXPECT_EQ(a.next(&value), 2);
    ASSERT_NE(value, nullptr);
    EXPECT_STREQ(value, "/tmp/run.log");  // a value may start with '/'
    EXPECT_EQ(a.next(&value), 0);
    EXPECT_EQ(value, nullptr);
    EXPECT_EQ(a.next(&value), 1);
    EXPECT_EQ(a.next(&value), -1);
    EXPECT_EQ(a.left(), (std::vector<std::string>{"prog", "bare", "-verb", "-logfile"}));
    EXPECT_EQ(a.ptrs[4], nullptr);  // vacated entries are cleared
}

TEST(ArgumentParsing, ValueOptionFollowedByAnotherOptionHasNoValue) {
    Args a({"prog", "/log", "-prerun"});
    char* value = nullptr;
    EXPECT_EQ(a.next(&value), 2);
    EXPECT_EQ(value, nullptr);
    EXPECT_EQ(a.next(&value), 1);
    EXPECT_EQ(a.next(&value), -1);
    Args b({"prog", "-log"});
    EXPECT_EQ(b.next(&value), 2);
    EXPECT_EQ(value, nullptr);
    EXPECT_EQ(b.argc, 1);
}

TEST(ArgumentParsing, NoArgumentsAndRepeatedOptions) {
    Args none({"prog"});
    char* value = nullptr;
    EXPECT_EQ(none.next(&value), -1);
    Args twice({"prog", "-prerun", "-prerun"});
    EXPECT_EQ(twice.next(&value), 1);
    EXPECT_EQ(twice.next(&value), 1);
    EXPECT_EQ(twice.next(&value), -1);
}

}  // namespace
}  // namespace nodrix
