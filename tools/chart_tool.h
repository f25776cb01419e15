// The nodrix-chart command: looks into the chart files that a run leaves.
//
//   nodrix-chart info FILE               file type, form, and per chart its title,
//                                        labels, units, rows, columns, extremes
//   nodrix-chart csv FILE [-c N] [-o OUT]  one chart as CSV
//   nodrix-chart plot FILE [-c N] -o OUT.png|OUT.svg
//                                        one chart drawn by gnuplot
//
// Each verb is one entry of a table (name, usage, options it takes, handler),
// so a new verb is one more handler and one more entry.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace nodrix::chart {

// Exit statuses.
enum : int { kExitOk = 0, kExitFailure = 1, kExitUsage = 2 };

// Options of the verbs, parsed from the words after the verb.
struct ToolOptions {
    std::string file;
    int chart = 0;         // -c N, from 0
    bool chart_given = false;
    std::string output;    // -o OUT; empty: standard output
    bool help = false;
};

// Parses `args` for a verb that accepts the option letters in `allowed`
// (e.g. "co"); false with `error` set on a bad word.
bool parse_tool_options(const std::vector<std::string>& args, const std::string& allowed, ToolOptions& options,
                        std::string& error);

// Runs the command on its arguments (argv[0] is the program). Normal output to
// `out`, diagnostics to `err`; returns the exit status.
int chart_tool_main(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

}  // namespace nodrix::chart
