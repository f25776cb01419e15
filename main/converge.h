// nodrix converge: whether a link's step plan is converged. The link runs
// with its plan and with a plan whose fibre steps are F times shorter (and
// their filters finer, link.step_refinement); per measured channel the
// received power and the eye's Q of both runs are compared against a
// tolerance.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace nodrix {

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

// The verb: nodrix converge LINK.toml [-set ...] [--factor F] [--tolerance DB] [-o DIR].
// Exit status 0 converged, 1 not converged or a run failed, 2 a usage error,
// 128 + the signal after SIGINT or SIGTERM, which the run under way is given
// too (it removes its files and ends; no further run starts).
int verb_converge(const std::vector<std::string>& args);

}  // namespace nodrix
