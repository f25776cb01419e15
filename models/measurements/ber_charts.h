// Side results of the BER and Q estimator, derived from the collected eye
// after the search: eye opening and closure, timing jitter, the tolerance of
// the sampling instant, and the BER curves, with the XY charts that show them.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "numerics/ber_search.h"

namespace nodrix {

// Points of one XY chart (at most one per sampling instant or candidate threshold).
struct ChartPoints {
    std::int32_t n = 0;
    std::array<double, kMaxEstimatorSamplesPerBit> x{};
    std::array<double, kMaxEstimatorSamplesPerBit> y{};
    void add(double xv, double yv) {
        x[static_cast<std::size_t>(n)] = xv;
        y[static_cast<std::size_t>(n)] = yv;
        ++n;
    }
};

// The instants of the central part of the bit, as offsets from the best
// instant: N instants taken circularly (offsets -N/2 .. N-1-N/2), with
// k = (N - trunc(0.8 (N + 1))) / 2 (at least 1) left out at each end. When
// nothing would remain, the best instant alone.
struct CentralPart {
    std::int32_t first_offset = 0;
    std::int32_t count = 1;
};
CentralPart central_part(std::int32_t per_bit);
// Instant (1..N) at an offset from the best instant, taken circularly.
std::int32_t instant_at_offset(std::int32_t best, std::int32_t offset, std::int32_t per_bit);

struct EyeParameters {
    float opening = 0.0f;          // smallest mark - largest space
    float average_opening = 0.0f;  // mean of the marks - mean of the spaces
    float closure_db = 50.0f;      // 10 log10(average / opening), 50 without an open eye
};
// Eye parameters at one instant, marks and spaces separated by the threshold.
EyeParameters eye_parameters(const EyeSamples& eye, std::int32_t instant, float threshold);

// The eye's Q at one instant: (mean of the marks - mean of the spaces) /
// (deviation of the marks + deviation of the spaces), over every complete bit.
// Unlike the equivalent Q of a BER it does not saturate: an open eye keeps its
// distance from the noise. Marks and spaces are told apart as the two levels
// of the samples (Otsu's split): of every threshold between two distinct
// sorted samples, the one that makes the variance between the two classes,
// w0 w1 (mean1 - mean0)^2 with w the classes' shares, largest. Within an open
// eye's opening every threshold gives the same classes; a space that ISI
// lifts towards the marks stays with the spaces, and a lone outlier does not
// make a class of its own. The deviations are those of the classes about
// their own means (divided by the count), in double precision.
struct EyeQ {
    std::int32_t instant = 0;  // 1..N (best_eye_q)
    std::int32_t marks = 0;
    std::int32_t spaces = 0;
    double threshold = 0.0;  // that told them apart: midway between the largest space and the smallest mark
    double mean_mark = 0.0;
    double mean_space = 0.0;
    double sigma_mark = 0.0;
    double sigma_space = 0.0;
    double q = 0.0;  // infinite for two noiseless levels; 0 without two distinct levels
    bool defined() const { return marks > 0 && spaces > 0; }
};
EyeQ eye_q_factor(const EyeSamples& eye, std::int32_t instant);
// The eye's Q at the instant where it is largest: the eye's own best
// sampling instant. (The search's best instant is chosen by the
// pattern-resolved BER, which in a good link is floored at every instant of
// the opening, so that it need not be where the eye is widest.)
EyeQ best_eye_q(const EyeSamples& eye);

// Eye parameters at the best instant and, when `chart` is given, the eye
// closure over the central part of the bit (X: offset in ps).
EyeParameters q_other_parameters(const EyeSamples& eye, std::int32_t best_instant, float threshold,
                                 double bit_period, ChartPoints* chart);

// RMS timing jitter [ps] of the marks' peaks around the best instant.
float q_jitter_eval(const EyeSamples& eye, std::int32_t best_instant, float threshold, float smin,
                    double bit_period);

struct InstantTolerance {
    double tolerance = 0.0;  // ps
    bool flagged = false;    // crossings missing or not on both sides: a totally open or closed eye
};
// Tolerance from the reference-level crossings t+ (later side) and t- (earlier side).
InstantTolerance sampling_instant_tolerance(bool have_plus, double t_plus, bool have_minus, double t_minus,
                                            double bit_period);

// The Q chart (20 log10 of the best Q per instant over the central part, X the
// offset in ps) and the sampling-instant tolerance for a Q degradation of
// `degradation_db` from the best instant's Q.
InstantTolerance q_sampl_inst_chart(const SearchResult& search, std::int32_t per_bit, double bit_period,
                                    double degradation_db, ChartPoints& chart);

struct BerSideResults {
    float relative_threshold = 0.0f;
    float relative_ber = 0.0f;
    bool fixed_inside = false;  // the fixed threshold lies strictly inside the eye
    float fixed_ber = -1.0f;
    float mean_threshold = 0.0f;
    float mean_ber = 0.0f;
};
// BER at every instant (best threshold) and at every candidate threshold
// (best instant) for the charts that are given, and the BER at the relative,
// fixed and mean thresholds.
BerSideResults ber_other_parameters(const EyeSamples& eye, std::int32_t pattern_length, const SearchResult& search,
                                    float fixed_threshold, float relative, const ApproxSelector& selector,
                                    double bit_period, ChartPoints* by_instant, ChartPoints* by_threshold);

// Texts of the estimator's charts.
struct ChartTexts {
    const char* title;
    const char* label_x;
    const char* measure_x;
    const char* label_y;
    const char* measure_y;
};
extern const ChartTexts kEyeClosureChart;
extern const ChartTexts kQChart;
extern const ChartTexts kBerInstantChart;
extern const ChartTexts kBerThresholdChart;

// Writes one or two charts into a version 1 XY chart file (the second is
// appended after the first). Returns false when the file cannot be written.
bool write_estimator_charts(const std::string& path, const ChartTexts& first_texts, const ChartPoints& first,
                            const ChartTexts* second_texts, const ChartPoints* second);

}  // namespace nodrix
