// The design of the fibre block with light at its input: actual length,
// carriers, the step plan and the step filters, the window, the state the
// run keeps and the split request of a fibre too large for one block.
#include <algorithm>
#include <climits>
#include <cmath>
#include <vector>

#include "numerics/constants.h"
#include "models/fibre/fibre_parts.h"
#include "models/fibre/graded_steps.h"
#include "models/fibre/split_step.h"
#include "runtime/format.h"

namespace nodrix {

using namespace fibre_parts;

namespace {

// What the design learns of the input spectrum: carriers, their total power
// and the peak power the step rule designs for.
struct CarrierCount {
    std::int32_t carriers = 0;
    float total_power = 0.0f;
    float peak = 0.0f;
    float spread_thz = 0.0f;  // between the outermost carriers
};

CarrierCount count_carriers(const RunContext& ctx, const OpticalSignal& input, bool sizing) {
    const float dt = ctx.time_step();
    float resolution = 0.01f;
    if (1.0f / dt < 0.04f) resolution = 0.1f / dt;
    std::array<float, kBins> smoothed{};
    spemed(ctx, resolution, input.ps.data(), smoothed.data());
    CarrierCount c;
    numcha(ctx, resolution, smoothed.data(), c.carriers, c.total_power, &c.spread_thz);
    c.peak = input.pp;
    if (sizing && c.carriers > 0) {
        const float x = (static_cast<float>(ctx.settings().split_step.peak_power_index) - 1.0f) * 0.06666667f;
        c.peak = (1.0f + 0.5f * static_cast<float>(c.carriers - 1) * std::exp(-(x * x))) * input.pp;
    }
    return c;
}

// The step plan of the fibre: the step lengths and the dispersion their
// filters are designed with.
struct StepPlan {
    std::vector<double> h = std::vector<double>(static_cast<std::size_t>(kMaxSteps), 0.0);  // step lengths [km]
    std::int32_t nsteps = 0;
    std::int32_t uniform = 0;
    double beta2 = 0.0, beta3 = 0.0, beta4 = 0.0, beta5 = 0.0;
    bool split = false;        // the schedule generator cuts this fibre: one dummy step
    float length_used = 0.0f;  // [km]
    bool graded = false;       // the graded rule made the steps
    bool symmetric = false;    // symmetric splitting: the filters follow `arranged`
    SymmetricSteps arranged;

    // Steps the run passes: one more dispersion step with symmetric splitting.
    std::int32_t run_steps() const { return symmetric ? nsteps + 1 : nsteps; }
};

// The inputs of the non-linear step rule.
NonlinearStepInput nonlinear_rule_input(const RunContext& ctx, const Fibre& f, const StepPlan& s, float actual,
                                        const CarrierCount& c) {
    NonlinearStepInput n;
    n.beta2 = s.beta2;
    n.beta3 = s.beta3;
    n.beta4 = s.beta4;
    n.beta5 = s.beta5;
    n.total_power = c.total_power;
    n.peak_power = c.peak;
    n.carriers = c.carriers;
    n.alpha = static_cast<double>(f.attenuation_db_per_km) / (20.0 * std::log10(std::exp(1.0)));
    n.gamma = 0.001 * static_cast<double>(f.gamma_per_w_per_km);
    n.length = actual;
    n.system_length = f.reference_length_km;
    n.phase_divisor = 360.0 / static_cast<double>(ctx.settings().split_step.max_nonlinear_phase_deg);
    n.fwm_accuracy = ctx.settings().split_step.fwm_accuracy_db;
    return n;
}

// The graded rule (models/fibre/graded_steps.h); a fibre that would need
// more steps than one block holds asks to be cut into equal pieces.
void graded_plan(const RunContext& ctx, const Fibre& f, StepPlan& s, float actual, const CarrierCount& c) {
    const NonlinearStepInput n = nonlinear_rule_input(ctx, f, s, actual, c);
    GradedStepInput g;
    g.alpha = n.alpha;
    g.gamma = n.gamma;
    g.peak_power = n.peak_power;
    g.length = n.length;
    const SplitStepSettings& settings = ctx.settings().split_step;
    g.h_max = std::min(dispersion_bound(s.beta2, s.beta3, s.beta4, s.beta5, ctx.time_step_double()).h_max,
                       fwm_step_bound(s.beta2, c.spread_thz,
                                      fwm_mismatch_cycles(n.fwm_accuracy, n.gamma * n.total_power / c.carriers *
                                                                              kerr_effective_length(1.0, n.alpha, n.length))));
    g.phase = kTwoPi / n.phase_divisor;
    g.refinement = settings.step_refinement;
    s.graded = true;
    s.uniform = 0;
    s.nsteps = graded_steps(g, s.h, kMaxSteps - 1);
    if (s.nsteps > 0) return;
    const double count = graded_count(g, graded_profile(g));
    const auto pieces = static_cast<std::size_t>(std::min(count / (kMaxSteps - 1) + 1.0, double{kMaxSteps}));
    const double kerr = n.peak_power * kerr_effective_length(n.gamma, n.alpha, n.length);
    write_split_request(ctx.files().memory_map(),
                        SplitRequest{f.identity.instance, std::vector<double>(pieces, n.length / pieces),
                                     SplitReason::steps, kerr},
                        50);
}

// The step plan: a fibre takes the link's step rule (the non-linear rule
// stpeva or the graded rule), a linear element equal steps bounded by
// dispersion (stpeli). A fibre whose plan needs more steps than one block
// holds has asked the schedule generator to cut it (the split request); it
// keeps one dummy step so that the round completes.
StepPlan plan_steps(const RunContext& ctx, const Fibre& f, float actual, const CarrierCount& c) {
    StepPlan s;
    s.beta2 = f.beta2_ps2_per_km;
    s.beta3 = f.beta3_ps3_per_km;
    s.beta4 = f.beta4_ps4_per_km;
    s.beta5 = f.beta5_ps5_per_km;
    const double dt = ctx.time_step_double();
    const std::int32_t memfile = ctx.files().memory_map();
    const SplitStepSettings& settings = ctx.settings().split_step;
    if (f.nonlinear && settings.step_rule == 1) {
        graded_plan(ctx, f, s, actual, c);
    } else if (f.nonlinear) {
        stpeva(nonlinear_rule_input(ctx, f, s, actual, c), dt, s.nsteps, s.h, s.uniform, memfile, f.identity.instance);
        if (s.nsteps > 0) subdivide_steps(std::span(s.h).first(kMaxSteps - 1), s.nsteps, settings.step_refinement);
    } else {
        stpeli(s.beta2, s.beta3, s.beta4, s.beta5, actual, dt, s.nsteps, s.h, memfile, f.identity.instance);
    }
    s.length_used = actual;
    if (s.nsteps < 0) {
        std::fill(s.h.begin(), s.h.end(), 0.0);
        s.nsteps = 1;
        s.h[0] = 1e-6;
        s.length_used = 1e-6f;
        s.beta2 = 0.1;
        s.beta3 = 0.0;
        s.split = true;
    }
    // Dispersion and loss commute in a linear element: no arrangement to choose.
    s.symmetric = settings.splitting == 1 && f.nonlinear && !s.split;
    if (s.symmetric) s.arranged = symmetric_steps(s.h, s.nsteps);
    return s;
}

// The plan as `nodrix check` judges it for resonant steps.
void note_plan(const Fibre& f, const StepPlan& s) {
    if (s.split || s.nsteps < 1 || !f.nonlinear || f.gamma_per_w_per_km == 0.0f) return;
    const double last = s.h[static_cast<std::size_t>(s.nsteps - 1)];
    const auto equal = std::count_if(s.h.begin(), s.h.begin() + s.nsteps,
                                     [last](double h) { return std::fabs(h - last) <= 1e-9 * last; });
    const double alpha = static_cast<double>(f.attenuation_db_per_km) / (20.0 * std::log10(std::exp(1.0)));
    note_step_plan(StepPlanNote{f.identity.instance, s.nsteps, static_cast<std::int32_t>(equal), last, s.beta2,
                                kerr_effective_length(1.0, alpha, s.length_used)});
}

// Precision of the step-filter design: coarser for fewer, longer steps, four
// times coarser again for non-uniform non-linear steps unless the link's
// split-step settings forbid it.
double filter_precision(const RunContext& ctx, const Fibre& f, const StepPlan& s) {
    const SplitStepSettings& settings = ctx.settings().split_step;
    double precision = std::pow(10.0, (std::log10(static_cast<double>(settings.filter_precision_constant) *
                                                  s.length_used /
                                                  (static_cast<double>(s.nsteps) * f.reference_length_km)) -
                                       0.66) * 1.0666666666666667 -
                                          0.5);
    precision = std::max(1e-8, std::isfinite(precision) ? precision : 1e-8);
    // The graded rule refines its filters with its steps: their error, summed
    // over the steps, falls as fast as the error of the symmetric splitting.
    if (s.graded) return std::max(1e-10, precision / std::pow(settings.step_refinement, 2.0f));
    if (f.nonlinear && s.uniform != 1 && !settings.fourfold_precision_off) precision *= 4.0;
    return precision;
}

void report_steps(Report& report, const Fibre& f, const CarrierCount& c, const StepPlan& s, double precision) {
    if (!report.active()) return;
    const bool detailed = f.report == 2;
    report.line(fmt::A(f.title, 50));
    report.line("");
    report.line(" Begin of fiber block informations");
    if (detailed) report.item("  Fiber span number", fmt::list_int(f.identity.instance));
    report.item("P    Actual length [Km] =", fmt::list_real(s.length_used));
    if (detailed) {
        report.item("P    Number of detected carriers =", fmt::list_int(c.carriers));
        report.item("P    Average power per carrier [mW] =",
                    fmt::list_real(c.total_power / static_cast<float>(std::max(c.carriers, 1))));
        report.item("P    Input peak power [mW] =", fmt::list_real(c.peak));
    }
    report.item("P    Number of steps =", fmt::list_int(s.nsteps));
    report.item("P    Minimum step size [Km] =", fmt::list_double(s.h[0]));
    report.item("P    Maximum step size [Km] =", fmt::list_double(s.h[static_cast<std::size_t>(s.nsteps - 1)]));
    if (detailed) report.item("  Filter precision (dmfraz) =", fmt::list_double(precision));
}

// The orthogonal field's filter: the loss the step filters give the signal
// across the band over the fibre's actual length (none when it is flat).
std::vector<std::complex<float>> orthogonal_taps(const RunContext& ctx, const Fibre& f, const LossProfile* profile,
                                                 float actual) {
    const LossShape shape{f.attenuation_slope_db_per_km_thz, f.attenuation_curvature_db_per_km_thz2, profile,
                          ctx.band_centre()};
    return loss_shape_taps(shape, actual, ctx.time_step_double());
}

// The filter synthesis designs every step filter into the records.
void design_step_filters(const RunContext& ctx, const Fibre& f, std::int32_t k, const StepPlan& s, double precision,
                         const LossProfile* profile, const OpticalSignal& input, FibreDesignRecords& records) {
    WrtfisInput w;
    w.k = k;
    w.loss = f.attenuation_db_per_km;
    w.shape.slope = f.attenuation_slope_db_per_km_thz;
    w.shape.curvature = f.attenuation_curvature_db_per_km_thz2;
    w.shape.profile = profile;
    w.shape.fcenter = ctx.band_centre();
    w.beta2 = s.beta2;
    w.beta3 = s.beta3;
    w.beta4 = s.beta4;
    w.beta5 = s.beta5;
    w.dispersion_model = f.random_dispersion;
    w.spread = f.dispersion_spread_ps2_per_km;
    w.section = f.section_length_km;
    w.start_km = f.identity.piece_start_km;
    w.gamma = f.gamma_per_w_per_km;
    w.nsteps = s.run_steps();
    w.h = s.symmetric ? s.arranged.dispersion.data() : s.h.data();
    w.dlyin = input.gd.data();
    w.precision = precision;
    w.round = FilterDesignRound{ctx.time_step_double(), ctx.setup_round() == SetupRound::sizing, &ctx.messages()};
    w.seeds = ctx.settings().seeds;
    w.streams = &ctx.shared<FibreStreams>();
    wrtfis(w, records);
    // Symmetric splitting: the Kerr phase and loss of step i follow its
    // dispersion step, none the last one.
    records.symmetric = s.symmetric;
    if (!s.symmetric) return;
    for (std::size_t i = 0; i < records.steps.size() && i < s.arranged.kerr.size(); ++i)
        records.steps[i].h = s.arranged.kerr[i];
}

// The totals of the design the run is set up from.
struct SavedDesign {
    std::array<float, kBins> delays{};  // output group delay per bin [ps]
    float actual = 0.0f;                // actual length [km]
    std::int32_t ncoef = 0, nexp = 0, memlen = 0;
    float dispersion = 0.0f;            // accumulated dispersion [ps2]
    double dmin = 0.0, dmax = 0.0;      // delay extremes after the last step [ps]
    std::int64_t centring_delay = 0;    // of all steps [samples]
};

bool read_design(const FibreDesignRecords& r, SavedDesign& d) {
    if (!r.has_length || !r.has_totals || r.delay_extremes.empty()) return false;
    d.delays = r.output_delays;
    d.actual = r.actual_length;
    d.ncoef = r.ncoef;
    d.nexp = r.nexp;
    d.memlen = r.memlen;
    d.dispersion = r.dispersion;
    d.dmin = r.delay_extremes.back()[0];
    d.dmax = r.delay_extremes.back()[1];
    d.centring_delay = r.centring_delay;
    return d.nexp >= 0 && d.nexp <= kMaxFilterExponent && d.ncoef >= 0 && d.memlen >= 0;
}

// The output is late by the buffer of n samples (and the extra delay) plus the fibre's delays.
void fibre_window(const InputWindow& in, std::int32_t n, float dt, const SavedDesign& d, TimeWindow& out) {
    const float tinon = in.ton;
    const float tindur = in.twinin;
    out.tgoodi = tinon + static_cast<float>(n) * dt + static_cast<float>(d.dmax);
    out.toff = out.tgoodi + tindur;
    out.tgoodf = tinon + tindur + static_cast<float>(n) * dt + static_cast<float>(d.dmin);
    out.ton = out.tgoodf - tindur;
}

// The report's last lines: the memory the fibre took, and its end.
void report_end(Report& report_file, std::int32_t memused) {
    if (report_file.active()) {
        report_file.item("  Allocated memory [bytes]", fmt::list_int(memused));
        report_file.line(" End of fiber block informations");
        report_file.line("");
    }
    report_file.close();
}

void report_window(Report& report, const Fibre& f, const SavedDesign& d, std::int32_t n, const TimeWindow& out) {
    if (!report.active()) return;
    report.item("P    Average dispersion [ps2/km] =", fmt::list_real(d.dispersion / d.actual));
    if (f.report != 2) return;
    report.item("  Buffer size =", fmt::list_int(n));
    report.item("  On instant of the output [ps] =", fmt::list_real(out.ton));
    report.item("  Good output start [ps] =", fmt::list_real(out.tgoodi));
    report.item("  Good output stop [ps] =", fmt::list_real(out.tgoodf));
    report.item("  Off instant of the output [ps] =", fmt::list_real(out.toff));
}

// The bytes of the claims as the memory map's 32-bit word holds them (a
// huge request wraps; the split below reads a negative value as such).
std::int32_t memory_word(std::int64_t bytes) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(bytes));
}

// Sizing check: a fibre whose storage exceeds the block limit is cut into
// pieces of consecutive steps, asked of the schedule generator.
void request_split(const RunContext& ctx, const Fibre& f, const StepPlan& s, std::int32_t memused) {
    if (s.split || (f.memory_limit_bytes >= memused && memused >= 0)) return;
    const std::int64_t per_step = memused >= 0 ? 2 * (std::int64_t{memused} / s.nsteps)
                                               : std::llround(2.1474836e9 / static_cast<double>(s.nsteps));
    std::vector<double> pieces;
    std::int32_t i = 0;
    while (i < s.nsteps) {
        // A piece takes its first step even when one step alone exceeds the limit.
        double piece = s.h[static_cast<std::size_t>(i)];
        std::int64_t taken = 1;
        ++i;
        while (i < s.nsteps && (taken + 1) * per_step < f.memory_limit_bytes) {
            piece += s.h[static_cast<std::size_t>(i)];
            ++taken;
            ++i;
        }
        pieces.push_back(piece);
    }
    write_split_request(ctx.files().memory_map(), SplitRequest{f.identity.instance, pieces, SplitReason::storage},
                        50);
}

}  // namespace

// The set-up the state round leaves for the run: its sizes, then the
// length, window, power, the noise amplitude and the seed word.
void Fibre::keep_for_setup(const RunContext& ctx, const RunSizes& sizes, const FibreDesignRecords& d) {
    const TimeWindow& out = window.output();
    kept_.what = Kept::What::run;
    kept_.sizes = sizes;
    kept_.nexp = d.nexp;
    kept_.reals = {d.actual_length, out.ton, out.toff, out.tgoodi, out.tgoodf, output->pp,
                   static_cast<float>(std::sqrt(kPlanck * static_cast<double>(ctx.band_centre()) * 5e14 /
                                                ctx.time_step_double()))};
    const std::int32_t top = ctx.settings().topology;
    kept_.seed_word = top + ctx.settings().seeds[static_cast<std::size_t>(((4 * top) % 10 + 10) % 10)];
}

Status Fibre::design_with_light(const RunContext& ctx, StateClaims& state) {
    OpticalSignal& out = *output;
    out.iv = input->iv;
    empty_outputs(ctx, out);
    // The random streams are those of the whole fibre, for each of its pieces.
    const std::int32_t streams = identity.whole_fibre != 0 ? identity.whole_fibre : identity.instance;
    const std::int32_t k = (streams % 50) + 1;
    const bool sizing = ctx.setup_round() == SetupRound::sizing;
    const bool filter_pass = !ctx.keeps_state();
    const float dt = ctx.time_step();
    LossProfile profile;
    const LossProfile* use_profile = nullptr;
    if (!loss_profile_file.empty() && read_loss_profile(ctx, *this, profile)) use_profile = &profile;

    // The sizing round designs for itself; the filter-writing round designs
    // what the state rounds and the run take up.
    FibreDesignRecords scratch;
    FibreDesignRecords& records = sizing ? scratch : designed_;
    Report report_file;
    // A fibre whose set-up failed stays dark in the run; in a state round it
    // claims its saved sizes alone, which say so.
    auto fail = [&](const std::string& what) {
        report_file.discard();
        if (!filter_pass) {
            state.claim(saved_sizes, kSavedInts);
            kept_.what = Kept::What::dark;
        }
        return Status::error(fibre_error(*this, what));
    };
    if (!sizing && !filter_pass && report != 0) report_file.open(ctx, *this);

    if (filter_pass) {
        records = FibreDesignRecords{};
        records.actual_length = evalen(ctx.shared<FibreStreams>(), ctx.settings().seeds, k, length_km,
                                       length_tolerance_percent);
        records.has_length = true;
    }
    if (!records.has_length) return fail("     the step filters were not designed before the run");
    const float actual = records.actual_length;

    const CarrierCount carriers = count_carriers(ctx, *input, sizing);
    const StepPlan steps = plan_steps(ctx, *this, actual, carriers);
    note_plan(*this, steps);
    const double precision = filter_precision(ctx, *this, steps);
    report_steps(report_file, *this, carriers, steps, precision);
    if (filter_pass) design_step_filters(ctx, *this, k, steps, precision, use_profile, *input, records);
    SavedDesign design;
    if (!read_design(records, design)) return fail("     the step filters were not designed before the run");
    out.gd = design.delays;
    const std::int32_t n = std::int32_t{1} << design.nexp;
    const InputWindow in = window.input(ctx);
    fibre_window(in, n + extra_delay_samples, dt, design, window.output());
    note_fibre_latency(identity.instance, n + design.centring_delay);
    report_window(report_file, *this, design, n, window.output());

    const std::int64_t samples = std::llround(static_cast<double>((window.output().toff - in.ton) / dt)) + 1;
    const std::int32_t nbuf = static_cast<std::int32_t>(std::clamp<std::int64_t>(samples / n, 0, INT32_MAX));

    fibre_spectrum(ctx, *this, use_profile, input->ps.data(), input->pp, out.ps.data(), out.pp);

    const RunSizes sizes{steps.run_steps(), nbuf, design.ncoef, n, design.memlen};
    if (!filter_pass) {
        state.claim(saved_sizes, kSavedInts);
        state.claim(saved_design, kSavedReals);
        keep_for_setup(ctx, sizes, records);
    }
    propagation.claim(state, sizes);
    const std::int32_t memused = memory_word(state.bytes());
    if (sizing) request_split(ctx, *this, steps, memused);
    // The orthogonal field, as late as the signal's at the band centre.
    if (ctx.fields() == 2)
        orthogonal.claim(state, n + design.centring_delay + extra_delay_samples,
                         orthogonal_taps(ctx, *this, use_profile, actual));
    extra_delay.claim(state, extra_delay_samples);
    report_end(report_file, memused);
    return {};
}

}  // namespace nodrix
