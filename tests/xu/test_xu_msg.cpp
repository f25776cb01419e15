// The message layer: line format, filtering, counters, log file, kept list and
// the callback path with its fatal end.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <utility>

#include "runtime/opxfile.h"
#include "tests/support/test_support.h"
#include "xu/xu_msg.h"

namespace nodrix {
namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;
using testing::read_text;

class MessageTest : public testing::NodrixTest {};

std::pair<std::int32_t, std::int32_t> counts() {
    std::int32_t nerr = -1, nwarn = -1;
    opxget(&nerr, &nwarn);
    return {nerr, nwarn};
}

// Texts are printed, not interpreted; a newline continues without a head; a
// long line is not cut; an empty or null text gives the bad-parameter line and
// changes no counter; traces stay hidden.
TEST_F(MessageTest, SimulationLayerLinesAndCounters) {
    const std::string long_text(5000, 'x'), bad = "opx[err|warn|info](): bad parameter\n";
    CaptureStderr();
    opxerr("DELT <= 0 - CONDITION NOT ALLOWED\nNODRIX SIMULATOR INTERRUPTED");
    opxwarn("a warning");
    opxinfo("100% of %d");
    opxtrace("hidden trace");
    opxerr(long_text);
    opxinfo("");
    opxinfo(static_cast<const char*>(nullptr));
    opxerr("");
    EXPECT_EQ(GetCapturedStderr(), "Nodrix-E-DELT <= 0 - CONDITION NOT ALLOWED\nNODRIX SIMULATOR INTERRUPTED\n"
                                   "Nodrix-W-a warning\n100% of %d\nNodrix-E-" + long_text + "\n" + bad + bad + bad);
    EXPECT_EQ(counts(), std::pair(2, 1));
    std::int32_t nwarn = -1;
    opxget(nullptr, &nwarn);  // either destination may be null
    EXPECT_EQ(nwarn, 1);
    opxinit();
    EXPECT_EQ(counts(), std::pair(0, 0));
}

TEST_F(MessageTest, VerboseShowsTraceWithLetterIAndBlanksNewlines) {
    xu_MsgGetMessage(nullptr)->shown |= kMsgInfo;
    char text[] = "two\nlines";
    CaptureStderr();
    opxtrace(text);
    EXPECT_EQ(GetCapturedStderr(), "Nodrix-I-two lines\n");
    EXPECT_STREQ(text, "two lines");  // replaced in place
    EXPECT_EQ(counts(), std::pair(0, 0));
}

// Coded lines put the text on its own line; the letter follows the first set
// bit of the level; a level without a shown bit is filtered.
TEST_F(MessageTest, CodedLinesAndLetters) {
    CaptureStderr();
    xu_MsgPrintf(nullptr, kMsgError, 0, "unit.cpp(12)", 0, "value %d", 5);
    xu_MsgPrintf(nullptr, kMsgWarning, 7, "", 0, "w");
    xu_MsgPrintf(nullptr, kMsgFatal, -1, nullptr, 0, "fatal");
    xu_MsgPrintf(nullptr, 64, -1, nullptr, 0, "filtered");
    EXPECT_EQ(GetCapturedStderr(), "Nodrix-E-000-unit.cpp(12):\nvalue 5\nNodrix-W-007-:\nw\nNodrix-F-fatal\n");
    XuMsg* ctx = xu_MsgGetMessage(nullptr);
    EXPECT_EQ(ctx->error_tally, 1);
    EXPECT_EQ(ctx->warning_tally, 1);
    ctx->shown = 0xff;
    CaptureStderr();
    xu_MsgPrintf(nullptr, kMsgProgram | kMsgError, -1, nullptr, 0, "p");
    xu_MsgPrintf(nullptr, kMsgTrace, -1, nullptr, 0, "t");
    xu_MsgPrintf(nullptr, 64, -1, nullptr, 0, "q");
    EXPECT_EQ(GetCapturedStderr(), "Nodrix-P-p\nNodrix-T-t\nNodrix-?-q\n");
}

// The log file is opened for appending and reopened from its kept path;
// appending without any path or to an unopenable file leaves the standard
// error alone and still counts.
TEST_F(MessageTest, LogFile) {
    XuMsg* ctx = xu_MsgGetMessage(nullptr);
    EXPECT_EQ(xu_MsgOutputFileAppend(ctx, nullptr), 1);
    EXPECT_EQ(ctx->outputs, kOutStderr);
    EXPECT_EQ(xu_MsgOutputFileAppend(ctx, "no/such/dir/x.log"), 1);
    EXPECT_EQ(ctx->outputs, kOutStderr);
    testing::write_text("run.log", "earlier\n");
    EXPECT_EQ(xu_MsgOutputFileAppend(ctx, "run.log"), 1);
    CaptureStderr();
    opxerr("in the log");
    EXPECT_EQ(xu_MsgOutputFileClose(ctx), 1);
    opxerr("not in the log");
    EXPECT_EQ(xu_MsgOutputFileAppend(ctx, nullptr), 1);  // the kept path
    opxwarn("again");
    xu_MsgOutputFileClose(ctx);
    GetCapturedStderr();
    EXPECT_EQ(read_text("run.log"), "earlier\nNodrix-E-in the log\nNodrix-W-again\n");
    EXPECT_EQ(counts(), std::pair(2, 1));
    EXPECT_EQ(xu_MsgOutputFileOpen(ctx, "new.log"), 1);  // opened for writing
    opxinfo("fresh");
    xu_MsgOutputFileClose(ctx);
    EXPECT_EQ(read_text("new.log"), "fresh\n");
}

TEST_F(MessageTest, KeptListGrowsByTwentyFive) {
    XuMsg* ctx = xu_MsgGetMessage(nullptr);
    ctx->outputs = kOutList;
    for (int k = 0; k < 26; ++k) xu_MsgPrintf(nullptr, kMsgError, -1, nullptr, k, "line %d", k);
    EXPECT_EQ(ctx->list_count, 26);
    EXPECT_EQ(ctx->list_capacity, 50);
    EXPECT_STREQ(ctx->list[25].text, "Nodrix-E-line 25");
    EXPECT_EQ(ctx->list[25].word, 25);
    EXPECT_EQ(ctx->list[0].level, kMsgError);
}

TEST_F(MessageTest, InitTakesTheNameAfterTheLastSeparatorAndConsumesMessageOptions) {
    xu_MsgReset();
    char a0[] = "/opt/bin/sim_160G", a1[] = "-warning", a2[] = "keep", a3[] = "/notrace", a4[] = "-Warning";
    char* argv[] = {a0, a1, a2, a3, a4, nullptr};
    int argc = 5;
    XuMsg* ctx = xu_MsgInit(nullptr, 2, &argc, argv);
    ASSERT_NE(ctx, nullptr);
    EXPECT_STREQ(ctx->name, "sim_160G");
    EXPECT_EQ(xu_msg_level, 8);  // warning set, trace cleared
    ASSERT_EQ(argc, 3);
    EXPECT_STREQ(argv[1], "keep");
    EXPECT_STREQ(argv[2], "-Warning");  // case-sensitive: left alone
    EXPECT_EQ(argv[3], nullptr);
    // A second init returns the same context and consumes nothing.
    char b1[] = "-ftrace";
    char* argv2[] = {a0, b1, nullptr};
    int argc2 = 2;
    EXPECT_EQ(xu_MsgInit("Other", 0, &argc2, argv2), ctx);
    EXPECT_EQ(argc2, 2);
    EXPECT_STREQ(ctx->name, "sim_160G");
    // Without a usable name; a name cut at 39 characters.
    const std::string longname(60, 'n');
    const std::pair<const char*, const char*> names[] = {
        {nullptr, nullptr}, {"dir\\", nullptr}, {"C:\\tools\\prog", "prog"}, {longname.c_str(), longname.c_str() + 21}};
    for (const auto& [name, kept] : names) {
        xu_MsgReset();
        const XuMsg* got = xu_MsgInit(name, 0, nullptr, nullptr);
        EXPECT_EQ(got == nullptr, kept == nullptr) << (name ? name : "(null)");
        if (kept != nullptr) {
            EXPECT_STREQ(xu_prog_name, kept);
        }
    }
}

TEST_F(MessageTest, CallbackPathHeadsAndTrace) {
    static const char* const table[] = {"plain %d", "text %s"};
    CaptureStderr();
    xu_level = kMsgWarning;
    xu_file = "C:\\src\\xu_mem.cpp";
    xu_line = 42;
    xu_Print(0, table, 3);
    xu_line = -1;
    xu_Print(1, table, "no location");
    xu_level = 2;
    xu_Print(0, table, 1);
    xu_level = 1;
    xu_line = 7;
    xu_file = "/a/b/trace.cpp";
    xu_Print(1, table, "traced");
    xu_level = 5;
    xu_line = -1;
    xu_Print(0, table, 9);
    xu_PrintTrace('n', "solve");
    xu_PrintTrace('E', "broken");
    xu_PrintTrace('x', "note");
    xu_line = 3;
    xu_file = "f.cpp";
    xu_PrintTrace('r', "solve");
    EXPECT_EQ(GetCapturedStderr(),
              "Nodrix-W-000-xu_mem.cpp(42): plain 3\n"
              "Nodrix-W-001: text no location\n"
              "Nodrix-I-000: plain 1\n"
              "Nodrix-T-trace.cpp(7): text traced\n"
              "Nodrix-?-000: plain 9\n"
              "Nodrix-T: Entering function solve\n\n"
              "Nodrix-E-: broken\n"
              "Nodrix-I-: note\n"
              "Nodrix-T-f.cpp(3): Returning function solve\n\n");
}

TEST_F(MessageTest, CallbackCanBeReplacedAndRemoved) {
    static int calls = 0;
    static const char* const table[] = {"x"};
    xu_MsgSetCallback([](int, const char*, const char*, int, int, const char*, std::va_list) { ++calls; });
    xu_level = kMsgError;
    xu_Print(0, table);
    EXPECT_EQ(calls, 1);
    xu_MsgSetCallback(nullptr);
    xu_Print(0, table);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(xu_MsgCallback(), nullptr);
}

TEST_F(MessageTest, SystemErrorTextIsAppended) {
    static const char* const table[] = {"open failed"};
    CaptureStderr();
    errno = ENOENT;
    xu_level = kMsgError | 64;
    xu_line = -1;
    xu_Print(0, table);
    EXPECT_EQ(GetCapturedStderr(), "Nodrix-E-000: open failed\n\t: No such file or directory\n");
    EXPECT_EQ(xu_level, kMsgError);
}

TEST_F(MessageTest, FatalReportAbortsAfterItsLine) {
    static const char* const table[] = {"out of everything %d"};
    EXPECT_DEATH(
        {
            xu_level = kMsgFatal;
            xu_line = -1;
            xu_Print(0, table, 1);
        },
        "Nodrix-F-000: out of everything 1");
}

}  // namespace
}  // namespace nodrix
