// One point of a sweep in its directory DIR/points/NNNN:
//   point.toml    the exact parameters it runs with: the link file, every
//                 -set change in order, the varied values and the seed
//   console.txt   what the run wrote on the console
//   the run's result files (reports, charts, memory map, ...)
//   result.toml   written last, by renaming a complete temporary file: the
//                 status, the wall time, the measured values, and the size and
//                 checksum of every file the run made, the record's own
//                 checksum on its first line. Only a point whose record is
//                 unchanged, says done, was made from the parameters in
//                 point.toml and finds its files unchanged is complete.
//   point.lck     while a process runs the point: one process at a time
// A point runs the same way wherever it runs (on this machine or as a task of
// a Slurm job array): `nodrix sweep --point DIR/points/NNNN`.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "main/sweep_values.h"

namespace nodrix::sweep {

// The parameters file of a point.
std::string point_text(const Definition& d, const Point& p);

// The measured values of one channel (an estimator's).
struct ChannelRecord {
    std::int32_t estimator = 0;
    int channel = 0;                 // 0 when the estimator's channel is not known
    double frequency_thz = 0.0;
    std::string state;               // "measured", or why not ("not observed: ...")
    std::optional<double> power_dbm;
    std::optional<double> ber_optimal, q_optimal_db;
    std::optional<double> ber_relative, q_relative_db;
    std::optional<double> ber_fixed, q_fixed_db;
    std::optional<double> q_eye;     // the eye's Q, linear (infinite for a noiseless eye)
    std::optional<std::int64_t> bits_observed, bits_requested;  // of the estimator's observation
    std::string remarks;             // what the summary says beside the figures ("partial: 50 of 128 bits; ...")
    // A multi-level estimator's symbol error ratio and its eyes' Q [dB] from
    // the lowest up (its BER is ber_optimal, its smallest eye's Q q_optimal_db).
    std::optional<double> ser;
    std::vector<double> eye_q_db;
    bool partial() const { return bits_observed && bits_requested && *bits_observed < *bits_requested; }
};

struct MeterRecord {
    std::int32_t id = 0;
    std::string label;
    std::optional<double> dbm;
    std::optional<std::int64_t> samples_observed, samples_requested;  // of its measuring window
    bool partial() const { return samples_observed && samples_requested && *samples_observed < *samples_requested; }
};

// One channel of an OSNR meter: its OSNR in the meter's reference bandwidth.
struct OsnrRecord {
    std::int32_t meter = 0;
    int channel = 0;                 // numbered as the link's channels; 0 when it has no laser
    double frequency_thz = 0.0;
    double osnr_db = 0.0, signal_dbm = 0.0, noise_dbm = 0.0;
};

struct FileRecord {
    std::string name;
    std::uintmax_t size = 0;
    std::string hash;
};

// The convergence check of a point's run (--converge): the largest |change|
// over its channels of the received power and of the eye's Q [dB] from the
// plan to the refined plan, and whether every channel is within the tolerance.
struct ConvergenceRecord {
    double factor = 2.0, tolerance_db = 0.1;
    bool converged = false;
    std::optional<double> power_change_db, q_eye_change_db;
};

// The record of a point's run.
struct ResultRecord {
    bool done = false;               // the run ended with status 0
    int exit_status = 0;
    std::string message;             // why it failed
    double wall_time_s = 0.0;
    std::string parameters_hash;     // of the point.toml it ran with
    std::string program_hash;        // of the nodrix that ran it
    std::vector<ChannelRecord> channels;
    std::vector<MeterRecord> meters;
    std::vector<OsnrRecord> osnr;
    std::vector<FileRecord> files;
    std::optional<ConvergenceRecord> convergence;  // of a done run with --converge
};

std::string record_text(const ResultRecord& r);
std::optional<ResultRecord> read_record(const std::filesystem::path& file, std::string& error);
// Writes the record into DIR/result.toml through a temporary file renamed
// over it, flushed to the disk first; false when it cannot.
bool write_record(const std::filesystem::path& dir, const ResultRecord& r);

enum class PointState { complete, failed, incomplete };
struct PointStatus {
    PointState state = PointState::incomplete;
    std::string message;             // why it is failed or incomplete
    std::optional<ResultRecord> record;
};

// The checksum of this program (the running executable), which a record
// names: points run by another build of nodrix are not taken as complete.
const std::string& program_hash();

// What a point directory holds, checked: complete only when its record says
// done, was made from its present point.toml by this build of nodrix, and
// every file it lists is there with its size and checksum.
PointStatus check_point(const std::filesystem::path& dir);

// Records that a point's run failed without writing its own record (it was
// ended by a signal): status failed with the message, the files it left.
bool record_failure(const std::filesystem::path& dir, int exit_status, const std::string& message, double wall_time_s);

// Runs a point in its directory (`nodrix sweep --point DIR`): takes the
// point's lock (held by another process: an error, nothing touched), removes
// what an earlier run made, sends the console into console.txt, runs the link with
// the point's changes sample by sample, single-threaded, with the same FFT
// plans wherever it runs, and writes its record. With a convergence check in
// point.toml, a done run is then judged against the refined plan (the point
// fails when one of those runs does not complete; the record says which).
// Returns 0 done, 1 failed, 128 + the signal when SIGINT or SIGTERM stopped
// the check (no record: the point is incomplete).
int run_point(const std::filesystem::path& dir);

}  // namespace nodrix::sweep
