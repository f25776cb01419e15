// BER and Q estimator block: collects the received electrical signal over the
// observation window at no more than 100 samples per bit and, at the end of
// the run, finds the best sampling instant and decision threshold and reports
// the BER or Q with their side results and charts.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "kernel/signals.h"
#include "models/measurements/ber_charts.h"

namespace nodrix {

struct PestimParams {
    float delay;                         // extra delay before the observation window [ps]
    float window;                        // end of the observation window after its reference [ps]
    std::int32_t samples_per_bit;        // samples per bit of the simulation (>= 1); at most 100 are kept
    std::int32_t pattern_length;         // bits forming a pattern: 1, 3 or 5
    std::int32_t estimator_kind;         // -1 Q estimator, 0 BER estimator, 1 BER estimator evaluating every instant
    float fixed_threshold;               // decision threshold of the fixed-threshold report
    std::array<std::int32_t, 4> nv;      // request flags (1 = on), see q_ber_main
    std::array<float, 2> rv;             // relative threshold (0..1); chi-square degrees of freedom (BER modes, 0 Gaussian)
    std::string title;                   // instance title (50 characters)
    std::string report_name;             // report file name, used up to its first blank
    std::string title2;                  // the title again
    std::string file_name;               // chart file base, trailing blanks removed, + ".qxy"
};

// `in` is the window of the input's producer: its good interval
// [tgoodi, tgoodf] bounds the observation.
void pestim(const PestimParams& p, const TimeWindow& in, const ElectricalSample& input);

// The most samples one estimator's buffer holds: (bits + 1) x min(samples
// per bit, 100) beyond it are cut to it (the storage of a kind is counted in
// 32 bits, and a few such buffers must fit beside each other).
inline constexpr std::int32_t kEstimatorBufferLimit = 1073741823;

// Q degradation [dB] at which the sampling-instant tolerance is measured.
inline constexpr double kQDegradationToleranceDb = 1.0;

struct QBerRequest {
    std::int32_t mode = 1;                   // 0 Q, 1 BER, 2 BER and every instant at the best threshold
    float fixed_threshold = 0.0f;
    std::int32_t pattern_length = 1;
    // Q mode: 1 Q chart, 2 eye-closure chart and eye results, 3 jitter, 4 instant tolerance.
    // BER modes: 1 BER-versus-instant chart, 2 BER-versus-threshold chart,
    // 3 relative-threshold result, 4 fixed- and mean-threshold results.
    std::array<std::int32_t, 4> nv{};
    std::array<float, 2> rv{};
    double bit_period = 0.0;                 // ps
    double degradation_db = kQDegradationToleranceDb;
    std::string title;
    std::string report_name;
    std::string file_name;
};

// Search, side results, report and charts for the collected samples
// (`per_bit` of them per bit, at most 100).
void q_ber_main(std::span<const float> samples, std::int32_t per_bit, const QBerRequest& request);

// What the last evaluation of an estimator in this process found beyond its
// report, by its report name up to the first blank; nothing before its
// evaluation. This is how the run's summary gets a Q that does not saturate
// and says in words why a figure sits at a floor, the report staying as it
// is. An estimator's set-up forgets it.
struct EstimatorOutcome {
    EyeQ eye;                         // best_eye_q of the collected samples
    std::int32_t status = 0;          // of the best evaluation (kBerRegular ... kBerPatternMissing)
    bool chi_square_failed = false;   // the chi-square statistics could not be applied
};
std::optional<EstimatorOutcome> last_estimator_outcome(const std::string& report_name);
std::optional<EyeQ> last_eye_q(const std::string& report_name);

}  // namespace nodrix
