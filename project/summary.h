// The console summary of a simulated link: per BER estimator the channel it
// measures, its received optical power, BER and Q read from its report; the
// power meters' readings; and the result files of the run.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "project/link_schedule.h"

namespace nodrix {

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

// One row of the channel table: the channel's number and carrier frequency,
// the mean received power (the mean photocurrent over the responsivity
// [A/W]), the BER and the Q.
std::string channel_row(int channel, double frequency_thz, const EstimatorReport& r, double responsivity);

// The summary of the run whose files are in the current directory. An
// estimator whose observation window held no time (the good interval of its
// input was shorter than its guard times) is reported as not observed.
std::string simulation_summary(const LinkSchedule& schedule);

// The result files of a link in the current directory, sorted.
std::vector<std::string> result_files(const std::string& link_name);

}  // namespace nodrix
