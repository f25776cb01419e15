#include "project/observation.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "kernel/driver.h"
#include "models/measurements/ber_estimator.h"
#include "models/measurements/osa.h"
#include "numerics/ber_search.h"
#include "runtime/opxfile.h"

namespace nodrix {
namespace {

// An estimator window asking for more than this many times what the run can
// fill, with a buffer of at least this size, is worth a warning before the run.
constexpr double kFarLongerFactor = 2.0;
constexpr double kStorageWorthNamingBytes = 64.0 * 1024 * 1024;

// The run's settings the observations depend on, as the driver runs them.
struct RunTimes {
    double emission_ps;  // the sources' emission window
    double end_ps;       // the run's end time
    double step_ps;      // the time step
    double guard_ps;     // the monitoring offset at both ends of a good interval
};
RunTimes run_times() {
    const ProjectDescription& p = current_project();
    return {p.schedule.twinin, p.schedule.tend, p.constants.delt, p.constants.tmon};
}

std::string number(const char* format, double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, format, v);
    return buf;
}
std::string ps(double v) { return number("%.0f", v) + " ps"; }

std::string block_name(const LinkBlock& b) {
    return "block " + std::to_string(b.id) + " (" + std::string(b.kind->name) + ")";
}

// The name of the file a measurement block writes, under which it posts its coverage.
std::string posted_name(const LinkBlock& b) {
    const bool estimator = b.kind->name == "ber_estimator" || b.kind->name == "multilevel_estimator";
    return b.settings.text(estimator ? "report_name" : "file_name");
}

std::int64_t whole(double x) { return x > 0.0 ? static_cast<std::int64_t>(std::min(std::floor(x), 9.0e18)) : 0; }

ObservationPlan windowed_plan(const LinkBlock& b, const TimeWindow& w, const RunTimes& r) {
    ObservationPlan p;
    p.block = &b;
    p.windowed = true;
    p.emission_ps = r.emission_ps;
    const double delay = b.settings.real("delay_ps");
    const double window = b.settings.real("window_ps");
    // A multi-level estimator observes symbols as the others observe bits.
    const bool symbols = b.kind->name == "multilevel_estimator";
    const std::int32_t per_bit = b.settings.integer(symbols ? "samples_per_symbol" : "samples_per_bit");
    const double bit = per_bit * r.step_ps;
    const double reference = static_cast<double>(w.tgoodi) + r.guard_ps;
    p.opens_ps = reference + delay;
    p.closes_ps = reference + window;
    p.good_end_ps = static_cast<double>(w.tgoodf) - r.guard_ps;
    p.requested = requested_bits(delay, window, bit);
    p.cut_by_delay = !(window > delay);
    p.cut_by_good_interval = p.good_end_ps < p.closes_ps;
    p.cut_by_run_end = r.end_ps < std::min(p.closes_ps, p.good_end_ps);
    const bool cut = p.cut_by_delay || p.cut_by_good_interval || p.cut_by_run_end;
    const double end = std::min({p.closes_ps, p.good_end_ps, r.end_ps});
    p.fillable = cut ? std::min(p.requested, whole((end - p.opens_ps) / bit)) : p.requested;
    p.emission_least_ps = r.emission_ps + (p.closes_ps - p.good_end_ps);
    p.emission_needed_ps = std::max(r.emission_ps, p.emission_least_ps);
    p.fitting_window_ps = std::floor(std::min(p.good_end_ps, r.end_ps) - reference);
    if (b.kind->name == "ber_estimator" || symbols)
        p.buffer_samples = (p.requested + 1) * std::min(per_bit, kMaxEstimatorSamplesPerBit);
    return p;
}

// A power meter (samples of [opens, closes]) or a spectrum analyser (frames
// of `frame` samples of [opens, closes)) over its good interval less the guard times.
ObservationPlan interval_plan(const LinkBlock& b, const TimeWindow& w, const RunTimes& r, ObservationUnit unit,
                              std::int64_t frame) {
    ObservationPlan p;
    p.block = &b;
    p.unit = unit;
    p.emission_ps = r.emission_ps;
    p.opens_ps = static_cast<double>(w.tgoodi) + r.guard_ps;
    p.good_end_ps = static_cast<double>(w.tgoodf) - r.guard_ps;
    p.closes_ps = p.good_end_ps;
    // The samples of the time grid from the window's start to `to`: a meter
    // takes the window's end, an analyser's frames stop before it.
    auto held = [&](double to) {
        const double last = unit == ObservationUnit::samples ? std::floor(to / r.step_ps) : std::ceil(to / r.step_ps) - 1.0;
        return whole(last - std::ceil(p.opens_ps / r.step_ps) + 1.0) / frame;
    };
    p.requested = held(p.good_end_ps);
    p.cut_by_good_interval = p.requested == 0;
    p.cut_by_run_end = r.end_ps < p.good_end_ps;
    p.fillable = p.cut_by_run_end ? held(r.end_ps) : p.requested;
    const double least = unit == ObservationUnit::samples ? r.step_ps : frame * r.step_ps;
    p.emission_least_ps = r.emission_ps + (p.opens_ps + least - p.good_end_ps);
    p.emission_needed_ps = std::max(r.emission_ps, p.emission_least_ps);
    return p;
}

// The emission window and end time that give the plans their full
// observation: the present ones where they do.
struct FullSettings {
    double emission_ps;
    double end_ps;
};
FullSettings full_settings(const std::vector<const ObservationPlan*>& plans, const RunTimes& r) {
    double emission = r.emission_ps;
    for (const ObservationPlan* p : plans)
        if (!p->cut_by_delay) emission = std::max(emission, p->emission_needed_ps);
    // One time step more than the bare need: the window's ends are single-precision times.
    if (emission > r.emission_ps) emission = std::ceil(emission + r.step_ps);
    double end = r.end_ps;
    for (const ObservationPlan* p : plans)
        if (!p->cut_by_delay) end = std::max(end, p->end_with(emission));
    if (end > r.end_ps) end = std::ceil(end + r.step_ps);
    return {emission, end};
}

// "50 of its 128 bits", "nothing of its 128 bits", "nothing".
std::string amount(std::int64_t observed, std::int64_t requested, ObservationUnit unit) {
    if (requested == 0) return "nothing";
    const std::string of = " of its " + std::to_string(requested) + " " + observation_unit_name(unit);
    return (observed == 0 ? std::string("nothing") : std::to_string(observed)) + of;
}

// What cuts an observation short, in words.
std::string causes(const ObservationPlan& p, bool good_interval, bool run_end, bool delay, const RunTimes& r) {
    std::vector<std::string> said;
    const LinkBlock& b = *p.block;
    if (delay)
        said.push_back("its delay_ps of " + ps(b.settings.real("delay_ps")) + " reaches its window_ps of " +
                       ps(b.settings.real("window_ps")) + ", where the observation ends");
    if (good_interval && p.windowed) {
        said.push_back("its good interval, less the guard time of " + ps(r.guard_ps) + ", ends at " +
                       ps(p.good_end_ps) + ", before its observation window " +
                       (p.good_end_ps <= p.opens_ps ? "opens at " + ps(p.opens_ps) : "closes at " + ps(p.closes_ps)));
    } else if (good_interval && p.unit == ObservationUnit::samples) {
        said.push_back("its good interval is shorter than its guard times of " + ps(r.guard_ps) + " at each end");
    } else if (good_interval) {
        said.push_back("its good interval, less its guard times of " + ps(r.guard_ps) +
                       " at each end, is shorter than a frame of " +
                       std::to_string(spectrum_frame_length(b.settings.integer("fft_length"))) + " samples");
    }
    if (run_end) {
        const double closes = std::min(p.closes_ps, p.good_end_ps);
        said.push_back("the run ends at " + ps(r.end_ps) + ", before its " +
                       (p.windowed ? "observation" : "measuring") + " window " +
                       (r.end_ps <= p.opens_ps ? "opens at " + ps(p.opens_ps) : "closes at " + ps(closes)));
    }
    std::string text;
    for (const std::string& s : said) text += (text.empty() ? "" : "; ") + s;
    return text;
}

// The settings that give one measurement its full observation, in words.
std::string remedy(const ObservationPlan& p, const RunTimes& r) {
    if (p.cut_by_delay)
        return "a window_ps above its delay_ps of " + ps(p.block->settings.real("delay_ps")) + " gives it an observation";
    const FullSettings f = full_settings({&p}, r);
    const std::string w = number("%.0f", f.emission_ps);
    const std::string t = number("%.0f", f.end_ps);
    const bool emission = f.emission_ps > r.emission_ps;
    const bool end = f.end_ps > r.end_ps;
    if (emission && end)
        return "an emission window of " + w + " ps and an end time of " + t + " ps (-window " + w +
               " -set link.end_time_ps=" + t + ") give it its full observation";
    if (emission) return "an emission window of " + w + " ps (-window " + w + ") gives it its full observation";
    if (end) return "an end time of " + t + " ps (-set link.end_time_ps=" + t + ") gives it its full observation";
    return "";
}

// The estimator's own warnings on its statistics, which its report holds.
void warn_estimator_statistics(const LinkBlock& b, const std::optional<ObservationCoverage>& coverage) {
    const auto outcome = last_estimator_outcome(b.settings.text("report_name"));
    if (!outcome) return;
    const std::string among =
        " among the " + (coverage ? std::to_string(coverage->observed) + " " : std::string()) + "bits it observed";
    const std::string who = block_name(b) + ": ";
    switch (outcome->status) {
        case kBerFewOccurrences:
            opxwarn(who + "a bit pattern occurs fewer than " + std::to_string(kFewOccurrences) + " times" + among +
                    "; its BER and Q may be unreliable: observe more bits");
            break;
        case kBerUnbalanced:
            opxwarn(who + "the bit patterns occur in strongly unbalanced numbers" + among +
                    "; its BER and Q may be unreliable: observe more bits");
            break;
        case kBerPatternMissing:
            opxwarn(who + "a bit pattern never occurs" + among + "; its BER and Q are set to their floors: observe more bits");
            break;
        default: break;
    }
    if (outcome->chi_square_failed)
        opxwarn(who + "the chi-square statistics could not be applied; its BER is that of the Gaussian approximation");
}

}  // namespace

std::vector<ObservationPlan> plan_observations(const LinkSchedule& s) {
    const RunTimes r = run_times();
    std::vector<ObservationPlan> plans;
    for (const LinkBlock& b : s.link().blocks) {
        const std::string_view kind = b.kind->name;
        if (kind == "ber_estimator" || kind == "multilevel_estimator" || kind == "eye_scope") {
            if (const TimeWindow* w = s.producer_window(b)) plans.push_back(windowed_plan(b, *w, r));
        } else if (kind == "power_meter") {
            if (const TimeWindow* w = s.window(b.id)) plans.push_back(interval_plan(b, *w, r, ObservationUnit::samples, 1));
        } else if (kind == "spectrum_analyser") {
            const std::int64_t frame = std::max(spectrum_frame_length(b.settings.integer("fft_length")), 1);
            if (const TimeWindow* w = s.window(b.id)) plans.push_back(interval_plan(b, *w, r, ObservationUnit::frames, frame));
        }
    }
    return plans;
}

AutoSettings work_out_auto_settings(const LinkSchedule& s) {
    const Link& link = s.link();
    const RunTimes r = run_times();
    AutoSettings a{r.emission_ps, r.end_ps, ""};
    std::vector<ObservationPlan> plans = plan_observations(s);
    std::erase_if(plans, [](const ObservationPlan& p) { return p.cut_by_delay; });  // no window fills those
    if (link.auto_emission_window) {
        if (plans.empty()) {
            a.problem = "emission_window_ps = \"auto\" takes the emission window from the measurements, and the link "
                        "has none that observes anything; give emission_window_ps or bits";
            return a;
        }
        double least = r.step_ps;
        for (const ObservationPlan& p : plans) least = std::max(least, p.emission_least_ps);
        // One time step more than the bare need: the window's ends are single-precision times.
        a.emission_ps = std::ceil(least + r.step_ps);
    }
    if (!link.auto_end_time) return a;
    double end = r.step_ps;
    for (const ObservationPlan& p : plans) end = std::max(end, p.end_with(a.emission_ps));
    if (plans.empty())
        for (const LinkBlock& b : link.blocks)
            if (const TimeWindow* w = s.window(b.id)) end = std::max(end, w->toff + (a.emission_ps - r.emission_ps));
    a.end_ps = std::ceil(end + r.step_ps);
    return a;
}

void warn_observation_plans(const LinkSchedule& s) {
    const RunTimes r = run_times();
    const std::vector<ObservationPlan> plans = plan_observations(s);
    std::vector<const ObservationPlan*> all;
    bool settings_help = false;
    for (const ObservationPlan& p : plans) {
        all.push_back(&p);
        if (p.full()) continue;
        opxwarn(block_name(*p.block) + " will observe " + amount(p.fillable, p.requested, p.unit) + ": " +
                causes(p, p.cut_by_good_interval, p.cut_by_run_end, p.cut_by_delay, r));
        settings_help = settings_help || !p.cut_by_delay;
    }
    if (!settings_help) return;
    const FullSettings f = full_settings(all, r);
    const std::string w = number("%.0f", f.emission_ps);
    const std::string t = number("%.0f", f.end_ps);
    opxwarn("an emission window of " + w + " ps and an end time of " + t +
            " ps give every measurement its full observation: -window " + w + " -set link.end_time_ps=" + t);
}

bool check_observation_storage(const LinkSchedule& s) {
    bool ok = true;
    for (const ObservationPlan& p : plan_observations(s)) {
        if (p.buffer_samples == 0) continue;
        const LinkBlock& b = *p.block;
        const double bytes = static_cast<double>(p.buffer_samples) * sizeof(float);
        const double mib = bytes / (1024.0 * 1024.0);
        const std::string asks = block_name(b) + ": its window_ps of " + number("%g", b.settings.real("window_ps")) +
                                 " ps asks for " + std::to_string(p.requested) + " bits";
        const double fitting = p.fitting_window_ps;
        const std::string fits = fitting > b.settings.real("delay_ps")
                                     ? "a window_ps of " + number("%.0f", fitting) + " asks for no more than the run can fill"
                                     : "the run can fill none of it";
        if (p.buffer_samples > kEstimatorBufferLimit) {
            opxerr(asks + ", " + std::to_string(p.buffer_samples) + " samples (" + number("%.0f", mib) +
                   " MiB), more than the " + std::to_string(kEstimatorBufferLimit) +
                   " samples an estimator can hold; the run can fill " + std::to_string(p.fillable) + " bits (" + fits +
                   ")");
            ok = false;
        } else if (static_cast<double>(p.requested) > kFarLongerFactor * static_cast<double>(p.fillable) &&
                   bytes >= kStorageWorthNamingBytes) {
            opxwarn(asks + ", far more than the " + std::to_string(p.fillable) +
                    " the run can fill; the storage for them takes " + number("%.0f", mib) + " MiB (" + fits + ")");
        }
    }
    return ok;
}

void warn_observations_after_run(const LinkSchedule& s) {
    const RunTimes r = run_times();
    for (const ObservationPlan& p : plan_observations(s)) {
        const LinkBlock& b = *p.block;
        const auto c = posted_observation(posted_name(b));
        if (c && c->partial()) {
            const std::string fix = remedy(p, r);
            opxwarn(block_name(b) + " observed " + amount(c->observed, c->requested, c->unit) + ": " +
                    causes(p, c->cut_by_good_interval, c->cut_by_run_end, c->cut_by_delay, r) +
                    (fix.empty() ? "" : "; " + fix));
        }
        if (b.kind->name == "ber_estimator") warn_estimator_statistics(b, c);
    }
}

std::string coverage_mark(const ObservationCoverage& c) {
    return "partial: " + std::to_string(c.observed) + " of " + std::to_string(c.requested) + " " +
           observation_unit_name(c.unit);
}

}  // namespace nodrix
