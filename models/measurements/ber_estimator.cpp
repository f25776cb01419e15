#include "models/measurements/ber_estimator.h"
#include "models/measurements/resampler.h"
#include "models/measurements/run_end.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <map>

#include "kernel/control_blocks.h"
#include "kernel/filexx.h"
#include "kernel/storage.h"
#include "models/measurements/ber_charts.h"
#include "models/measurements/observation.h"
#include "numerics/ber_search.h"
#include "runtime/format.h"
#include "runtime/opxfile.h"

namespace nodrix {

namespace {

constexpr std::int32_t kEvaluated = 2;  // collecting flag once the end-of-run evaluation is made

// The outcome of each estimator's last evaluation, by report name.
std::map<std::string, EstimatorOutcome>& outcome_board() {
    static std::map<std::string, EstimatorOutcome> board;
    return board;
}

// ---- Report ----

class Report {
public:
    explicit Report(std::int32_t unit) : unit_(unit) {}
    void line(const std::string& text) const { unit_write_line(unit_, text); }
    void warning_head() const {
        line("");
        line("WARNING !");
    }

private:
    std::int32_t unit_;
};

double db20(double q) { return 20.0 * std::log10(q); }

void status_warning(const Report& r, std::int32_t status, bool q_mode) {
    const double q2_db = db20(2.0);
    switch (status) {
        case kBerQVeryLarge:
            r.warning_head();
            if (q_mode) {
                r.line("  The evaluated Q-value is very large");
                r.line("  The Gaussian approximation may be unreliable");
            } else {
                r.line("  The evaluated BER is very low");
                r.line("  The Gaussian approximation may be unreliable");
                r.line("  BER has been conventionally truncated");
            }
            break;
        case kBerQVeryLow:
            r.warning_head();
            if (q_mode) {
                r.line("  The evaluated Q-value is very low");
                r.line("  and has been conventionally truncated to " + fmt::F(q2_db, 12, 5) + " dB");
            } else {
                r.line("  The evaluated BER is very high");
                r.line("  and has been conventionally truncated to " + fmt::E(ber_at_q2(), 12, 5));
            }
            break;
        case kBerFewOccurrences:
            r.warning_head();
            r.line("  There are less than" + fmt::I(kFewOccurrences, 3) + " occurences for one of the patterns");
            r.line("  In this case, the numerical results may be unreliable");
            r.line("  You should probably increase the number of simulated bits");
            break;
        case kBerUnbalanced:
            r.warning_head();
            r.line("  The number of occurences of patterns is strongly unbalanced");
            r.line("  In this case, the numerical results may be unreliable");
            r.line("  You should probably increase the number of simulated bits");
            break;
        case kBerPatternMissing:
            r.warning_head();
            r.line("  The number of occurences of one of the patterns is null");
            r.line("  In this case, the numerical results are totally unreliable.");
            if (q_mode)
                r.line("  The Q has been conventionally set to" + fmt::F(q2_db, 12, 5) + " dB");
            else
                r.line("  BER has been conventionally set to" + fmt::E(ber_at_q2(), 12, 5));
            r.line("  You should probably increase the number of simulated bits");
            break;
        default: break;
    }
}

// The four lines of a BER result at a named threshold ("Optimal", "Relative", "Fixed").
void threshold_lines(const Report& r, const std::string& name, float threshold, float ber) {
    const float q = ber_to_q(ber);
    r.line(name + " Decision Threshold = " + fmt::E(threshold, 12, 5));
    r.line(" P BER at " + name + " Decision Threshold                   =" + fmt::E(ber, 12, 5));
    r.line("Equivalent Q at " + name + " Decision Threshold [linear] = " + fmt::F(q, 9, 5));
    r.line(" P Equivalent Q at " + name + " Decision Threshold [dB]     = " + fmt::F(db20(q), 9, 5));
}

struct QModeResults {
    EyeParameters eye;
    float jitter = 0.0f;
    InstantTolerance tolerance;
    ChartPoints q_chart;
    ChartPoints eye_chart;
};

void write_q_report(const Report& r, const QBerRequest& req, const SearchResult& s, const QModeResults& q) {
    r.line("Q Estimator at " + fmt::A(req.title, 50));
    r.line("Q-evaluation with pattern length " + fmt::I(req.pattern_length, 3));
    r.line(" P Q value  [dB]       = " + fmt::F(db20(s.best.q), 12, 5));
    r.line(" P Q value  [linear]   = " + fmt::F(s.best.q, 12, 5));
    r.line("Optimal threshold   = " + fmt::E(s.threshold, 12, 5));
    status_warning(r, s.best.status, true);
    if (req.nv[1] == 1) {
        r.line(" P Eye closure [dB]    = " + fmt::F(q.eye.closure_db, 12, 5));
        r.line(" P Average eye opening = " + fmt::E(q.eye.average_opening, 12, 5));
        r.line(" P Eye opening         = " + fmt::E(q.eye.opening, 12, 5));
    }
    if (req.nv[2] == 1) {
        r.line(" P Jitter value [ps]   = " + fmt::F(q.jitter, 12, 5));
        if (s.best.status >= kBerQVeryLow && s.best.status <= kBerPatternMissing) {
            r.line("WARNING !");
            r.line("the jitter value may be not correct !");
        }
    }
    if (req.nv[3] == 1) {
        r.line("Tolerance to Sampling Instant Variation with");
        r.line("Q factor degradation tolerance of  " + fmt::F(req.degradation_db, 5, 3) + " dB: ");
        r.line(" P Sampling Instant Tolerance [ps] = " + fmt::F(q.tolerance.tolerance, 12, 5));
        if (s.best.status > kBerQVeryLow) {
            r.line("ERROR !");
            r.line("  The obtained Sampling Instant Tolerance is");
            r.line("  uncorrect since the number of occurences of");
            r.line("  patterns is strongly unbalanced");
        } else if (q.tolerance.flagged) {
            r.line("WARNING !");
            r.line("  The obtained Sampling Instant Tolerance can be");
            r.line("  uncorrect because of a totally opened");
            r.line("  or totally closed eye.");
            r.line("  In this case, the numerical results may");
            r.line("  be unreliable");
        }
    }
}

void write_ber_report(const Report& r, const QBerRequest& req, const SearchResult& s, const ApproxSelector& sel,
                      const BerSideResults& side) {
    r.line("BER Estimator at " + fmt::A(req.title, 50));
    r.line("BER evaluation with pattern length " + fmt::I(req.pattern_length, 3));
    if (sel.kind == ApproxSelector::kChiSquare) {
        r.line("Chi^2 Approximation used");
        r.line("Chi^2 Degree of freedom = " + fmt::I(s.best.dof, 5));
    } else {
        r.line("Gaussian Approximation used");
    }
    if (sel.kind == ApproxSelector::kFailed) {
        r.warning_head();
        r.line("It was impossible to use the Chi^2 approximation");
        r.line("The result has thus been obtained");
        r.line("using the gaussian approximation");
    }
    threshold_lines(r, "Optimal", s.threshold, s.best.ber);
    status_warning(r, s.best.status, false);
    if (req.nv[2] == 1) threshold_lines(r, "Relative", side.relative_threshold, side.relative_ber);
    if (req.nv[3] == 1) {
        if (side.fixed_inside) {
            threshold_lines(r, "Fixed", req.fixed_threshold, side.fixed_ber);
        } else {
            r.line("Fixed Decision Threshold = " + fmt::E(req.fixed_threshold, 12, 5));
            r.line(" P BER at Fixed Decision Threshold =" + fmt::E(side.fixed_ber, 12, 5));
            r.line("ERROR !");
            r.line("  The Fixed Decision Threshold is outside the eye");
            r.line("  BER evaluation is impossible");
        }
        const float q = ber_to_q(side.mean_ber);
        r.line("Mean Decision Threshold = " + fmt::E(side.mean_threshold, 12, 5));
        r.line(" P BER at Mean Decision Threshold                    =" + fmt::E(side.mean_ber, 12, 5));
        r.line("Equivalent Q at Mean Decision Threshold [linear]  = " + fmt::F(q, 9, 5));
        r.line(" P Equivalent Q at Mean Decision Threshold [dB]      = " + fmt::F(db20(q), 9, 5));
    }
}

std::string trailing_blanks_removed(const std::string& s) {
    const auto last = s.find_last_not_of(' ');
    return last == std::string::npos ? std::string() : s.substr(0, last + 1);
}

void write_charts(const QBerRequest& req, const ChartTexts& t1, const ChartPoints& c1, const ChartTexts& t2,
                  const ChartPoints& c2) {
    const bool first = req.nv[0] == 1;
    const bool second = req.nv[1] == 1;
    if (!first && !second) return;
    const std::string base = trailing_blanks_removed(req.file_name);
    if (base.empty()) {
        opxerr("pestim: no chart file name for " + trailing_blanks_removed(req.title));
        return;
    }
    const std::string path = base + ".qxy";
    // A failure is reported by the io layer, naming the file.
    if (first)
        write_estimator_charts(path, t1, c1, second ? &t2 : nullptr, second ? &c2 : nullptr);
    else
        write_estimator_charts(path, t2, c2, nullptr, nullptr);
}

}  // namespace

void q_ber_main(std::span<const float> samples, std::int32_t per_bit, const QBerRequest& req) {
    const std::int32_t n = std::clamp(per_bit, 1, kMaxEstimatorSamplesPerBit);
    const EyeSamples eye{samples.data(), static_cast<std::int32_t>(samples.size()), n};
    const bool q_mode = req.mode == 0;
    ApproxSelector selector;
    if (!q_mode && req.rv[1] > 0.0f) {
        selector.kind = ApproxSelector::kChiSquare;
        selector.max_dof = static_cast<std::int32_t>(std::min(req.rv[1], 2.0e9f));
    }
    const SearchResult s = q_ber_optimize(eye, req.pattern_length, req.mode, selector);

    QModeResults q;
    BerSideResults side;
    ChartPoints ber_by_instant;
    ChartPoints ber_by_threshold;
    if (q_mode) {
        if (req.nv[2] == 1) q.jitter = q_jitter_eval(eye, s.instant, s.threshold, s.smin, req.bit_period);
        if (req.nv[0] == 1 || req.nv[3] == 1)
            q.tolerance = q_sampl_inst_chart(s, n, req.bit_period, req.degradation_db, q.q_chart);
        q.eye = q_other_parameters(eye, s.instant, s.threshold, req.bit_period,
                                   req.nv[1] == 1 ? &q.eye_chart : nullptr);
    } else {
        side = ber_other_parameters(eye, req.pattern_length, s, req.fixed_threshold, req.rv[0], selector,
                                    req.bit_period, req.nv[0] == 1 ? &ber_by_instant : nullptr,
                                    req.nv[1] == 1 ? &ber_by_threshold : nullptr);
    }

    const std::string name = cut_at_first_blank(req.report_name.c_str());
    if (!name.empty())
        outcome_board()[name] = EstimatorOutcome{best_eye_q(eye), s.best.status, selector.kind == ApproxSelector::kFailed};
    if (name.empty()) {
        opxerr("pestim: no report file name for " + trailing_blanks_removed(req.title));
    } else {
        std::int32_t unit = 0;
        opnfil(name.c_str(), kFormattedNew, unit, static_cast<std::int32_t>(name.size()));
        if (unit != 0 && unit_stream(unit) != nullptr) {
            const Report report(unit);
            if (q_mode)
                write_q_report(report, req, s, q);
            else
                write_ber_report(report, req, s, selector, side);
            clodev(unit, 0);
        }
    }
    if (q_mode)
        write_charts(req, kQChart, q.q_chart, kEyeClosureChart, q.eye_chart);
    else
        write_charts(req, kBerInstantChart, ber_by_instant, kBerThresholdChart, ber_by_threshold);
}

std::optional<EstimatorOutcome> last_estimator_outcome(const std::string& report_name) {
    const auto it = outcome_board().find(cut_at_first_blank(report_name.c_str()));
    if (it == outcome_board().end()) return std::nullopt;
    return it->second;
}

std::optional<EyeQ> last_eye_q(const std::string& report_name) {
    const auto outcome = last_estimator_outcome(report_name);
    if (!outcome) return std::nullopt;
    return outcome->eye;
}

namespace {

bool parameters_usable(const PestimParams& p) {
    return p.samples_per_bit >= 1 && (p.pattern_length == 1 || p.pattern_length == 3 || p.pattern_length == 5) &&
           p.estimator_kind >= -1 && p.estimator_kind <= 1;
}

void report_bad_parameters(const PestimParams& p) {
    const std::string who = "pestim " + trailing_blanks_removed(p.title) + ": ";
    if (p.samples_per_bit < 1) opxerr(who + "samples per bit must be at least 1");
    if (!(p.pattern_length == 1 || p.pattern_length == 3 || p.pattern_length == 5))
        opxerr(who + "the pattern length must be 1, 3 or 5");
    if (p.estimator_kind < -1 || p.estimator_kind > 1)
        opxerr(who + "the estimator kind must be -1 (Q), 0 or 1 (BER)");
}

struct Observation {
    float start;
    float end;
};

Observation observation(const PestimParams& p, const TimeWindow& in) {
    const float m = polmon.tmon;
    return {in.tgoodi + m + p.delay, std::min(in.tgoodi + m + p.window, in.tgoodf - m)};
}

// Samples of the buffer: (bits + 1) x N.
std::int32_t buffer_length(const PestimParams& p, const TimeWindow& in, std::int32_t kept) {
    double span;
    if (optcl_ctrl.blkmode == 1) {
        span = static_cast<double>(p.window) - p.delay;
    } else {
        const Observation o = observation(p, in);
        span = static_cast<double>(o.end) - o.start;
    }
    const double bit = static_cast<double>(p.samples_per_bit) * zzctrl.delt;
    const double bits = bit > 0.0 ? std::max(std::trunc(span / bit), 0.0) : 0.0;
    // Far beyond any storage capacity; the dimensioning check reports it.
    const double length = std::min((bits + 1.0) * kept, static_cast<double>(kEstimatorBufferLimit));
    return static_cast<std::int32_t>(length);
}

// The state of one estimator.
struct EstimatorState {
    std::int32_t buffer, words, previous;
};

}  // namespace

void pestim(const PestimParams& p, const TimeWindow& in, const ElectricalSample& input) {
    if (!parameters_usable(p)) {
        if (zzctrl.pass == 0) report_bad_parameters(p);
        return;
    }
    const std::int32_t kept = std::min(p.samples_per_bit, kMaxEstimatorSamplesPerBit);
    const std::int32_t length = buffer_length(p, in, kept);
    const StateSlot<EstimatorState> slots[] = {
        {&EstimatorState::buffer, SlotKind::real, length},  // the collected samples
        {&EstimatorState::words, SlotKind::integer, 3},      // collecting flag, resample counter, stored samples
        {&EstimatorState::previous, SlotKind::real, 1},      // previous input sample
    };
    const EstimatorState claimed = claim_state(slots);
    const std::int32_t buffer_pos = claimed.buffer;
    const std::int32_t state_pos = claimed.words;
    const std::int32_t previous_pos = claimed.previous;
    std::int32_t* state = ist_at(state_pos);
    if (zzctrl.pass == 0) {
        outcome_board().erase(cut_at_first_blank(p.report_name.c_str()));
        forget_observation(p.report_name);
        if (zzflmn.nohist == 0) {
            state[0] = 0;
            state[1] = 0;
            state[2] = 0;
            *hist_at(previous_pos) = 0.0f;
        }
        return;
    }
    if (state[0] == kEvaluated) return;
    float* buffer = hist_at(buffer_pos);
    const Observation o = observation(p, in);
    const float t = zzctrl.time;
    if (t >= o.start && t <= o.end) {
        if (kept == p.samples_per_bit) {
            if (state[2] < length) buffer[state[2]++] = input.value;
        } else {
            // The resampling rule of the eye scope; its state lives in storage.
            Resampler r{state[1], *hist_at(previous_pos)};
            double v = 0.0;
            if (state[0] == 0)
                resample_start(r, zzctrl.step, p.samples_per_bit, kept, input.value);
            else if (resample_step(r, zzctrl.step, p.samples_per_bit, kept, input.value, v) && state[2] < length)
                buffer[state[2]++] = static_cast<float>(v);
            state[1] = r.counter;
            *hist_at(previous_pos) = r.previous;
        }
        state[0] = 1;
    }
    if (run_end_sample()) {
        QBerRequest req;
        req.mode = p.estimator_kind + 1;
        req.fixed_threshold = p.fixed_threshold;
        req.pattern_length = p.pattern_length;
        req.nv = p.nv;
        req.rv = p.rv;
        // The bit lasts samples_per_bit time steps whatever the number of samples kept.
        req.bit_period = static_cast<double>(p.samples_per_bit) * zzctrl.delt;
        req.title = p.title;
        req.report_name = p.report_name;
        req.file_name = p.file_name;
        q_ber_main(std::span<const float>(buffer, static_cast<std::size_t>(state[2])), kept, req);
        post_observation(p.report_name, windowed_coverage(p.delay, p.window, req.bit_period,
                                                          nearest_whole_bits(state[2], kept), in.tgoodi, in.tgoodf,
                                                          polmon.tmon, t, zzctrl.delt));
        state[0] = kEvaluated;
    }
}

}  // namespace nodrix
