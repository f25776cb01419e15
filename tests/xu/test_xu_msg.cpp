// The message layer: texts not taken as formats, counters, the log file,
// message options taken from the command line, and the fatal end. The lines
// themselves are guarded by the regression net's console texts.
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
TEST_F(MessageTest, TextsArePrintedNotInterpretedAndBadOnesCountNothing) {
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

// The log file is opened for appending and reopened from its kept path;
// appending without any path or to an unopenable file leaves the standard
// error alone and still counts.
TEST_F(MessageTest, LogFileAppendsReopensAndAnUnopenableOneLeavesTheConsole) {
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
}

TEST_F(MessageTest, SystemErrorTextIsAppended) {
    static const char* const table[] = {"open failed"};
    CaptureStderr();
    errno = ENOENT;
    xu_Print(kMsgError | 64, nullptr, -1, 0, table);
    EXPECT_EQ(GetCapturedStderr(), "Nodrix-E-000: open failed\n\t: No such file or directory\n");
}

TEST_F(MessageTest, FatalReportAbortsAfterItsLine) {
    static const char* const table[] = {"out of everything %d"};
    EXPECT_DEATH(
        {
            xu_Print(kMsgFatal, nullptr, -1, 0, table, 1);
        },
        "Nodrix-F-000: out of everything 1");
}

}  // namespace
}  // namespace nodrix
