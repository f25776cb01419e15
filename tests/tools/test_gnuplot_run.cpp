// Running gnuplot (and stand-ins for it) on a script fed to its input.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/test_support.h"
#include "tools/gnuplot_run.h"

namespace nodrix::testing {
namespace {

using chart::GnuplotRun;
using chart::run_gnuplot;

class GnuplotRunTest : public NodrixTest {};

TEST_F(GnuplotRunTest, ScriptOnStandardInput) {
    // gnuplot's print writes to its error stream: both outputs are collected.
    GnuplotRun r = run_gnuplot("gnuplot", "print sprintf('six times seven is %d', 6*7)\n");
    EXPECT_EQ(r.outcome, GnuplotRun::kDone) << r.reason << r.messages;
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.messages, "six times seven is 42\n");

    // An error in the script: a non-zero status and gnuplot's report.
    r = run_gnuplot("gnuplot", "plot $nothing using 1:2\n");
    EXPECT_EQ(r.outcome, GnuplotRun::kFailed);
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.messages.find("line"), std::string::npos) << r.messages;
}

TEST_F(GnuplotRunTest, ProgramsThatFailOrAreMissing) {
    GnuplotRun r = run_gnuplot("no-such-gnuplot-program", "plot x\n");
    EXPECT_EQ(r.outcome, GnuplotRun::kNotFound);
    EXPECT_EQ(r.reason, "No such file or directory");

    r = run_gnuplot("false", "plot x\n");
    EXPECT_EQ(r.outcome, GnuplotRun::kFailed);
    EXPECT_EQ(r.status, 1);

    // A program that ends without reading a long script: the rest of the
    // script is dropped and this process goes on (no broken-pipe signal).
    const std::string big(4 << 20, '#');
    r = run_gnuplot("true", big);
    EXPECT_EQ(r.outcome, GnuplotRun::kDone);
    EXPECT_EQ(r.messages, "");

    // A long script read whole while the program writes back as much:
    // neither side stalls on a full pipe.
    std::string script;
    for (int k = 0; k < 20000; ++k) script += "print 'line " + std::to_string(k) + "'\n";
    r = run_gnuplot("gnuplot", script);
    EXPECT_EQ(r.outcome, GnuplotRun::kDone);
    EXPECT_EQ(r.messages.substr(0, 7), "line 0\n");
    EXPECT_EQ(r.messages.substr(r.messages.size() - 11), "line 19999\n");
}

}  // namespace
}  // namespace nodrix::testing
