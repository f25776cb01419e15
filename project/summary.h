// The console summary of a simulated link: per BER estimator the channel it
// measures, its received optical power, BER and Q read from its report; the
// power meters' readings; and the result files of the run.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "models/measurements/ber_charts.h"
#include "models/measurements/observation.h"
#include "project/link_schedule.h"

namespace nodrix {

// The values of one estimator report ("sim_160G_PST0110.DAT").
struct EstimatorReport {
    double ber = 0.0;        // BER at the optimal decision threshold
    double q_db = 0.0;       // equivalent Q at that threshold [dB]
    double q_linear = 0.0;
    double mean_level = 0.0; // mean of the collected samples (the mean decision threshold) [A]
    // The relative and fixed thresholds' results, when the report has them.
    // A fixed threshold outside the eye has the BER -1 and no Q.
    std::optional<double> relative_ber, relative_q_db;
    std::optional<double> fixed_ber, fixed_q_db;
};
std::optional<EstimatorReport> read_estimator_report(const std::string& path);

// The figures of a multi-level estimator's report ("pam4_53g_MLE0012.DAT")
// beyond its BER: the symbol error ratio and, from the lowest eye up, each
// eye's Q [dB], height [A] and width [ps]. Its report gives the BER after
// Gray demapping, the smallest eye's Q and the mean level.
struct MultilevelFigures {
    double ser = 0.0;
    std::vector<double> q_db, height, width_ps;
};
std::optional<EstimatorReport> read_multilevel_report(const std::string& path, MultilevelFigures& figures);

// The reading of a power meter report ("sim_160G_OPM0071.DAT") [dBm].
std::optional<double> read_power_meter_report(const std::string& path);

// What the run found for one estimator: the channel it measures, its
// report and the eye's Q of its evaluation.
struct ChannelResult {
    // not_observed: the good interval at the receiver is shorter than the
    // observation window and its guard times; after_end: the run ends before
    // the observation window opens; nothing_asked: the delay reaches the end
    // of the observation window.
    enum class State { measured, not_observed, after_end, nothing_asked, no_report };
    State state = State::measured;
    double observation_start_ps = 0.0;  // after_end: when the window would open
    double end_time_ps = 0.0;           //   and when the run ends
    std::int32_t estimator = 0;       // instance number
    int channel = 0;                  // numbered from 1 in rising carrier frequency; 0 unknown
    double frequency_thz = 0.0;
    double responsivity = 0.0;        // of the photodiode in front of it [A/W]
    EstimatorReport report;
    std::optional<EyeQ> eye;
    std::int32_t status = 0;          // of the estimator's best evaluation; 0 unknown
    std::optional<ObservationCoverage> coverage;
    std::optional<MultilevelFigures> multilevel;  // of a multi-level estimator
    // The deviation of the photodiode's shot noise at the mean photocurrent [A]
    // (0 without shot noise).
    double shot_noise_a = 0.0;
    // The mean received power: the mean photocurrent over the responsivity
    // [mW]; nothing when it is not positive.
    std::optional<double> received_mw() const;
    // The photocurrent's shot noise is not well below its mean, and the
    // currents it would make negative are cut to 0 A: the mean current, and
    // the received power taken from it, lie above what the light makes.
    bool power_lifted_by_shot_noise() const;
};

// What the summary says beside a channel's figures, in plain words: a
// partial observation ("partial: 50 of 128 bits"), figures at the
// estimator's floors, its statistics in doubt, a received power lifted by
// the shot noise. Empty when there is nothing to say.
std::vector<std::string> channel_remarks(const ChannelResult& c);

struct MeterResult {
    std::int32_t id = 0;
    std::string label;
    std::optional<double> dbm;        // nothing without a report
    std::optional<ObservationCoverage> coverage;
    double opens_ps = 0.0;            // where its measuring window opens
};

// The results of the run whose files are in the current directory, read
// from the reports of its estimators and power meters (in schedule order).
struct RunResults {
    std::vector<ChannelResult> channels;
    std::vector<MeterResult> meters;
};
RunResults run_results(const LinkSchedule& schedule);

// What an OSNR meter reported: per channel at its input, numbered as the
// channels of the link (the nearest laser, from 1 in rising frequency; 0 when
// the link has no laser).
struct OsnrMeterResult {
    std::int32_t id = 0;
    std::string label;
    bool reported = false;
    double reference_nm = 0.0;
    struct Channel {
        int number = 0;
        double frequency_thz = 0.0;
        double signal_dbm = 0.0, noise_dbm = 0.0, osnr_db = 0.0;
    };
    std::vector<Channel> channels;
};
std::vector<OsnrMeterResult> osnr_results(const LinkSchedule& schedule);

// One row of the channel table: the channel's number and carrier frequency,
// the mean received power, the BER and the Q the report gives, and the eye's Q.
std::string channel_row(const ChannelResult& c);

// The summary of the run whose files are in the current directory.
std::string simulation_summary(const LinkSchedule& schedule);

// The result files the last run put in place, sorted.
std::vector<std::string> result_files();

}  // namespace nodrix
