// The results of a sweep: the table DIR/sweep.csv, one row per point, and the
// plot DIR/sweep.png and .svg of the eye's Q against the first varied
// parameter, built from the point directories alone (locally at the end of a
// sweep, or by the collect step of a Slurm sweep).
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "main/sweep_point.h"
#include "main/sweep_values.h"

namespace nodrix::sweep {

// A number of the table: "%.9g", "inf" and "-inf"; empty for nothing (and NaN).
std::string cell(const std::optional<double>& v);

// The table (CSV, RFC 4180 quoting). Columns:
//   point, one per varied parameter (named ID.PARAM; a power in mW,
//   ID.power_mw, followed by its value in dBm, ID.power_dbm), seed (with --seeds),
//   status (done; partial: done, but a measurement observed less than it
//   asked for; failed; incomplete), wall_time_s,
//   per channel "chN_" (N the channel; "chN_eID_" when two estimators
//   measure one channel, "eID_" when the channel is not known): power_dbm,
//   ber_optimal, q_optimal_db, ber_relative, q_relative_db, ber_fixed,
//   q_fixed_db (as the estimator reports them), q_eye and q_eye_db (the eye's Q),
//   bits_observed (of the estimator's observation),
//   per power meter "meterID_dbm", per OSNR meter and channel "osnrID_chN_db",
//   with a convergence check power_change_db and q_eye_change_db (the largest
//   |change| over the channels) and convergence (its verdict),
//   message (why a point failed or is incomplete, and what observed less
//   than it asked for).
// With several seeds, each combination of values is followed by two rows
// whose seed column says "mean" and "spread": the mean and the standard
// deviation (n - 1) of every number over its completed seeds; the mean row's
// verdict is "converged" when every completed seed's is.
std::string table_csv(const Definition& d, const std::vector<Point>& points, const std::vector<PointStatus>& status);

// The gnuplot script of the image `output` (its extension, .png or .svg,
// chooses the format), drawn on gnuplot's standard output: the column
// d.y_axis (on a logarithmic axis for a BER), or else the eye's Q in dB of
// every channel, against the column d.x_axis, or else the first varied
// parameter (in dBm for a power in mW); one line per channel and per
// combination of the other varied parameters' values, with error bars of
// the spread over the seeds. Empty when there is nothing to draw.
std::string plot_script(const Definition& d, const std::vector<Point>& points, const std::vector<PointStatus>& status,
                        const std::string& output);

// Why an axis (--x, --y) can be no column of the sweep's table, before its
// points have run (the channels and meters are known from them): empty when
// it may be one.
std::string axes_fault(const Definition& d);

// Checks every point of the sweep in DIR and writes the table and the plots
// (each through a temporary file renamed into place; a table or plot name
// taken by a directory, a device or a pipe is not replaced). Reports problems and
// returns false when the table or a plot could not be made, or when an axis
// is no column of numbers of the table (the error names those it has).
bool write_results(const std::filesystem::path& dir, const Definition& d, const std::vector<Point>& points,
                   const std::vector<PointStatus>& status);

}  // namespace nodrix::sweep
