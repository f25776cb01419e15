#include "project/summary.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "kernel/driver.h"
#include "runtime/opxfile.h"
#include "runtime/run_files.h"
#include "models/measurements/ber_estimator.h"
#include "models/measurements/osnr_meter.h"
#include "models/receivers/photodiode.h"
#include "numerics/ber_search.h"
#include "project/observation.h"

namespace nodrix {
namespace {

// The number after the last '=' of a report line.
std::optional<double> value_after_equals(const std::string& line) {
    const auto eq = line.rfind('=');
    if (eq == std::string::npos) return std::nullopt;
    const std::string rest = line.substr(eq + 1);
    char* end = nullptr;
    const double v = std::strtod(rest.c_str(), &end);
    if (end == rest.c_str()) return std::nullopt;
    return v;
}

bool starts_with(const std::string& s, const std::string& prefix) { return s.rfind(prefix, 0) == 0; }

std::string format(const char* fmt, double a) {
    char buf[64];
    std::snprintf(buf, sizeof buf, fmt, a);
    return buf;
}

// The channel's number and carrier frequency, the start of its row.
std::string channel_heading(int channel, double frequency_thz) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "  %5d  %7.2f THz  ", channel, frequency_thz);
    return buf;
}

// The channel an estimator measures: the carrier nearest the centre of the
// optical filter in front of its photodiode (the only carrier when there is
// no filter), numbered from 1 in rising frequency among the link's lasers.
struct Channel {
    int number = 0;
    double frequency = 0.0;
};
Channel channel_of(const LinkSchedule& s, const LinkBlock& estimator) {
    std::vector<float> carriers;
    for (const LinkBlock& b : s.link().blocks)
        if (b.kind->name == "laser") carriers.push_back(b.settings.real("frequency_thz"));
    std::sort(carriers.begin(), carriers.end());
    carriers.erase(std::unique(carriers.begin(), carriers.end()), carriers.end());
    if (carriers.empty()) return {};
    const LinkBlock* photodiode = s.upstream(estimator, "photodiode");
    const LinkBlock* filter = nullptr;
    for (std::string_view kind : {"raised_cosine_filter", "lorentzian_filter", "user_filter"}) {
        const LinkBlock* f = photodiode != nullptr ? s.upstream(*photodiode, kind) : nullptr;
        if (f != nullptr && (filter == nullptr || f > filter)) filter = f;  // the nearest one
    }
    if (filter == nullptr && carriers.size() > 1) return {};
    const float centre = filter != nullptr ? filter->settings.real("centre_frequency_thz") : carriers[0];
    std::size_t best = 0;
    for (std::size_t k = 1; k < carriers.size(); ++k)
        if (std::fabs(carriers[k] - centre) < std::fabs(carriers[best] - centre)) best = k;
    return {static_cast<int>(best) + 1, static_cast<double>(carriers[best])};
}

}  // namespace

std::optional<double> ChannelResult::received_mw() const {
    const double mw = responsivity > 0.0 ? report.mean_level / (0.001 * responsivity) : 0.0;
    if (mw > 0.0) return mw;
    return std::nullopt;
}

bool ChannelResult::power_lifted_by_shot_noise() const {
    // For a steady current I the cut lifts the mean by less than 0.02 dB
    // while I stays above twice the noise's deviation.
    constexpr double kClearOfTheCut = 2.0;
    return shot_noise_a > 0.0 && report.mean_level > 0.0 && report.mean_level < kClearOfTheCut * shot_noise_a;
}

std::vector<std::string> channel_remarks(const ChannelResult& c) {
    std::vector<std::string> said;
    if (c.coverage && c.coverage->partial()) said.push_back(coverage_mark(*c.coverage));
    const EstimatorReport& r = c.report;
    if (r.ber > 0.0 && r.ber <= 1e-40) said.push_back("BER below 1e-40 (the estimator's floor)");
    if (r.q_linear > 0.0 && r.q_linear <= 2.0) said.push_back("Q at its floor of 2: eye closed or observation too short");
    switch (c.status) {
        case kBerFewOccurrences:
            said.push_back("a bit pattern seen fewer than " + std::to_string(kFewOccurrences) + " times");
            break;
        case kBerUnbalanced: said.push_back("bit patterns seen in strongly unbalanced numbers"); break;
        case kBerPatternMissing: said.push_back("a bit pattern never seen"); break;
        default: break;
    }
    if (c.power_lifted_by_shot_noise()) said.push_back("received power lifted by the shot noise cut at 0 A");
    return said;
}

namespace {

// The line under a multi-level channel's row: its symbol error ratio and,
// from the lowest eye up, each eye's Q, height and width (its BER is the
// BER after Gray demapping, its Q the smallest eye's).
std::string multilevel_line(const MultilevelFigures& f) {
    std::string line = "           SER " + format("%10.3e", f.ser) + "  eyes from the lowest: Q";
    for (const double q : f.q_db) line += format(" %.2f", q);
    line += " dB, height";
    for (const double h : f.height) line += format(" %.3e", h);
    line += " A, width";
    for (const double w : f.width_ps) line += format(" %.1f", w);
    return line + " ps\n";
}

}  // namespace

std::string channel_row(const ChannelResult& c) {
    const EstimatorReport& r = c.report;
    const auto mw = c.received_mw();
    const std::string power = mw ? format("%6.3f mW", *mw) + format(" (%6.2f dBm)", 10.0 * std::log10(*mw))
                                 : std::string("     -                ");  // as wide as " 1.854 mW (  2.68 dBm)"
    // A multi-level channel's eye Q is its smallest eye's, as its Q column and
    // the sweep's q_eye give it.
    std::optional<double> eye_q;
    if (c.eye && c.eye->defined()) eye_q = c.eye->q;
    if (c.multilevel && !c.multilevel->q_db.empty()) eye_q = r.q_linear;
    std::string eye = "     -";
    if (eye_q)
        eye = std::isinf(*eye_q) ? std::string("   inf dB (inf)")
                                 : format("%6.2f dB", 20.0 * std::log10(*eye_q)) + format(" (%.2f)", *eye_q);
    std::string remarks;
    for (const std::string& said : channel_remarks(c)) remarks += (remarks.empty() ? "  " : "; ") + said;
    std::string row = channel_heading(c.channel, c.frequency_thz) + power + "  " + format("%10.3e", r.ber) + "  " +
                      format("%6.2f dB", r.q_db) + format(" (%6.2f)", r.q_linear) + "  " + eye + remarks + "\n";
    if (c.multilevel) row += multilevel_line(*c.multilevel);
    return row;
}

std::optional<EstimatorReport> read_estimator_report(const std::string& path) {
    std::ifstream in(path);
    if (!in) return std::nullopt;
    EstimatorReport r;
    bool have_ber = false;
    bool have_q = false;
    for (std::string line; std::getline(in, line);) {
        if (starts_with(line, " P BER at Optimal Decision Threshold")) {
            if (auto v = value_after_equals(line)) r.ber = *v, have_ber = true;
        } else if (starts_with(line, " P Equivalent Q at Optimal Decision Threshold [dB]")) {
            if (auto v = value_after_equals(line)) r.q_db = *v, have_q = true;
        } else if (starts_with(line, "Equivalent Q at Optimal Decision Threshold [linear]")) {
            if (auto v = value_after_equals(line)) r.q_linear = *v;
        } else if (starts_with(line, " P BER at Relative Decision Threshold")) {
            r.relative_ber = value_after_equals(line);
        } else if (starts_with(line, " P Equivalent Q at Relative Decision Threshold [dB]")) {
            r.relative_q_db = value_after_equals(line);
        } else if (starts_with(line, " P BER at Fixed Decision Threshold")) {
            r.fixed_ber = value_after_equals(line);
        } else if (starts_with(line, " P Equivalent Q at Fixed Decision Threshold [dB]")) {
            r.fixed_q_db = value_after_equals(line);
        } else if (starts_with(line, "Mean Decision Threshold")) {
            if (auto v = value_after_equals(line)) r.mean_level = *v;
        }
    }
    if (!have_ber || !have_q) return std::nullopt;
    return r;
}

std::optional<EstimatorReport> read_multilevel_report(const std::string& path, MultilevelFigures& figures) {
    std::ifstream in(path);
    if (!in) return std::nullopt;
    EstimatorReport r;
    MultilevelFigures f;
    bool have_ser = false;
    for (std::string line; std::getline(in, line);) {
        const auto v = value_after_equals(line);
        if (!v) continue;
        if (starts_with(line, " P Symbol Error Ratio")) f.ser = *v, have_ser = true;
        else if (starts_with(line, " P BER after Gray Demapping")) r.ber = *v;
        else if (starts_with(line, "Mean Level")) r.mean_level = *v;
        else if (starts_with(line, " P Q ")) f.q_db.push_back(*v);
        else if (starts_with(line, " P Eye Height ")) f.height.push_back(*v);
        else if (starts_with(line, " P Eye Width ")) f.width_ps.push_back(*v);
    }
    if (!have_ser || f.q_db.empty()) return std::nullopt;
    // The report goes from the upper eye down.
    for (auto* list : {&f.q_db, &f.height, &f.width_ps}) std::reverse(list->begin(), list->end());
    r.q_db = *std::min_element(f.q_db.begin(), f.q_db.end());
    r.q_linear = std::pow(10.0, r.q_db / 20.0);
    figures = f;
    return r;
}

std::optional<double> read_power_meter_report(const std::string& path) {
    std::ifstream in(path);
    if (!in) return std::nullopt;
    for (std::string line; std::getline(in, line);)
        if (starts_with(line, " P Power [dBm] =")) return value_after_equals(line);
    return std::nullopt;
}

std::vector<std::string> result_files() {
    std::vector<std::string> files = files_put_in_place();
    std::sort(files.begin(), files.end());
    return files;
}

namespace {

// The shot noise of the photodiode in front of an estimator at a mean current [A].
double shot_noise_at(const LinkBlock* photodiode, double current_a) {
    if (photodiode == nullptr || !photodiode->settings.flag("shot_noise")) return 0.0;
    return photod_shot_deviation(photodiode->settings.real("avalanche_gain"),
                                 photodiode->settings.real("excess_noise_exponent"), current_a,
                                 current_project().constants.delt);
}

ChannelResult channel_result(const LinkSchedule& s, const LinkBlock& b, const ObservationPlan* plan) {
    ChannelResult c;
    c.estimator = b.id;
    const Channel channel = channel_of(s, b);
    c.channel = channel.number;
    c.frequency_thz = channel.frequency;
    const LinkBlock* photodiode = s.upstream(b, "photodiode");
    c.responsivity = photodiode != nullptr ? photodiode->settings.real("responsivity_a_per_w") : 0.0;
    const std::string report = b.settings.text("report_name");
    const double end_time = current_project().schedule.tend;
    if (plan == nullptr || (!plan->cut_by_delay && std::min(plan->closes_ps, plan->good_end_ps) <= plan->opens_ps)) {
        c.state = ChannelResult::State::not_observed;
    } else if (plan->cut_by_delay) {
        c.state = ChannelResult::State::nothing_asked;
    } else if (plan->opens_ps >= end_time) {
        c.state = ChannelResult::State::after_end;
        c.observation_start_ps = plan->opens_ps;
        c.end_time_ps = end_time;
    } else if (b.kind->name == "multilevel_estimator") {
        MultilevelFigures figures;
        if (const auto r = run_wrote(report + ".DAT") ? read_multilevel_report(report + ".DAT", figures) : std::nullopt) {
            c.report = *r;
            c.multilevel = figures;
            c.coverage = posted_observation(report);
            c.shot_noise_a = shot_noise_at(photodiode, r->mean_level);
        } else {
            c.state = ChannelResult::State::no_report;
        }
    } else if (const auto r = run_wrote(report + ".DAT") ? read_estimator_report(report + ".DAT") : std::nullopt) {
        c.report = *r;
        if (const auto outcome = last_estimator_outcome(report)) {
            c.eye = outcome->eye;
            c.status = outcome->status;
        }
        c.coverage = posted_observation(report);
        c.shot_noise_a = shot_noise_at(photodiode, r->mean_level);
    } else {
        c.state = ChannelResult::State::no_report;
    }
    return c;
}

}  // namespace

RunResults run_results(const LinkSchedule& s) {
    RunResults results;
    const std::vector<ObservationPlan> plans = plan_observations(s);
    auto plan_of = [&](const LinkBlock& b) -> const ObservationPlan* {
        for (const ObservationPlan& p : plans)
            if (p.block == &b) return &p;
        return nullptr;
    };
    for (const LinkBlock& b : s.link().blocks) {
        if (b.kind->name == "ber_estimator" || b.kind->name == "multilevel_estimator") {
            results.channels.push_back(channel_result(s, b, plan_of(b)));
        } else if (b.kind->name == "power_meter") {
            // A report the run did not write (one an earlier run left) is none of its results.
            const std::string name = b.settings.text("file_name");
            const std::string report = name + ".DAT";
            MeterResult m{b.id, b.settings.text("label"),
                          run_wrote(report) ? read_power_meter_report(report) : std::nullopt};
            m.coverage = posted_observation(name);
            if (const ObservationPlan* p = plan_of(b)) m.opens_ps = p->opens_ps;
            results.meters.push_back(std::move(m));
        }
    }
    return results;
}

std::vector<OsnrMeterResult> osnr_results(const LinkSchedule& s) {
    std::vector<float> carriers;
    for (const LinkBlock& b : s.link().blocks)
        if (b.kind->name == "laser") carriers.push_back(b.settings.real("frequency_thz"));
    std::sort(carriers.begin(), carriers.end());
    carriers.erase(std::unique(carriers.begin(), carriers.end()), carriers.end());
    std::vector<OsnrMeterResult> results;
    for (const LinkBlock& b : s.link().blocks) {
        if (b.kind->name != "osnr_meter") continue;
        OsnrMeterResult m{b.id, b.settings.text("label")};
        const std::string report = cut_at_first_blank(b.settings.text("file_name").c_str()) + ".DAT";
        if (const auto r = run_wrote(report) ? read_osnr_report(report) : std::nullopt) {
            m.reported = true;
            m.reference_nm = r->reference_nm;
            for (const OsnrChannel& c : r->channels) {
                std::size_t best = 0;
                for (std::size_t k = 1; k < carriers.size(); ++k)
                    if (std::fabs(carriers[k] - c.frequency_thz) < std::fabs(carriers[best] - c.frequency_thz)) best = k;
                m.channels.push_back({carriers.empty() ? 0 : static_cast<int>(best) + 1, c.frequency_thz,
                                      10.0 * std::log10(c.signal_mw), 10.0 * std::log10(c.noise_mw), c.osnr_db});
            }
        }
        results.push_back(std::move(m));
    }
    return results;
}

namespace {

// The OSNR meters' section of the summary: a line per channel.
std::string osnr_section(const LinkSchedule& s) {
    const std::vector<OsnrMeterResult> meters = osnr_results(s);
    if (meters.empty()) return "";
    std::ostringstream out;
    out << "Optical signal-to-noise ratio (signal over the ASE of both polarisations)\n";
    for (const OsnrMeterResult& m : meters) {
        out << "  " << m.id << " " << m.label << ": ";
        if (!m.reported) {
            out << "no report\n";
            continue;
        }
        out << "in " << format("%.3g nm", m.reference_nm) << (m.channels.empty() ? ", no channel at its input" : "")
            << "\n";
        for (const OsnrMeterResult::Channel& c : m.channels)
            out << channel_heading(c.number, c.frequency_thz)
                << (std::isinf(c.osnr_db) ? std::string("   inf dB (no noise)") : format("%6.2f dB", c.osnr_db))
                << "  signal " << format("%.2f dBm", c.signal_dbm) << ", noise " << format("%.2f dBm", c.noise_dbm)
                << "\n";
    }
    return out.str();
}

}  // namespace

std::string simulation_summary(const LinkSchedule& s) {
    std::ostringstream out;
    const Link& link = s.link();
    const RunResults results = run_results(s);
    out << "Simulation of " << link.name() << "\n";
    out << "  channel  frequency   received power      BER            Q                   eye Q\n";
    bool short_window = false;
    for (const ChannelResult& c : results.channels) {
        switch (c.state) {
            case ChannelResult::State::not_observed:
                out << channel_heading(c.channel, c.frequency_thz)
                    << "not observed: the good interval at the receiver is shorter than the observation\n"
                    << "                      window and its guard times (estimator " << c.estimator << ")\n";
                short_window = true;
                break;
            case ChannelResult::State::after_end:
                out << channel_heading(c.channel, c.frequency_thz) << "not observed: the run ends at "
                    << format("%.0f", c.end_time_ps) << " ps, before the observation window at the receiver\n"
                    << "                      opens at " << format("%.0f", c.observation_start_ps)
                    << " ps (estimator " << c.estimator << "); lengthen link.end_time_ps\n";
                break;
            case ChannelResult::State::nothing_asked:
                out << channel_heading(c.channel, c.frequency_thz)
                    << "not observed: its delay_ps reaches its window_ps, where the observation ends (estimator "
                    << c.estimator << ")\n";
                break;
            case ChannelResult::State::no_report:
                out << channel_heading(c.channel, c.frequency_thz) << "no report (estimator " << c.estimator << ")\n";
                break;
            case ChannelResult::State::measured: out << channel_row(c); break;
        }
    }
    if (short_window)
        out << "  The good interval behind the fibre is the sources' window less the delay spread of\n"
               "  the link over the whole simulated band; lengthen the sources' window with\n"
               "  -window PS (for example -window 30720) to observe the channels.\n";
    out << "Optical power meters\n";
    const double end_time = current_project().schedule.tend;
    for (const MeterResult& m : results.meters) {
        out << "  " << m.id << " " << m.label << ": ";
        const bool partial = m.coverage && m.coverage->partial();
        if (m.dbm)
            out << format("%.3f dBm", *m.dbm) << (*m.dbm <= -100.0 ? " (nothing in its measuring window)" : "")
                << (partial ? "  " + coverage_mark(*m.coverage) : "") << "\n";
        else if (partial && m.coverage->observed == 0 && m.coverage->cut_by_run_end)
            out << "no report: the run ends at " << format("%.0f", end_time)
                << " ps, before its measuring window opens at " << format("%.0f", m.opens_ps) << " ps\n";
        else
            out << "no report\n";
    }
    out << osnr_section(s);
    out << "Files written\n";
    for (const std::string& f : result_files()) out << "  " << f << "\n";
    return out.str();
}

}  // namespace nodrix
