#include "models/measurements/ber_charts.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <limits>
#include <span>
#include <vector>

#include "runtime/chart_compact.h"

namespace nodrix {

const ChartTexts kEyeClosureChart{"EYE Closure vs. Sampling Instant ", "time", "ps", " EYE Closure ", "dB"};
const ChartTexts kQChart{"Q vs. Sampling Instant ", "time", "ps", "Q ", "dB"};
const ChartTexts kBerInstantChart{"BER vs. Sampling Instant ", "time", "ps", " BER ", " "};
const ChartTexts kBerThresholdChart{"BER vs. Decision Threshold ", "Threshold Level", "a.u.", " BER ", " "};

CentralPart central_part(std::int32_t per_bit) {
    const std::int32_t n = std::max(per_bit, 1);
    // trunc(0.8 (N + 1)) in integers.
    const std::int32_t shown = (4 * (n + 1)) / 5;
    const std::int32_t k = std::max((n - shown) / 2, 1);
    CentralPart c;
    c.first_offset = -(n / 2) + k;
    c.count = n - 2 * k;
    if (c.count < 1) c = CentralPart{};
    return c;
}

std::int32_t instant_at_offset(std::int32_t best, std::int32_t offset, std::int32_t per_bit) {
    const std::int32_t n = std::max(per_bit, 1);
    return (((best - 1 + offset) % n) + n) % n + 1;
}

EyeParameters eye_parameters(const EyeSamples& eye, std::int32_t instant, float threshold) {
    float low_mark = 1e20f;
    float high_space = -1e20f;
    double sum_mark = 0.0;
    double sum_space = 0.0;
    std::int32_t marks = 0;
    std::int32_t spaces = 0;
    for (std::int32_t b = 0; b < eye.bits(); ++b) {
        const float s = eye.at(b, instant);
        if (s > threshold) {
            low_mark = std::min(low_mark, s);
            sum_mark += s;
            ++marks;
        } else {
            high_space = std::max(high_space, s);
            sum_space += s;
            ++spaces;
        }
    }
    EyeParameters p;
    p.opening = low_mark - high_space;
    if (marks > 0 && spaces > 0) p.average_opening = static_cast<float>(sum_mark / marks - sum_space / spaces);
    if (p.opening > 0.0f && marks > 0 && spaces > 0)
        p.closure_db = 10.0f * std::log10(p.average_opening / p.opening);
    else
        p.closure_db = 50.0f;
    if (marks == 0 || spaces == 0) p.opening = 0.0f;
    return p;
}

namespace {

// The eye's Q with marks and spaces told apart by one threshold.
EyeQ eye_q_at(const EyeSamples& eye, std::int32_t instant, double threshold) {
    EyeQ r;
    r.threshold = threshold;
    double sum_mark = 0.0;
    double sum_space = 0.0;
    for (std::int32_t b = 0; b < eye.bits(); ++b) {
        const double s = eye.at(b, instant);
        if (s > threshold) {
            sum_mark += s;
            ++r.marks;
        } else {
            sum_space += s;
            ++r.spaces;
        }
    }
    if (!r.defined()) return r;
    r.mean_mark = sum_mark / r.marks;
    r.mean_space = sum_space / r.spaces;
    // Second pass about the class means: no cancellation between large sums.
    double var_mark = 0.0;
    double var_space = 0.0;
    for (std::int32_t b = 0; b < eye.bits(); ++b) {
        const double s = eye.at(b, instant);
        if (s > threshold)
            var_mark += (s - r.mean_mark) * (s - r.mean_mark);
        else
            var_space += (s - r.mean_space) * (s - r.mean_space);
    }
    r.sigma_mark = std::sqrt(var_mark / r.marks);
    r.sigma_space = std::sqrt(var_space / r.spaces);
    const double opening = r.mean_mark - r.mean_space;
    const double noise = r.sigma_mark + r.sigma_space;
    r.q = noise > 0.0 ? opening / noise : std::numeric_limits<double>::infinity();
    return r;
}

}  // namespace

EyeQ eye_q_factor(const EyeSamples& eye, std::int32_t instant) {
    std::vector<double> v;
    for (std::int32_t b = 0; b < eye.bits(); ++b) v.push_back(eye.at(b, instant));
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    // Running sums of the sorted samples: split k makes the k lowest spaces.
    std::vector<double> sum(n + 1, 0.0);
    for (std::size_t k = 0; k < n; ++k) sum[k + 1] = sum[k] + v[k];
    std::size_t best = 0;
    double best_score = -1.0;
    for (std::size_t k = 1; k < n; ++k) {
        if (v[k - 1] == v[k]) continue;  // no threshold parts equal samples
        const double w = static_cast<double>(k) / static_cast<double>(n);
        const double opening = (sum[n] - sum[k]) / static_cast<double>(n - k) - sum[k] / static_cast<double>(k);
        const double score = w * (1.0 - w) * opening * opening;  // the variance between the two classes
        if (score > best_score) {
            best_score = score;
            best = k;
        }
    }
    if (best == 0) return EyeQ{};  // fewer than two distinct samples: no eye
    // The chosen split again, its deviations summed about the class means.
    return eye_q_at(eye, instant, 0.5 * (v[best - 1] + v[best]));
}

EyeQ best_eye_q(const EyeSamples& eye) {
    EyeQ best;
    for (std::int32_t j = 1; j <= eye.per_bit; ++j) {
        EyeQ e = eye_q_factor(eye, j);
        e.instant = j;
        if (e.defined() && (!best.defined() || e.q > best.q)) best = e;
    }
    return best;
}

EyeParameters q_other_parameters(const EyeSamples& eye, std::int32_t best_instant, float threshold,
                                 double bit_period, ChartPoints* chart) {
    const EyeParameters best = eye_parameters(eye, best_instant, threshold);
    if (chart != nullptr) {
        *chart = ChartPoints{};
        const CentralPart c = central_part(eye.per_bit);
        for (std::int32_t i = 0; i < c.count; ++i) {
            const std::int32_t off = c.first_offset + i;
            const std::int32_t j = instant_at_offset(best_instant, off, eye.per_bit);
            chart->add(off * bit_period / eye.per_bit, eye_parameters(eye, j, threshold).closure_db);
        }
    }
    return best;
}

float q_jitter_eval(const EyeSamples& eye, std::int32_t best_instant, float threshold, float smin,
                    double bit_period) {
    const std::int32_t n = eye.per_bit;
    const std::int32_t reach = n / 3;
    std::int32_t sum = 0;
    std::int32_t sum2 = 0;
    std::int32_t count = 0;
    for (std::int32_t b = 0; b < eye.bits(); ++b) {
        const std::int32_t centre = b * n + best_instant - 1;
        if (eye.data[centre] < threshold) continue;  // only marks carry a peak
        const std::int32_t first = centre - reach;
        if (first < 0) continue;
        const std::int32_t last = std::min(centre + reach, eye.count - 1);
        float peak = std::min(0.0f, smin);
        std::int32_t at = centre;
        for (std::int32_t p = first; p <= last; ++p)
            if (eye.data[p] > peak) {  // on equal values the earlier position stays
                peak = eye.data[p];
                at = p;
            }
        const std::int32_t d = at - centre;
        if (sum2 > INT_MAX - d * d || std::abs(sum) > INT_MAX - std::abs(d) || count == INT_MAX) break;
        sum += d;
        sum2 += d * d;
        ++count;
    }
    if (count == 0) return 0.0f;
    const double m = static_cast<double>(sum) / count;
    const double v = std::max(static_cast<double>(sum2) / count - m * m, 0.0);
    return static_cast<float>(std::sqrt(v) * bit_period / n);
}

InstantTolerance sampling_instant_tolerance(bool have_plus, double t_plus, bool have_minus, double t_minus,
                                            double bit_period) {
    InstantTolerance r;
    if (!have_plus || !have_minus) {
        r.tolerance = 0.8 * bit_period;
        r.flagged = true;
    } else if (t_plus > 0.0 && t_minus < 0.0) {
        r.tolerance = t_plus - t_minus;
        if (r.tolerance < 0.0) r.tolerance += bit_period;
    } else if (t_minus > 0.0) {  // both crossings after the best instant
        r.tolerance = t_plus + 0.4 * bit_period;
        r.flagged = true;
    } else {
        r.tolerance = 0.4 * bit_period - t_minus;
        r.flagged = true;
    }
    return r;
}

InstantTolerance q_sampl_inst_chart(const SearchResult& search, std::int32_t per_bit, double bit_period,
                                    double degradation_db, ChartPoints& chart) {
    chart = ChartPoints{};
    std::array<double, kMaxEstimatorSamplesPerBit> q{};
    const CentralPart c = central_part(per_bit);
    std::int32_t at_best = 0;
    for (std::int32_t i = 0; i < c.count; ++i) {
        const std::int32_t off = c.first_offset + i;
        const std::int32_t j = instant_at_offset(search.instant, off, per_bit);
        q[static_cast<std::size_t>(i)] = search.instant_q[static_cast<std::size_t>(j - 1)];
        chart.add(off * bit_period / per_bit, 20.0 * std::log10(q[static_cast<std::size_t>(i)]));
        if (off == 0) at_best = i;
    }
    const double ref = q[static_cast<std::size_t>(at_best)] * std::pow(10.0, -0.05 * degradation_db);
    auto crossing = [&](std::int32_t i, std::int32_t k) {
        const auto ui = static_cast<std::size_t>(i);
        const auto uk = static_cast<std::size_t>(k);
        return chart.x[ui] + (ref - q[ui]) / (q[uk] - q[ui]) * (chart.x[uk] - chart.x[ui]);
    };
    bool have_plus = false;
    bool have_minus = false;
    double t_plus = -1.0;
    double t_minus = -1.0;
    for (std::int32_t i = at_best; i + 1 < c.count && !have_plus; ++i)
        if (q[static_cast<std::size_t>(i)] >= ref && q[static_cast<std::size_t>(i + 1)] < ref) {
            t_plus = crossing(i, i + 1);
            have_plus = true;
        }
    for (std::int32_t i = at_best; i >= 1 && !have_minus; --i)
        if (q[static_cast<std::size_t>(i)] >= ref && q[static_cast<std::size_t>(i - 1)] < ref) {
            t_minus = crossing(i, i - 1);
            have_minus = true;
        }
    return sampling_instant_tolerance(have_plus, t_plus, have_minus, t_minus, bit_period);
}

namespace {

// A BER for the charts: raised to 1e-40, and Q = 2's BER for an unreliable evaluation.
float chart_ber(const Evaluation& e) {
    if (e.status > kBerQVeryLow) return ber_at_q2();
    return std::max(e.ber, kBerChartFloor);
}

}  // namespace

BerSideResults ber_other_parameters(const EyeSamples& eye, std::int32_t pattern_length, const SearchResult& search,
                                    float fixed_threshold, float relative, const ApproxSelector& selector,
                                    double bit_period, ChartPoints* by_instant, ChartPoints* by_threshold) {
    const std::int32_t n = eye.per_bit;
    auto evaluate = [&](std::int32_t j, float th) { return q_ber_evaluate(eye, j, th, pattern_length, selector); };
    if (by_instant != nullptr) {
        *by_instant = ChartPoints{};
        for (std::int32_t j = 1; j <= n; ++j)
            by_instant->add((j - 1) * bit_period / n, chart_ber(evaluate(j, search.threshold)));
    }
    if (by_threshold != nullptr) {
        *by_threshold = ChartPoints{};
        for (std::int32_t k = 1; k <= kCandidateThresholds; ++k) {
            const float th = candidate_threshold(search.smin, search.smax, k);
            by_threshold->add(th, chart_ber(evaluate(search.instant, th)));
        }
    }
    const bool best_unreliable = search.best.status > kBerQVeryLow;
    BerSideResults r;
    r.relative_threshold = search.smin + relative * (search.smax - search.smin);
    r.relative_ber = best_unreliable ? search.best.ber : evaluate(search.instant, r.relative_threshold).ber;
    r.fixed_inside = search.smin < fixed_threshold && fixed_threshold < search.smax;
    if (r.fixed_inside)
        r.fixed_ber = best_unreliable ? search.best.ber : evaluate(search.instant, fixed_threshold).ber;
    double sum = 0.0;
    for (std::int32_t k = 0; k < eye.count; ++k) sum += eye.data[k];
    r.mean_threshold = eye.count > 0 ? static_cast<float>(sum / eye.count) : 0.0f;
    const Evaluation at_mean = evaluate(search.instant, r.mean_threshold);
    r.mean_ber = at_mean.status > kBerQVeryLow ? ber_at_q2() : at_mean.ber;
    return r;
}

bool write_estimator_charts(const std::string& path, const ChartTexts& first_texts, const ChartPoints& first,
                            const ChartTexts* second_texts, const ChartPoints* second) {
    const std::int32_t id = qxy1_create(path);
    if (id < 0) return false;
    auto write = [&](const ChartTexts& t, const ChartPoints& p) {
        const auto n = static_cast<std::size_t>(p.n);
        return qxy1_write_chart(id, t.title, t.label_x, t.measure_x, t.label_y, t.measure_y,
                                std::span<const double>(p.x.data(), n), std::span<const double>(p.y.data(), n));
    };
    bool ok = write(first_texts, first);
    if (ok && second_texts != nullptr && second != nullptr) ok = write(*second_texts, *second);
    return qxy1_close(id) && ok;
}

}  // namespace nodrix
