// The multi-level estimator: collects the received signal over its
// observation window, as the BER estimator does, and at the end of the run
// decides M = 2 or 4 levels at every sampling instant, takes the best one and
// reports the symbol error ratio, the BER after Gray demapping and per eye
// (lower, middle, upper) its Q, threshold, height and width. The statistics
// are Gaussian per level, blind (no knowledge of the symbols sent).
#include "models/measurements/multilevel_estimator.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <string>

#include "kernel/block_declaration.h"
#include "kernel/filexx.h"
#include "models/measurements/file_name_check.h"
#include "models/measurements/observation.h"
#include "models/measurements/observed_input.h"
#include "models/measurements/resampler.h"
#include "models/transmitters/multilevel.h"
#include "numerics/ber_search.h"
#include "runtime/format.h"
#include "runtime/opxfile.h"

namespace nodrix {
namespace {

constexpr std::int32_t kFitRounds = 30;

// Deviations of a Gaussian tail holding 1e-6 of its level: the eye height is
// the opening left between two levels at that probability.
constexpr double kHeightDeviations = 4.753424308822899;

// Probability that a Gaussian variable lies more than z deviations above its mean.
double tail(double z) { return 0.5 * std::erfc(z / std::sqrt(2.0)); }

// The threshold between two levels where both tails are z deviations away.
double balanced_threshold(double m0, double s0, double m1, double s1) {
    if (!(s0 + s1 > 0.0)) return 0.5 * (m0 + m1);
    return (m0 * s1 + m1 * s0) / (s0 + s1);
}

// Statistics of the sorted samples [lo, hi) of one level.
void level_statistics(std::span<const double> sorted, std::size_t lo, std::size_t hi, double& mean, double& sigma) {
    const std::size_t n = hi - lo;
    double sum = 0.0;
    for (std::size_t k = lo; k < hi; ++k) sum += sorted[k];
    mean = sum / static_cast<double>(n);
    double squares = 0.0;
    for (std::size_t k = lo; k < hi; ++k) squares += (sorted[k] - mean) * (sorted[k] - mean);
    const double deviation = n > 1 ? std::sqrt(squares / static_cast<double>(n - 1)) : 0.0;
    auto quantile = [&](double f) {
        const double at = f * static_cast<double>(n - 1);
        const auto below = static_cast<std::size_t>(at);
        const std::size_t above = std::min(below + 1, n - 1);
        return sorted[lo + below] + (at - static_cast<double>(below)) * (sorted[lo + above] - sorted[lo + below]);
    };
    const double quartiles = (quantile(0.75) - quantile(0.25)) / 1.3489795003921634;
    sigma = std::max(deviation, quartiles);
}

// The samples' split at the thresholds: the index where each level begins.
std::vector<std::size_t> level_bounds(std::span<const double> sorted, const std::vector<double>& thresholds) {
    std::vector<std::size_t> bounds{0};
    for (const double t : thresholds)
        bounds.push_back(static_cast<std::size_t>(std::upper_bound(sorted.begin(), sorted.end(), t) - sorted.begin()));
    bounds.push_back(sorted.size());
    return bounds;
}

}  // namespace

void gaussian_error_ratios(LevelFit& fit, std::int32_t levels) {
    const auto m = static_cast<std::size_t>(levels);
    const double bits = levels == 4 ? 2.0 : 1.0;
    double ser = 0.0;
    double ber = 0.0;
    for (std::size_t i = 0; i < m; ++i) {
        for (std::size_t j = 0; j < m; ++j) {
            if (i == j) continue;
            // Decided j: between thresholds j - 1 and j.
            const double s = fit.sigma[i] > 0.0 ? fit.sigma[i] : 1e-300;
            double p;
            if (j > i) {
                const double from = tail((fit.threshold[j - 1] - fit.mean[i]) / s);
                p = from - (j + 1 < m ? tail((fit.threshold[j] - fit.mean[i]) / s) : 0.0);
            } else {
                const double from = tail((fit.mean[i] - fit.threshold[j]) / s);
                p = from - (j > 0 ? tail((fit.mean[i] - fit.threshold[j - 1]) / s) : 0.0);
            }
            const auto differ = static_cast<double>(std::popcount(static_cast<unsigned>(
                gray_bits(static_cast<std::int32_t>(i)) ^ gray_bits(static_cast<std::int32_t>(j)))));
            ser += p;
            ber += p * (levels == 4 ? differ : 1.0);
        }
    }
    fit.ser = std::max(ser / static_cast<double>(m), kMultilevelFloor);
    fit.ber = std::max(ber / (static_cast<double>(m) * bits), kMultilevelFloor);
}

LevelFit fit_levels(std::span<const double> values, std::int32_t levels) {
    const auto m = static_cast<std::size_t>(levels);
    LevelFit fit;
    fit.mean.assign(m, 0.0);
    fit.sigma.assign(m, 0.0);
    fit.count.assign(m, 0);
    if (values.size() < m) return fit;
    std::vector<double> sorted(values.begin(), values.end());
    std::sort(sorted.begin(), sorted.end());
    // Equally likely symbols: start from the quantiles.
    for (std::size_t j = 1; j < m; ++j) fit.threshold.push_back(sorted[j * sorted.size() / m]);
    std::vector<std::size_t> bounds;
    for (std::int32_t round = 0; round < kFitRounds; ++round) {
        bounds = level_bounds(sorted, fit.threshold);
        for (std::size_t i = 0; i < m; ++i)
            if (bounds[i + 1] <= bounds[i]) return fit;  // a level lost every sample
        for (std::size_t i = 0; i < m; ++i) level_statistics(sorted, bounds[i], bounds[i + 1], fit.mean[i], fit.sigma[i]);
        std::vector<double> next(m - 1);
        for (std::size_t i = 0; i + 1 < m; ++i)
            next[i] = balanced_threshold(fit.mean[i], fit.sigma[i], fit.mean[i + 1], fit.sigma[i + 1]);
        const bool settled = next == fit.threshold;
        fit.threshold = next;
        if (settled) break;
    }
    bounds = level_bounds(sorted, fit.threshold);
    for (std::size_t i = 0; i < m; ++i) {
        if (bounds[i + 1] <= bounds[i]) return fit;
        fit.count[i] = static_cast<std::int32_t>(bounds[i + 1] - bounds[i]);
    }
    fit.defined = true;
    for (std::size_t i = 0; i + 1 < m; ++i) {
        const double spread = fit.sigma[i] + fit.sigma[i + 1];
        fit.eye_q.push_back(spread > 0.0 ? (fit.mean[i + 1] - fit.mean[i]) / spread : INFINITY);
        fit.opening.push_back(fit.mean[i + 1] - kHeightDeviations * fit.sigma[i + 1] -
                              (fit.mean[i] + kHeightDeviations * fit.sigma[i]));
    }
    gaussian_error_ratios(fit, levels);
    return fit;
}

namespace {

double smallest_q(const LevelFit& f) {
    return f.eye_q.empty() ? 0.0 : *std::min_element(f.eye_q.begin(), f.eye_q.end());
}

// The better of two instants' fits: the lower symbol error ratio, then the
// larger smallest eye Q.
bool better(const LevelFit& a, const LevelFit& b) {
    if (!b.defined) return a.defined;
    if (!a.defined) return false;
    if (a.ser != b.ser) return a.ser < b.ser;
    return smallest_q(a) > smallest_q(b);
}

}  // namespace

MultilevelEvaluation evaluate_multilevel(std::span<const float> samples, std::int32_t per_symbol,
                                         std::int32_t levels) {
    MultilevelEvaluation e;
    const auto n = static_cast<std::size_t>(std::max(per_symbol, 1));
    e.symbols = static_cast<std::int32_t>(samples.size() / n);
    std::vector<LevelFit> fits;
    std::vector<double> values(static_cast<std::size_t>(e.symbols));
    for (std::size_t p = 0; p < n; ++p) {
        for (std::size_t k = 0; k < values.size(); ++k) values[k] = samples[k * n + p];
        fits.push_back(fit_levels(values, levels));
        if (better(fits.back(), fits[static_cast<std::size_t>(e.instant)])) e.instant = static_cast<std::int32_t>(p);
    }
    e.best = fits[static_cast<std::size_t>(e.instant)];
    e.width.assign(static_cast<std::size_t>(levels - 1), 0.0);
    if (!e.best.defined) return e;
    for (std::size_t eye = 0; eye < e.width.size(); ++eye) {
        auto open = [&](std::size_t p) { return fits[p].defined && fits[p].opening[eye] > 0.0; };
        const auto best = static_cast<std::size_t>(e.instant);
        if (!open(best)) continue;
        std::size_t count = 1;
        for (std::size_t d = 1; d < n && open((best + d) % n); ++d) ++count;
        for (std::size_t d = 1; count < n && open((best + n - d) % n); ++d) ++count;
        e.width[eye] = static_cast<double>(count) / static_cast<double>(n);
    }
    return e;
}

namespace {

std::string trimmed(const std::string& s) {
    const auto last = s.find_last_not_of(' ');
    return last == std::string::npos ? std::string() : s.substr(0, last + 1);
}

// Names of the eyes from the lowest up.
std::string eye_name(std::int32_t eye, std::int32_t levels) {
    if (levels == 2) return "single";
    static const char* const names[] = {"lower", "middle", "upper"};
    return names[eye];
}

void write_report(std::int32_t unit, const std::string& title, std::int32_t levels, const MultilevelEvaluation& e,
                  double symbol_ps, std::int32_t per_symbol, double mean_level) {
    auto line = [unit](const std::string& text) { unit_write_line(unit, text); };
    const double per_instant = symbol_ps / static_cast<double>(per_symbol);
    line("Multilevel Estimator at " + fmt::A(title, 50));
    line("Levels = " + fmt::I(levels, 2) + ", symbols evaluated = " + fmt::I(e.symbols, 9));
    line("Mean Level =" + fmt::E(mean_level, 12, 5));
    if (!e.best.defined) {
        line("");
        line("WARNING !");
        line("  At no sampling instant do all levels hold samples");
        line("  You should probably increase the number of simulated symbols");
        return;
    }
    line("Best Sampling Instant [ps] = " + fmt::F(e.instant * per_instant, 12, 5));
    line(" P Symbol Error Ratio          =" + fmt::E(e.best.ser, 12, 5));
    line(" P BER after Gray Demapping    =" + fmt::E(e.best.ber, 12, 5));
    for (std::int32_t eye = levels - 2; eye >= 0; --eye) {
        const auto k = static_cast<std::size_t>(eye);
        const std::string name = eye_name(eye, levels);
        const double q = e.best.eye_q[k];
        line("Eye " + name + ": levels " + std::to_string(eye) + " and " + std::to_string(eye + 1));
        line("Decision Threshold " + name + "  =" + fmt::E(e.best.threshold[k], 12, 5));
        line("Q " + name + " [linear]  = " + fmt::F(q, 12, 5));
        line(" P Q " + name + " [dB]      = " + fmt::F(20.0 * std::log10(q), 12, 5));
        line(" P Eye Height " + name + " =" + fmt::E(e.best.opening[k], 12, 5));
        line(" P Eye Width " + name + " [ps] = " + fmt::F(e.width[k] * symbol_ps, 12, 5));
    }
    line("Levels: mean, deviation, samples");
    for (std::size_t i = 0; i < e.best.mean.size(); ++i)
        line("  " + fmt::I(static_cast<std::int64_t>(i), 2) + fmt::E(e.best.mean[i], 14, 5) +
             fmt::E(e.best.sigma[i], 14, 5) + fmt::I(e.best.count[i], 10));
}

struct MultilevelEstimator {
    float delay_ps = 0.0f;                // extra delay before the observation window
    float window_ps = 0.0f;               // end of the observation window after its reference
    std::int32_t samples_per_symbol = 1;  // of the simulation
    std::int32_t levels = 4;              // M, 2 or 4
    std::string title;                    // caption
    std::string report_name;              // report, ".DAT" appended

    Input<ElectricalSample> input;
    const TimeWindow* input_window = &window_of_no_block();  // its good interval bounds the observation

    State<float> buffer;        // the collected samples
    State<std::int32_t> words;  // collecting flag, resample counter, stored samples
    State<float> previous;      // previous input sample
    std::int32_t length = 0;    // of the buffer
    bool evaluated = false;     // the run reached its last sample
    ObservationCoverage coverage;

    static KindDeclaration<MultilevelEstimator> declaration();

    std::int32_t kept() const { return std::min(samples_per_symbol, kMaxEstimatorSamplesPerBit); }
    double symbol_period(const RunContext& ctx) const { return static_cast<double>(samples_per_symbol) * ctx.time_step(); }
    float start(const RunContext& ctx) const { return input_window->tgoodi + ctx.monitor_offset() + delay_ps; }
    float end(const RunContext& ctx) const {
        const float m = ctx.monitor_offset();
        return std::min(input_window->tgoodi + m + window_ps, input_window->tgoodf - m);
    }

    void design(const RunContext& ctx, StateClaims& state) {
        evaluated = false;
        const double span = ctx.setup_round() == SetupRound::sizing ? static_cast<double>(window_ps) - delay_ps
                                                                    : static_cast<double>(end(ctx)) - start(ctx);
        const double symbol = symbol_period(ctx);
        const double symbols = symbol > 0.0 ? std::max(std::trunc(span / symbol), 0.0) : 0.0;
        length = static_cast<std::int32_t>(std::min((symbols + 1.0) * kept(), 1073741823.0));
        state.claim(buffer, length);
        state.claim(words, 3);
        state.claim(previous, 1);
    }

    void setup(const RunContext&) {
        evaluated = false;
        forget_observation(report_name);
    }

    void collect(const RunContext& ctx) {
        keep_resampled(words.data(), previous[0], buffer.data(), length, ctx.step(), samples_per_symbol, kept(), input->value);
    }

    void run(const RunContext& ctx) {
        if (evaluated) return;
        const float t = ctx.time();
        if (t >= start(ctx) && t <= end(ctx)) {
            collect(ctx);
            words[0] = 1;
        }
        if (!ctx.last_sample()) return;
        coverage = windowed_coverage(delay_ps, window_ps, symbol_period(ctx), nearest_whole_bits(words[2], kept()),
                                     input_window->tgoodi, input_window->tgoodf, ctx.monitor_offset(), t,
                                     ctx.time_step());
        evaluated = true;
    }

    Status finish(const RunContext& ctx) {
        if (!evaluated) return {};
        const std::string name = cut_at_first_blank(report_name.c_str());
        if (name.empty()) return Status::error("multilevel estimator " + trimmed(title) + ": no report file name");
        const std::span<const float> samples(buffer.data(), static_cast<std::size_t>(words[2]));
        const MultilevelEvaluation e = evaluate_multilevel(samples, kept(), levels);
        double sum = 0.0;
        for (const float v : samples) sum += v;
        const double mean = samples.empty() ? 0.0 : sum / static_cast<double>(samples.size());
        post_observation(report_name, coverage);
        if (const ReportFile file = ctx.files().create_report(name))
            write_report(file.unit(), title, levels, e, symbol_period(ctx), kept(), mean);
        return {};
    }
};

void check_multilevel_estimator(const BlockSettings& s, const LinkContext&, Findings& found) {
    check_result_file_name(s, "report_name", true, found);
}

KindDeclaration<MultilevelEstimator> MultilevelEstimator::declaration() {
    using E = MultilevelEstimator;
    return {
        .name = "multilevel_estimator",
        .help = "multi-level estimator: M - 1 thresholds and the best instant, symbol and bit error ratios, eyes",
        .family = BlockFamily::measurements,
        .parameters =
            {
                parameter(&E::delay_ps, {.name = "delay_ps", .unit = "ps", .fallback = 0.0,
                                         .help = "delay of the observation's start"}),
                parameter(&E::window_ps, {.name = "window_ps", .unit = "ps", .help = "length of the observation",
                                          .low = 0, .low_open = true, .required = true}),
                parameter(&E::samples_per_symbol, {.name = "samples_per_symbol", .unit = "samples",
                                                   .help = "samples per symbol of the signal", .low = 1,
                                                   .required = true, .limits = "that of the symbol source"}),
                parameter(&E::levels, {.name = "levels", .fallback = 4, .help = "number of levels M",
                                       .choices = {{"2", 2}, {"4", 4}}, .limits = "that of the symbol source"}),
                parameter(&E::title, {.name = "title", .text_fallback = "mlest{n} Run(s): 1",
                                      .help = "caption in the report"}),
                parameter(&E::report_name, {.name = "report_name", .text_fallback = "{link}_MLE{id}",
                                            .help = "report file name (\".DAT\" appended)"}),
            },
        .inputs = {observed_input(&E::input, &E::input_window, {.key = "input", .help = "the received signal"})},
        .check = check_multilevel_estimator,
    };
}

const KindRegistration registration{declare_kind<MultilevelEstimator>()};

}  // namespace
}  // namespace nodrix
