// Semi-analytic BER and Q estimation on a collected eye: per-pattern sample
// statistics at one sampling instant and decision threshold, their Gaussian
// (or non-central chi-square) error probabilities, the BER-to-Q conversion and
// the search of the best instant and threshold.
#pragma once

#include <array>
#include <cstdint>

namespace nodrix {

// Status of an evaluation, from best to worst.
inline constexpr std::int32_t kBerRegular = 1;
inline constexpr std::int32_t kBerQVeryLarge = 2;       // BER truncated to about 1e-40
inline constexpr std::int32_t kBerQVeryLow = 3;         // Q truncated to 2
inline constexpr std::int32_t kBerFewOccurrences = 4;   // some pattern occurs fewer than 10 times
inline constexpr std::int32_t kBerUnbalanced = 5;       // pattern counts strongly unbalanced
inline constexpr std::int32_t kBerPatternMissing = 6;   // some pattern never occurs
inline constexpr std::int32_t kBerNoEvaluation = 1000;  // nothing usable was evaluated

inline constexpr std::int32_t kMaxEstimatorSamplesPerBit = 100;
inline constexpr std::int32_t kCandidateThresholds = 31;
inline constexpr std::int32_t kMaxPatterns = 32;  // 2^5
// Fewest occurrences of a pattern below which its statistics are unreliable.
inline constexpr std::int32_t kFewOccurrences = 10;
// Smallest BER the estimator reports; in single precision it is the same
// number as the truncation value 9.99994610111476e-41 (the float nearest 1e-40).
inline constexpr float kBerFloor = 9.99995e-41f;
inline constexpr float kBerTruncated = 9.99994610111476e-41f;
inline constexpr float kBerChartFloor = 1e-40f;

// 0.5 erfc(sqrt 2), the error probability at Q = 2 (about 0.02275) that a
// truncated or unusable evaluation reports.
float ber_at_q2();

// The collected eye: `count` samples, `per_bit` (N) per bit, bit after bit.
struct EyeSamples {
    const float* data = nullptr;
    std::int32_t count = 0;
    std::int32_t per_bit = 1;

    std::int32_t bits() const { return per_bit > 0 ? count / per_bit : 0; }
    // Sample at instant j (1..N) of bit b (0-based).
    float at(std::int32_t bit, std::int32_t instant) const { return data[bit * per_bit + instant - 1]; }
};

// Which approximation gives the pattern error probabilities. A chi-square
// request that cannot be honoured is marked failed and the Gaussian one used.
struct ApproxSelector {
    static constexpr std::int32_t kFailed = -1;
    static constexpr std::int32_t kGaussian = 0;
    static constexpr std::int32_t kChiSquare = 1;
    std::int32_t kind = kGaussian;
    std::int32_t max_dof = 0;  // largest number of degrees of freedom of the chi-square fit
};

// Statistics of the 2^L patterns (index p - 1 holds pattern p; odd p have a
// space in the centre, even p a mark).
struct PatternStats {
    std::int32_t patterns = 0;
    std::array<std::int32_t, kMaxPatterns> count{};
    std::array<float, kMaxPatterns> mean{};
    std::array<float, kMaxPatterns> var{};
};

struct Evaluation {
    float q = 2.0f;
    float ber = 0.0f;
    std::int32_t status = kBerNoEvaluation;
    bool chi_square = false;         // the BER comes from the chi-square model
    std::int32_t dof = 0;            // smallest degrees of freedom of its fits
};

// Pattern index (1-based) of the L bits centred on `bit` at instant j: the
// decision of the centre bit is the lowest bit of index - 1.
std::int32_t pattern_index(const EyeSamples& eye, std::int32_t bit, std::int32_t instant, float threshold,
                           std::int32_t pattern_length);

// Counts, means and variances of the patterns at instant j and threshold
// (sums accumulated in single precision). Returns false when a pattern never
// occurs (then only the counts are meaningful).
bool pattern_statistics(const EyeSamples& eye, std::int32_t instant, float threshold, std::int32_t pattern_length,
                        PatternStats& stats);

// Balance status of the pattern counts: 5 when their standard deviation
// exceeds 0.2 times their mean, else 4 when the smallest is below 10, else 1.
std::int32_t balance_status(const PatternStats& stats);

// BER to Q: 100 below 1e-40, 2 at or above 0.5 erfc(sqrt 2) (its single-precision value), otherwise the solution
// of 0.5 erfc(Q / sqrt 2) = BER by bisection on [1.8, 110] to 0.1 %.
float ber_to_q(double ber);

// Gaussian pattern-averaged BER (L = 3 or 5) and its Q and status (1, 2 or 3).
Evaluation final_ber_estim(const PatternStats& stats, float threshold, std::int32_t pattern_length);
// Q and status for a pattern-averaged BER, whatever the approximation that gave it.
Evaluation ber_result(double ber, const PatternStats& stats);

// Gaussian two-level evaluation (L = 1).
Evaluation two_level_estim(const PatternStats& stats, float threshold);

// Evaluation at instant j (1..N) and threshold. The chi-square model is used
// when the selector asks for it and can be fitted; otherwise the Gaussian
// result stands (chi_square false).
Evaluation q_ber_evaluate(const EyeSamples& eye, std::int32_t instant, float threshold, std::int32_t pattern_length,
                          const ApproxSelector& selector);

// Candidate threshold k (1..31) between the smallest and largest sample.
float candidate_threshold(float smin, float smax, std::int32_t k);

struct SearchResult {
    bool constant = false;          // all samples equal (or none)
    float smin = 0.0f;
    float smax = 0.0f;
    std::int32_t instant = 1;       // best sampling instant, 1..N
    float threshold = 0.0f;         // best decision threshold
    Evaluation best;
    std::array<float, kMaxEstimatorSamplesPerBit> instant_q{};  // best usable Q per instant, 2..100
    // Mode 2: smallest BER (status below 4) over the instants at the best
    // threshold, and its instant (0 when none).
    float min_ber_at_best_threshold = 0.0f;
    std::int32_t min_ber_instant = 0;
};

// Search of the sampling instant and threshold with the best Q (mode 0 Q
// estimator, 1 BER estimator, 2 BER estimator that also evaluates every
// instant at the best threshold). With a chi-square request each evaluation
// uses the chi-square model where it fits and the Gaussian one elsewhere; when
// the best evaluation is a Gaussian one the selector is marked failed and the
// search is made again with the Gaussian approximation throughout.
SearchResult q_ber_optimize(const EyeSamples& eye, std::int32_t pattern_length, std::int32_t mode,
                            ApproxSelector& selector);

}  // namespace nodrix
