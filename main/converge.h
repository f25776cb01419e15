// nodrix converge: whether a link's step plan is converged. The link runs
// with its plan and with a plan whose fibre steps are F times shorter (and
// their filters finer, link.step_refinement); per measured channel the
// received power and the eye's Q of both runs are compared against a
// tolerance.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "project/link.h"

namespace nodrix {

struct ChannelResult;

// A measured channel of one run: received power [dBm] and eye Q [dB]
// (20 log10 of the linear Q; nothing when the run did not measure it).
struct ConvergenceFigures {
    int channel = 0;
    double frequency_thz = 0.0;
    std::optional<double> power_dbm, q_db;
};

// The comparison of one channel: the changes from the plan to the refined
// plan [dB] and whether both are within the tolerance.
struct ConvergenceRow {
    ConvergenceFigures plan, refined;
    std::optional<double> power_change_db, q_change_db;
    bool within = false;
};

// Pairs the channels of both runs in order and judges each: a channel one
// run did not measure is not within. Two infinite Q (noiseless eyes) agree.
std::vector<ConvergenceRow> compare_runs(const std::vector<ConvergenceFigures>& plan,
                                         const std::vector<ConvergenceFigures>& refined, double tolerance_db);

// The figures of a measured channel of a finished run.
ConvergenceFigures figures_of(const ChannelResult& c);

// The verdict over all channels, and the largest |change| of each figure
// over them (nothing when no channel has it): converged when every channel is
// within, and at least one was measured.
struct ConvergenceVerdict {
    bool converged = false;
    std::optional<double> power_change_db, q_change_db;
};
ConvergenceVerdict judge(const std::vector<ConvergenceRow>& rows);

// The refinement factor (--factor, at least 1) and the tolerance
// (--tolerance, a positive number of dB) as written: empty when the text is
// one, else what to give instead.
std::string factor_fault(const std::string& text, double& factor);
std::string tolerance_fault(const std::string& text, double& tolerance_db);

// The change that gives a link the refined plan: its link.step_refinement
// times the factor (messages about it name `origin`).
LinkOverride refined_plan(const Link& given, double factor, const std::string& origin);

// How the runs of a convergence check of a link are made.
struct ConvergenceRuns {
    std::string link;                     // the link file, named from `origin`
    std::vector<LinkOverride> overrides;  // its changes, in order
    double factor = 2.0;                  // of link.step_refinement in the refined plan
    std::filesystem::path origin;         // where the link and the files it names are found (empty: here)
    std::filesystem::path scratch;        // absolute: the runs are made in scratch/plan and scratch/refined
    std::filesystem::path console;        // the runs' console text goes there (empty: to ours)
    std::string factor_option = "--factor";  // what messages about the refined plan name
};

// What became of them: the figures of both plans' simulations, aligned to
// observe the same bits; else which run did not complete, or the signal
// (SIGINT, SIGTERM) that stopped them.
struct ConvergenceOutcome {
    std::optional<std::vector<ConvergenceFigures>> plan, refined;
    std::string failed;
    int stop = 0;
};

// A set-up of each plan measures every fibre's latency; the fibre of the
// shorter one is delayed to the longer; then both plans are simulated, each
// in a child process of its own. `plan_as_run`, when given, holds the figures
// of a simulation of the link with its own plan: they stand for the plan's
// run unless the alignment delays a fibre of the plan. SIGINT and SIGTERM are
// passed on to the run under way; no further run starts.
ConvergenceOutcome run_convergence(const Link& given, const ConvergenceRuns& runs,
                                   const std::vector<ConvergenceFigures>* plan_as_run);

// The verb: nodrix converge LINK.toml [-set ...] [--factor F] [--tolerance DB] [-o DIR].
// Exit status 0 converged, 1 not converged or a run failed, 2 a usage error,
// 128 + the signal after SIGINT or SIGTERM, which the run under way is given
// too (it removes its files and ends; no further run starts).
int verb_converge(const std::vector<std::string>& args);

}  // namespace nodrix
