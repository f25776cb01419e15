// The evaluation of the BER and Q estimator (models/measurements/ber_estimator.cpp):
// from the received electrical signal collected over the observation window
// at no more than 100 samples per bit, the best sampling instant and decision
// threshold, and the BER or Q with their side results, report and charts.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "kernel/run_context.h"
#include "kernel/status.h"
#include "models/measurements/ber_charts.h"

namespace nodrix {

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
// (`per_bit` of them per bit, at most 100); the report opened through
// `files`. A missing report or chart name comes back as an error.
Status q_ber_main(std::span<const float> samples, std::int32_t per_bit, const QBerRequest& request,
                  const FileServices& files);

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
