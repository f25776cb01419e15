// nodrix sweep --slurm: the points of a sweep not complete as a Slurm job
// array (task K runs `nodrix sweep --point` on line K + 1 of
// DIR/slurm/points.txt) and a collect job that runs once the array has ended.
// DIR/slurm/ holds points.txt, points.sh, collect.sh and submit.sh, and
// jobs.txt, the jobs of the last submission ("points ID", "collect ID"),
// which a later run of the sweep asks squeue about: points Slurm still holds
// are not run nor submitted a second time.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "main/sweep_values.h"

namespace nodrix::sweep {

// The words of --slurm-args: split at blanks, with '...' and "..." quoting;
// nothing when a quote is not closed.
std::optional<std::vector<std::string>> split_words(const std::string& text);

// Writes DIR/slurm/ for the points `todo` (indices into `pts`) and, unless
// `dry_run`, submits the array and the collect job with `sbatch_args`,
// printing both job ids. Returns the exit status.
int submit_to_slurm(const std::filesystem::path& dir, const std::vector<Point>& pts,
                    const std::vector<std::size_t>& todo, const std::vector<std::string>& sbatch_args, bool dry_run);

// False, after an error naming them, while jobs of an earlier submission of
// the sweep in DIR are queued or running, or when squeue cannot tell.
bool no_submitted_jobs_left(const std::filesystem::path& dir);

}  // namespace nodrix::sweep
