// The message layer: line format, filtering, counters, log file, kept list and
// the callback path with its fatal end.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "runtime/opxfile.h"
#include "tests/support/test_support.h"
#include "xu/xu_msg.h"

namespace nodrix {
namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;
using testing::NodrixTest;
using testing::read_text;

class MessageTest : public NodrixTest {};

TEST_F(MessageTest, SimulationLayerLinesAndCounters) {
    CaptureStderr();
    opxerr("first error");
    opxwarn("a warning");
    opxinfo("plain text");
    opxtrace("hidden trace");
    EXPECT_EQ(GetCapturedStderr(), "Nodrix-E-first error\nNodrix-W-a warning\nplain text\n");
    std::int32_t nerr = -1;
    std::int32_t nwarn = -1;
    opxget(&nerr, &nwarn);
    EXPECT_EQ(nerr, 1);
    EXPECT_EQ(nwarn, 1);
    opxget(nullptr, &nwarn);  // either destination may be null
    opxinit();
    opxget(&nerr, &nwarn);
    EXPECT_EQ(nerr, 0);
    EXPECT_EQ(nwarn, 0);
}

TEST_F(MessageTest, TextIsPrintedNotInterpretedAndNewlineContinuesWithoutHead) {
    CaptureStderr();
    opxerr("DELT <= 0 - CONDITION NOT ALLOWED\nNODRIX SIMULATOR INTERRUPTED");
    opxinfo("100% of %d");
    EXPECT_EQ(GetCapturedStderr(),
              "Nodrix-E-DELT <= 0 - CONDITION NOT ALLOWED\nNODRIX SIMULATOR INTERRUPTED\n100% of %d\n");
}

TEST_F(MessageTest, VerboseShowsTraceWithLetterIAndBlanksNewlines) {
    xu_MsgGetMessage(nullptr)->shown |= kMsgInfo;
    char text[] = "two\nlines";
    CaptureStderr();
    opxtrace(text);
    EXPECT_EQ(GetCapturedStderr(), "Nodrix-I-two lines\n");
    EXPECT_STREQ(text, "two lines");  // replaced in place
    std::int32_t nerr = 0;
    std::int32_t nwarn = 0;
    opxget(&nerr, &nwarn);
    EXPECT_EQ(nerr + nwarn, 0);
}

TEST_F(MessageTest, BadParameterLineChangesNoCounter) {
    CaptureStderr();
    opxinfo("");
    opxinfo(static_cast<const char*>(nullptr));
    opxerr("");
    EXPECT_EQ(GetCapturedStderr(), "opx[err|warn|info](): bad parameter\n"
                                       "opx[err|warn|info](): bad parameter\n"
                                       "opx[err|warn|info](): bad parameter\n");
    std::int32_t nerr = 0;
    opxget(&nerr, nullptr);
    EXPECT_EQ(nerr, 0);
}

TEST_F(MessageTest, CodedLinesPutTheTextOnItsOwnLine) {
    CaptureStderr();
    xu_MsgPrintf(nullptr, kMsgError, 0, "unit.cpp(12)", 0, "value %d", 5);
    xu_MsgPrintf(nullptr, kMsgWarning, 7, "", 0, "w");
    xu_MsgPrintf(nullptr, kMsgFatal, -1, nullptr, 0, "fatal");
    xu_MsgPrintf(nullptr, 64, -1, nullptr, 0, "filtered");  // no shown bit
    EXPECT_EQ(GetCapturedStderr(), "Nodrix-E-000-unit.cpp(12):\nvalue 5\nNodrix-W-007-:\nw\nNodrix-F-fatal\n");
    const XuMsg* ctx = xu_MsgGetMessage(nullptr);
    EXPECT_EQ(ctx->error_tally, 1);
    EXPECT_EQ(ctx->warning_tally, 1);
}

TEST_F(MessageTest, LetterFollowsTheFirstSetBit) {
    XuMsg* ctx = xu_MsgGetMessage(nullptr);
    ctx->shown = 0xff;
    CaptureStderr();
    xu_MsgPrintf(nullptr, kMsgProgram | kMsgError, -1, nullptr, 0, "p");
    xu_MsgPrintf(nullptr, kMsgTrace, -1, nullptr, 0, "t");
    xu_MsgPrintf(nullptr, 64, -1, nullptr, 0, "q");
    EXPECT_EQ(GetCapturedStderr(), "Nodrix-P-p\nNodrix-T-t\nNodrix-?-q\n");
}

TEST_F(MessageTest, LongLinesAreNotCut) {
    const std::string text(5000, 'x');
    CaptureStderr();
    opxerr(text);
    EXPECT_EQ(GetCapturedStderr(), "Nodrix-E-" + text + "\n");
}

TEST_F(MessageTest, LogFileIsOpenedForAppendingAndReopenedFromItsPath) {
    testing::write_text("run.log", "earlier\n");
    XuMsg* ctx = xu_MsgGetMessage(nullptr);
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
    EXPECT_EQ(xu_MsgOutputFileOpen(ctx, "new.log"), 1);  // opened for writing
    opxinfo("fresh");
    xu_MsgOutputFileClose(ctx);
    EXPECT_EQ(read_text("new.log"), "fresh\n");
}

TEST_F(MessageTest, AppendWithoutAnyPathOrToAnUnopenableFileDoesNothing) {
    XuMsg* ctx = xu_MsgGetMessage(nullptr);
    EXPECT_EQ(xu_MsgOutputFileAppend(ctx, nullptr), 1);
    EXPECT_EQ(ctx->outputs, kOutStderr);
    EXPECT_EQ(xu_MsgOutputFileAppend(ctx, "no/such/dir/x.log"), 1);
    EXPECT_EQ(ctx->outputs, kOutStderr);
    CaptureStderr();
    opxerr("still counted");
    GetCapturedStderr();
    std::int32_t nerr = 0;
    opxget(&nerr, nullptr);
    EXPECT_EQ(nerr, 1);
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
    char a0[] = "/opt/bin/sim_160G";
    char a1[] = "-warning";
    char a2[] = "keep";
    char a3[] = "/notrace";
    char a4[] = "-Warning";
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
}

TEST_F(MessageTest, InitWithoutUsableName) {
    xu_MsgReset();
    EXPECT_EQ(xu_MsgInit(nullptr, 0, nullptr, nullptr), nullptr);
    xu_MsgReset();
    EXPECT_EQ(xu_MsgInit("dir\\", 0, nullptr, nullptr), nullptr);
    xu_MsgReset();
    ASSERT_NE(xu_MsgInit("C:\\tools\\prog", 0, nullptr, nullptr), nullptr);
    EXPECT_STREQ(xu_prog_name, "prog");
    xu_MsgReset();
    const std::string longname(60, 'n');
    ASSERT_NE(xu_MsgInit(longname.c_str(), 0, nullptr, nullptr), nullptr);
    EXPECT_EQ(std::string(xu_prog_name), std::string(39, 'n'));
}

TEST_F(MessageTest, CallbackPathHeads) {
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
    EXPECT_EQ(GetCapturedStderr(),
              "Nodrix-W-000-xu_mem.cpp(42): plain 3\n"
              "Nodrix-W-001: text no location\n"
              "Nodrix-I-000: plain 1\n"
              "Nodrix-T-trace.cpp(7): text traced\n"
              "Nodrix-?-000: plain 9\n");
}

TEST_F(MessageTest, CallbackPathWithoutCodeOrLocationAndTrace) {
    CaptureStderr();
    xu_line = -1;
    xu_PrintTrace('n', "solve");
    xu_PrintTrace('E', "broken");
    xu_PrintTrace('x', "note");
    xu_line = 3;
    xu_file = "f.cpp";
    xu_PrintTrace('r', "solve");
    EXPECT_EQ(GetCapturedStderr(),
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

}  // namespace
}  // namespace nodrix
