#include "models/measurements/ber_estimator.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <map>

#include "kernel/block_declaration.h"
#include "kernel/filexx.h"
#include "models/measurements/ber_charts.h"
#include "models/measurements/file_name_check.h"
#include "models/measurements/observation.h"
#include "models/measurements/observed_input.h"
#include "models/measurements/resampler.h"
#include "numerics/ber_search.h"
#include "runtime/format.h"
#include "runtime/opxfile.h"
#include "xu/run_state.h"

namespace nodrix {

namespace {

constexpr std::int32_t kEvaluated = 2;  // collecting flag once the end-of-run evaluation is made

// The outcome of each estimator's last evaluation in this run of the
// program, by report name.
struct OutcomeBoard {
    std::map<std::string, EstimatorOutcome> outcomes;
};

std::map<std::string, EstimatorOutcome>& outcome_board() { return current_run_state().part<OutcomeBoard>().outcomes; }

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

Status write_charts(const QBerRequest& req, const ChartTexts& t1, const ChartPoints& c1, const ChartTexts& t2,
                    const ChartPoints& c2) {
    const bool first = req.nv[0] == 1;
    const bool second = req.nv[1] == 1;
    if (!first && !second) return {};
    const std::string base = trailing_blanks_removed(req.file_name);
    if (base.empty()) return Status::error("pestim: no chart file name for " + trailing_blanks_removed(req.title));
    const std::string path = base + ".qxy";
    // A failure is reported by the io layer, naming the file.
    if (first)
        write_estimator_charts(path, t1, c1, second ? &t2 : nullptr, second ? &c2 : nullptr);
    else
        write_estimator_charts(path, t2, c2, nullptr, nullptr);
    return {};
}

}  // namespace

Status q_ber_main(std::span<const float> samples, std::int32_t per_bit, const QBerRequest& req,
                  const FileServices& files) {
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
    Status status;
    if (!name.empty())
        outcome_board()[name] = EstimatorOutcome{best_eye_q(eye), s.best.status, selector.kind == ApproxSelector::kFailed};
    if (name.empty()) {
        status.add("pestim: no report file name for " + trailing_blanks_removed(req.title));
    } else if (const ReportFile file = files.create_report(name)) {
        const Report report(file.unit());
        if (q_mode)
            write_q_report(report, req, s, q);
        else
            write_ber_report(report, req, s, selector, side);
    }
    const Status charts = q_mode ? write_charts(req, kQChart, q.q_chart, kEyeClosureChart, q.eye_chart)
                                 : write_charts(req, kBerInstantChart, ber_by_instant, kBerThresholdChart,
                                                ber_by_threshold);
    for (const std::string& e : charts.errors()) status.add(e);
    return status;
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

struct Observation {
    float start;
    float end;
};

// The estimator (pestim): collects its input over the observation window, at
// no more than kMaxEstimatorSamplesPerBit samples per bit, and at the end of
// the run evaluates what it collected.
struct BerEstimatorBlock {
    float delay_ps = 0.0f;                 // extra delay before the observation window
    float window_ps = 0.0f;                // end of the observation window after its reference
    std::int32_t samples_per_bit = 1;      // of the simulation
    std::int32_t pattern_length = 3;       // bits forming a pattern: 1, 3 or 5
    std::int32_t estimator = 0;            // -1 Q estimator, 0 BER estimator, 1 BER at every instant
    float fixed_threshold_a = 0.0f;        // threshold of the fixed-threshold report
    float relative_threshold = 0.5f;       // between the levels, 0..1
    float chi_square_degrees = 0.0f;       // 0: Gaussian statistics
    bool instant_chart = true;
    bool threshold_chart = true;
    bool relative_threshold_report = true;
    bool fixed_threshold_report = true;
    std::string title;                     // caption
    std::string report_name;               // report, ".DAT" appended; cut at its first blank
    std::string chart_name;                // charts, ".qxy" appended; trailing blanks dropped

    Input<ElectricalSample> input;
    const TimeWindow* input_window = &window_of_no_block();  // its good interval bounds the observation

    State<float> buffer;           // the collected samples
    State<std::int32_t> words;     // collecting flag, resample counter, stored samples
    State<float> previous;         // previous input sample
    std::int32_t length = 0;       // of the buffer
    // Taken at the last sample; the evaluation is made from them at the end.
    bool evaluated = false;
    ObservationCoverage coverage;

    static KindDeclaration<BerEstimatorBlock> declaration();

    std::int32_t kept() const { return std::min(samples_per_bit, kMaxEstimatorSamplesPerBit); }
    double bit_period(const RunContext& ctx) const {
        // The bit lasts samples_per_bit time steps whatever the number of samples kept.
        return static_cast<double>(samples_per_bit) * ctx.time_step();
    }

    Status usable() const {
        const std::string who = "pestim " + trailing_blanks_removed(title) + ": ";
        Status status;
        if (samples_per_bit < 1) status.add(who + "samples per bit must be at least 1");
        if (!(pattern_length == 1 || pattern_length == 3 || pattern_length == 5))
            status.add(who + "the pattern length must be 1, 3 or 5");
        if (estimator < -1 || estimator > 1) status.add(who + "the estimator kind must be -1 (Q), 0 or 1 (BER)");
        return status;
    }

    Observation observation(const RunContext& ctx) const {
        const float m = ctx.monitor_offset();
        const TimeWindow& in = *input_window;
        return {in.tgoodi + m + delay_ps, std::min(in.tgoodi + m + window_ps, in.tgoodf - m)};
    }

    // Samples of the buffer: (bits + 1) x N.
    std::int32_t buffer_length(const RunContext& ctx) const {
        // Sizing rounds size the buffer for the whole requested window; the
        // other rounds for the part of it the input's good interval covers.
        double span;
        if (ctx.setup_round() == SetupRound::sizing) {
            span = static_cast<double>(window_ps) - delay_ps;
        } else {
            const Observation o = observation(ctx);
            span = static_cast<double>(o.end) - o.start;
        }
        const double bit = bit_period(ctx);
        const double bits = bit > 0.0 ? std::max(std::trunc(span / bit), 0.0) : 0.0;
        // Far beyond any storage capacity; the dimensioning check reports it.
        return static_cast<std::int32_t>(std::min((bits + 1.0) * kept(), static_cast<double>(kEstimatorBufferLimit)));
    }

    Status design(const RunContext& ctx, StateClaims& state) {
        evaluated = false;
        Status status = usable();
        if (!status.ok()) return status;
        length = buffer_length(ctx);
        state.claim(buffer, length);
        state.claim(words, 3);
        state.claim(previous, 1);
        return {};
    }

    // An earlier run's outcome and coverage are none of this run's.
    void setup(const RunContext&) {
        evaluated = false;
        outcome_board().erase(cut_at_first_blank(report_name.c_str()));
        forget_observation(report_name);
    }

    void collect(const RunContext& ctx) {
        keep_resampled(words.data(), previous[0], buffer.data(), length, ctx.step(), samples_per_bit, kept(), input->value);
    }

    void run(const RunContext& ctx) {
        if (words[0] == kEvaluated) return;
        const Observation o = observation(ctx);
        const float t = ctx.time();
        if (t >= o.start && t <= o.end) {
            collect(ctx);
            words[0] = 1;
        }
        if (!ctx.last_sample()) return;
        coverage = windowed_coverage(delay_ps, window_ps, bit_period(ctx), nearest_whole_bits(words[2], kept()),
                                     input_window->tgoodi, input_window->tgoodf, ctx.monitor_offset(), t,
                                     ctx.time_step());
        words[0] = kEvaluated;
        evaluated = true;
    }

    Status finish(const RunContext& ctx) {
        if (!evaluated) return {};
        QBerRequest req;
        req.mode = estimator + 1;
        req.fixed_threshold = fixed_threshold_a;
        req.pattern_length = pattern_length;
        req.nv = {instant_chart ? 1 : 0, threshold_chart ? 1 : 0, relative_threshold_report ? 1 : 0,
                  fixed_threshold_report ? 1 : 0};
        req.rv = {relative_threshold, chi_square_degrees};
        req.bit_period = bit_period(ctx);
        req.title = title;
        req.report_name = report_name;
        req.file_name = chart_name;
        Status status = q_ber_main(std::span<const float>(buffer.data(), static_cast<std::size_t>(words[2])), kept(),
                                   req, ctx.files());
        post_observation(report_name, coverage);
        return status;
    }
};

void check_ber_estimator(const BlockSettings& s, const LinkContext&, Findings& found) {
    check_result_file_name(s, "report_name", true, found);
    if (s.flag("instant_chart") || s.flag("threshold_chart")) check_result_file_name(s, "chart_name", false, found);
}

KindDeclaration<BerEstimatorBlock> BerEstimatorBlock::declaration() {
    using E = BerEstimatorBlock;
    return {
        .name = "ber_estimator",
        .routine = "pestim",
        .help = "BER and Q estimator: best sampling instant and threshold, report and charts",
        .family = BlockFamily::measurements,
        .parameters =
            {
                parameter(&E::delay_ps, {.name = "delay_ps", .unit = "ps", .fallback = 0.0,
                                         .help = "delay of the observation's start"}),
                parameter(&E::window_ps, {.name = "window_ps", .unit = "ps", .help = "length of the observation",
                                          .low = 0, .low_open = true, .required = true}),
                parameter(&E::samples_per_bit, {.name = "samples_per_bit", .unit = "samples",
                                                .help = "samples per bit of the signal", .low = 1, .required = true,
                                                .limits = "those of the channel's data source and NRZ driver"}),
                parameter(&E::pattern_length, {.name = "pattern_length", .fallback = 3,
                                               .help = "bits forming a pattern",
                                               .choices = {{"1", 1}, {"3", 3}, {"5", 5}}}),
                parameter(&E::estimator, {.name = "estimator", .type = ParamType::choice, .fallback = 0,
                                          .help = "what is estimated",
                                          .choices = {{"q", -1}, {"ber", 0}, {"ber_every_instant", 1}}}),
                parameter(&E::fixed_threshold_a, {.name = "fixed_threshold_a", .unit = "A", .fallback = 0.0,
                                                  .help = "decision threshold of the fixed-threshold report"}),
                parameter(&E::relative_threshold,
                          {.name = "relative_threshold", .fallback = 0.5,
                           .help = "threshold between the levels of the relative-threshold report", .low = 0,
                           .high = 1}),
                parameter(&E::chi_square_degrees,
                          {.name = "chi_square_degrees", .fallback = 0.0,
                           .help = "degrees of freedom of the chi-square statistics (0: Gaussian)", .low = 0}),
                parameter(&E::instant_chart, {.name = "instant_chart", .fallback = 1,
                                              .help = "chart against the sampling instant (Q estimator: the Q chart)"}),
                parameter(&E::threshold_chart,
                          {.name = "threshold_chart", .fallback = 1,
                           .help = "chart against the threshold (Q estimator: eye closure and eye results)"}),
                parameter(&E::relative_threshold_report,
                          {.name = "relative_threshold_report", .fallback = 1,
                           .help = "results at the relative threshold (Q estimator: jitter)"}),
                parameter(&E::fixed_threshold_report,
                          {.name = "fixed_threshold_report", .fallback = 1,
                           .help = "results at the fixed and mean thresholds (Q estimator: instant tolerance)"}),
                parameter(&E::title, {.name = "title", .text_fallback = "pestim{n} Run(s): 1",
                                      .help = "caption in the report"}),
                parameter(&E::report_name, {.name = "report_name", .text_fallback = "{link}_PST{id}",
                                            .help = "report file name (\".DAT\" appended)"}),
                parameter(&E::chart_name, {.name = "chart_name", .text_fallback = "{link}_BER{id}",
                                           .help = "chart file name (\".qxy\" appended)"}),
            },
        .inputs = {observed_input(&E::input, &E::input_window, {.key = "input", .help = "the received signal"})},
        .check = check_ber_estimator,
    };
}

const KindRegistration registration{declare_kind<BerEstimatorBlock>()};

}  // namespace
}  // namespace nodrix
