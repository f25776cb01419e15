#include "numerics/ber_search.h"

#include <algorithm>
#include <cmath>

#include "numerics/ber_chi_square.h"

namespace nodrix {
namespace {

constexpr double kSqrt2 = 1.4142135623730951;

// 0.5 erfc(d / sqrt(2 var)): the Gaussian tail beyond a distance d, with the
// limits of a vanishing variance.
double gaussian_tail(double d, double var) {
    if (var > 0.0) return 0.5 * std::erfc(d / std::sqrt(2.0 * var));
    if (d > 0.0) return 0.0;
    return d < 0.0 ? 1.0 : 0.5;
}

Evaluation truncated_low(std::int32_t status) {
    Evaluation e;
    e.q = 2.0f;
    e.ber = ber_at_q2();
    e.status = std::max(status, kBerQVeryLow);
    return e;
}

// Smallest separation of the pattern pairs that differ only in the centre
// bit, |mean difference| / (sum of deviations), starting from 1e6.
float smallest_pair_q(const PatternStats& stats) {
    float q = 1e6f;
    for (std::int32_t p = 0; p + 1 < stats.patterns; p += 2) {
        const float den = std::sqrt(std::max(stats.var[p], 0.0f)) + std::sqrt(std::max(stats.var[p + 1], 0.0f));
        if (den <= 0.0f) continue;  // an infinite separation leaves the minimum as it is
        q = std::min(q, std::fabs(stats.mean[p] - stats.mean[p + 1]) / den);
    }
    return q;
}

// Ordering of evaluations in the search: usable ones (status below 4) by the
// larger Q then the smaller BER; the others by the lower status first.
bool better(const Evaluation& e, const Evaluation& best) {
    const bool usable = e.status < kBerFewOccurrences;
    const bool best_usable = best.status < kBerFewOccurrences;
    if (usable != best_usable) return usable;
    if (!usable && e.status != best.status) return e.status < best.status;
    return e.q > best.q || (e.q == best.q && e.ber < best.ber);
}

}  // namespace

float ber_at_q2() { return static_cast<float>(0.5 * std::erfc(kSqrt2)); }

std::int32_t pattern_index(const EyeSamples& eye, std::int32_t bit, std::int32_t instant, float threshold,
                           std::int32_t pattern_length) {
    auto d = [&](std::int32_t offset) -> std::int32_t { return eye.at(bit + offset, instant) > threshold ? 1 : 0; };
    switch (pattern_length) {
        case 3: return d(0) + 2 * (d(-1) + 2 * d(1)) + 1;
        case 5: return d(0) + 2 * (d(-2) + 2 * (d(-1) + 2 * (d(1) + 2 * d(2)))) + 1;
        default: return d(0) + 1;
    }
}

bool pattern_statistics(const EyeSamples& eye, std::int32_t instant, float threshold, std::int32_t pattern_length,
                        PatternStats& stats) {
    stats = PatternStats{};
    stats.patterns = 1 << pattern_length;
    std::array<float, kMaxPatterns> sum{};
    std::array<float, kMaxPatterns> sum2{};
    const std::int32_t half = (pattern_length - 1) / 2;
    const std::int32_t bits = eye.bits();
    for (std::int32_t b = half; b < bits - half; ++b) {
        const std::int32_t p = pattern_index(eye, b, instant, threshold, pattern_length) - 1;
        const float s = eye.at(b, instant);
        ++stats.count[p];
        sum[p] += s;
        sum2[p] += s * s;
    }
    bool all = true;
    for (std::int32_t p = 0; p < stats.patterns; ++p) {
        if (stats.count[p] == 0) {
            all = false;
            continue;
        }
        const float n = static_cast<float>(stats.count[p]);
        stats.mean[p] = sum[p] / n;
        stats.var[p] = sum2[p] / n - stats.mean[p] * stats.mean[p];
    }
    return all;
}

std::int32_t balance_status(const PatternStats& stats) {
    if (stats.patterns <= 0) return kBerPatternMissing;
    double m = 0.0;
    std::int32_t smallest = stats.count[0];
    for (std::int32_t p = 0; p < stats.patterns; ++p) {
        m += stats.count[p];
        smallest = std::min(smallest, stats.count[p]);
    }
    m /= stats.patterns;
    double v = 0.0;
    for (std::int32_t p = 0; p < stats.patterns; ++p) v += (stats.count[p] - m) * (stats.count[p] - m);
    const double s = std::sqrt(v / stats.patterns);
    if (s > 0.2 * m) return kBerUnbalanced;
    return smallest < kFewOccurrences ? kBerFewOccurrences : kBerRegular;
}

float ber_to_q(double ber) {
    if (ber < 1e-40) return 100.0f;
    // At or above Q = 2's BER (in the single precision the BERs are kept in).
    if (ber >= static_cast<double>(ber_at_q2())) return 2.0f;
    double lo = 1.8;
    double hi = 110.0;
    for (;;) {
        const double mid = 0.5 * (lo + hi);
        if (ber <= 0.5 * std::erfc(mid / kSqrt2))
            lo = mid;
        else
            hi = mid;
        if ((hi - lo) / mid <= 0.001) return static_cast<float>(mid);
    }
}

Evaluation ber_result(double ber, const PatternStats& stats) {
    Evaluation e;
    if (ber >= 1e-40) {
        if (ber <= 0.5 * std::erfc(kSqrt2)) {
            e.ber = static_cast<float>(ber);
            e.q = ber_to_q(ber);
            e.status = kBerRegular;
        } else {
            e = truncated_low(kBerRegular);
        }
    } else {
        e.ber = kBerTruncated;
        e.status = kBerQVeryLarge;
        e.q = smallest_pair_q(stats);
    }
    return e;
}

Evaluation final_ber_estim(const PatternStats& stats, float threshold, std::int32_t pattern_length) {
    double ber = 0.0;
    for (std::int32_t p = 0; p < stats.patterns; ++p) {
        const double d = std::fabs(static_cast<double>(stats.mean[p]) - threshold);
        const double var = std::fabs(static_cast<double>(stats.var[p]));
        // Patterns farther than 30 deviations from the threshold add nothing.
        if (d <= 30.0 * std::sqrt(2.0 * var)) ber += gaussian_tail(d, var);
    }
    ber /= static_cast<double>(1 << pattern_length);
    return ber_result(ber, stats);
}

Evaluation two_level_estim(const PatternStats& stats, float threshold) {
    const float m0 = stats.mean[0];
    const float m1 = stats.mean[1];
    const float var0 = std::max(stats.var[0], 0.0f);
    const float var1 = std::max(stats.var[1], 0.0f);
    const float den = std::sqrt(var1) + std::sqrt(var0);
    float q;
    if ((m1 - m0) * 1e-6f < den)
        q = den > 0.0f ? (m1 - m0) / den : -1.0f;  // den 0 here means m1 <= m0: no eye
    else
        q = 1e6f;
    Evaluation e;
    e.status = kBerRegular;
    if (q >= 100.0f) {
        e.q = q;
        e.ber = kBerFloor;
        e.status = kBerQVeryLarge;
    } else if (q >= 2.0f) {
        const double ber = 0.5 * (gaussian_tail(static_cast<double>(m1) - threshold, var1) +
                                  gaussian_tail(static_cast<double>(threshold) - m0, var0));
        e.q = q;
        e.ber = std::max(static_cast<float>(ber), kBerFloor);
    } else {
        e = truncated_low(kBerRegular);
    }
    return e;
}

Evaluation q_ber_evaluate(const EyeSamples& eye, std::int32_t instant, float threshold, std::int32_t pattern_length,
                          const ApproxSelector& selector) {
    PatternStats stats;
    if (!pattern_statistics(eye, instant, threshold, pattern_length, stats)) {
        Evaluation e = truncated_low(kBerRegular);
        e.status = kBerPatternMissing;
        return e;
    }
    const std::int32_t balance = balance_status(stats);
    Evaluation e = pattern_length == 1 ? two_level_estim(stats, threshold)
                                       : final_ber_estim(stats, threshold, pattern_length);
    if (selector.kind == ApproxSelector::kChiSquare) {
        const Chi2Estimate c = chi2_ber_estim(stats, threshold, selector.max_dof);
        if (c.ok) {
            e = ber_result(c.ber, stats);
            e.chi_square = true;
            e.dof = c.dof;
        }
    }
    e.status = std::max(e.status, balance);
    return e;
}

float candidate_threshold(float smin, float smax, std::int32_t k) {
    return smin + (static_cast<float>(k) - 0.5f) * (smax - smin) * 0.9f / static_cast<float>(kCandidateThresholds);
}

namespace {

void search(const EyeSamples& eye, std::int32_t pattern_length, const ApproxSelector& selector, SearchResult& r) {
    const std::int32_t n = eye.per_bit;
    r.best = Evaluation{};
    r.instant = 1;
    r.threshold = candidate_threshold(r.smin, r.smax, 1);
    for (std::int32_t j = 1; j <= n; ++j) {
        float qmax = 2.0f;
        for (std::int32_t k = 1; k <= kCandidateThresholds; ++k) {
            const float th = candidate_threshold(r.smin, r.smax, k);
            const Evaluation e = q_ber_evaluate(eye, j, th, pattern_length, selector);
            if (e.status < kBerFewOccurrences) qmax = std::max(qmax, e.q);
            if (better(e, r.best)) {
                r.best = e;
                r.instant = j;
                r.threshold = th;
            }
        }
        r.instant_q[static_cast<std::size_t>(j - 1)] = std::min(qmax, 100.0f);
    }
}

}  // namespace

SearchResult q_ber_optimize(const EyeSamples& eye, std::int32_t pattern_length, std::int32_t mode,
                            ApproxSelector& selector) {
    SearchResult r;
    const std::int32_t n = std::clamp(eye.per_bit, 1, kMaxEstimatorSamplesPerBit);
    r.instant_q.fill(2.0f);
    if (eye.count > 0) {
        const auto [lo, hi] = std::minmax_element(eye.data, eye.data + eye.count);
        r.smin = *lo;
        r.smax = *hi;
    }
    if (eye.count <= 0 || r.smin == r.smax) {
        r.constant = true;
        r.threshold = r.smin;
        r.best.q = 2.0f;
        r.best.ber = ber_at_q2();
        r.best.status = kBerQVeryLow;
        return r;
    }
    EyeSamples view = eye;
    view.per_bit = n;
    search(view, pattern_length, selector, r);
    // When the best evaluation could not use the chi-square model, the whole
    // search is the Gaussian one.
    if (selector.kind == ApproxSelector::kChiSquare && !r.best.chi_square) {
        selector.kind = ApproxSelector::kFailed;
        search(view, pattern_length, selector, r);
    }
    if (r.best.status == kBerNoEvaluation) {
        r.best.q = 2.0f;
        r.best.ber = ber_at_q2();
        r.best.status = kBerQVeryLow;
    }
    r.best.ber = std::max(r.best.ber, kBerFloor);
    if (mode == 0) r.best.q = std::clamp(r.best.q, 2.0f, 100.0f);
    if (mode == 2) {
        for (std::int32_t j = 1; j <= n; ++j) {
            const Evaluation e = q_ber_evaluate(view, j, r.threshold, pattern_length, selector);
            if (e.status >= kBerFewOccurrences) continue;
            if (r.min_ber_instant == 0 || e.ber < r.min_ber_at_best_threshold) {
                r.min_ber_at_best_threshold = e.ber;
                r.min_ber_instant = j;
            }
        }
    }
    return r;
}

}  // namespace nodrix
