// The console summary of a simulation of sim_160G: per measured channel the
// received optical power, the BER and the Q read from the estimators'
// reports; the power meters' readings; and the result files of the run.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace nodrix::sim160g {

// The values of one estimator report ("sim_160G_PST0110.DAT").
struct EstimatorReport {
    double ber = 0.0;        // BER at the optimal decision threshold
    double q_db = 0.0;       // equivalent Q at that threshold [dB]
    double q_linear = 0.0;
    double mean_level = 0.0; // mean of the collected samples (the mean decision threshold) [A]
    bool truncated = false;  // the BER or Q was conventionally truncated
};
std::optional<EstimatorReport> read_estimator_report(const std::string& path);

// The reading of a power meter report ("sim_160G_OPM0071.DAT") [dBm].
std::optional<double> read_power_meter_report(const std::string& path);

// The summary text of the run whose files are in the current directory. An
// estimator whose observation window held no time (the good interval of its
// input was shorter than its guard times) is reported as not observed.
std::string simulation_summary();

// The result files of the project in the current directory, sorted.
std::vector<std::string> result_files();

}  // namespace nodrix::sim160g
