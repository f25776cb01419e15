#include "project/summary.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "kernel/control_blocks.h"
#include "runtime/run_files.h"
#include "models/measurements/ber_estimator.h"

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

// The estimator's observation window: from the good interval's start plus
// the guard time and the delay to no later than the good interval's end less
// the guard time; empty (end <= start) when the good interval is too short.
struct Observation {
    double start = 0.0;
    double end = 0.0;
};
std::optional<Observation> observation(const LinkSchedule& s, const LinkBlock& estimator) {
    const TimeWindow* w = s.producer_window(estimator);
    if (w == nullptr) return std::nullopt;
    const double m = polmon.tmon;
    const double start = w->tgoodi + m + estimator.settings.real("delay_ps");
    const double end = std::min(static_cast<double>(w->tgoodi) + m + estimator.settings.real("window_ps"),
                                static_cast<double>(w->tgoodf) - m);
    return Observation{start, end};
}

}  // namespace

std::optional<double> ChannelResult::received_mw() const {
    const double mw = responsivity > 0.0 ? report.mean_level / (0.001 * responsivity) : 0.0;
    if (mw > 0.0) return mw;
    return std::nullopt;
}

std::string channel_row(const ChannelResult& c) {
    const EstimatorReport& r = c.report;
    const auto mw = c.received_mw();
    const std::string power = mw ? format("%6.3f mW", *mw) + format(" (%6.2f dBm)", 10.0 * std::log10(*mw))
                                 : std::string("     -                ");  // as wide as " 1.854 mW (  2.68 dBm)"
    std::string eye = "     -";
    if (c.eye && c.eye->defined())
        eye = std::isinf(c.eye->q) ? std::string("   inf dB (inf)")
                                   : format("%6.2f dB", 20.0 * std::log10(c.eye->q)) + format(" (%.2f)", c.eye->q);
    return channel_heading(c.channel, c.frequency_thz) + power + "  " + format("%10.3e", r.ber) + "  " +
           format("%6.2f dB", r.q_db) + format(" (%6.2f)", r.q_linear) + "  " + eye +
           (r.truncated ? "  truncated" : "") + "\n";
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
        } else if (line.find("conventionally truncated") != std::string::npos) {
            r.truncated = true;
        }
    }
    if (!have_ber || !have_q) return std::nullopt;
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

RunResults run_results(const LinkSchedule& s) {
    RunResults results;
    for (const LinkBlock& b : s.link().blocks) {
        if (b.kind->name == "ber_estimator") {
            ChannelResult c;
            c.estimator = b.id;
            const Channel channel = channel_of(s, b);
            c.channel = channel.number;
            c.frequency_thz = channel.frequency;
            const LinkBlock* photodiode = s.upstream(b, "photodiode");
            c.responsivity = photodiode != nullptr ? photodiode->settings.real("responsivity_a_per_w") : 0.0;
            const std::string report = b.settings.text("report_name");
            const auto seen = observation(s, b);
            const double end_time = s.link().settings.real("end_time_ps");
            if (!seen || seen->end <= seen->start) {
                c.state = ChannelResult::State::not_observed;
            } else if (seen->start >= end_time) {
                c.state = ChannelResult::State::after_end;
                c.observation_start_ps = seen->start;
                c.end_time_ps = end_time;
            } else if (const auto r = run_wrote(report + ".DAT") ? read_estimator_report(report + ".DAT")
                                                                 : std::nullopt) {
                c.report = *r;
                c.eye = last_eye_q(report);
            } else {
                c.state = ChannelResult::State::no_report;
            }
            results.channels.push_back(std::move(c));
        } else if (b.kind->name == "power_meter") {
            // A report the run did not write (one an earlier run left) is none of its results.
            const std::string report = b.settings.text("file_name") + ".DAT";
            results.meters.push_back(MeterResult{b.id, b.settings.text("label"),
                                                 run_wrote(report) ? read_power_meter_report(report) : std::nullopt});
        }
    }
    return results;
}

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
    for (const MeterResult& m : results.meters) {
        out << "  " << m.id << " " << m.label << ": ";
        if (m.dbm)
            out << format("%.3f dBm", *m.dbm) << (*m.dbm <= -100.0 ? " (nothing in its measuring window)" : "") << "\n";
        else
            out << "no report\n";
    }
    out << "Files written\n";
    for (const std::string& f : result_files()) out << "  " << f << "\n";
    return out.str();
}

}  // namespace nodrix
