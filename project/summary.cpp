#include "project/summary.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "kernel/control_blocks.h"

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

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

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

// Whether the estimator's observation window held any time: it starts at the
// good interval's start plus the guard time and the delay, and ends no later
// than the good interval's end less the guard time.
bool observable(const LinkSchedule& s, const LinkBlock& estimator) {
    const TimeWindow* w = s.producer_window(estimator);
    if (w == nullptr) return false;
    const double m = polmon.tmon;
    const double start = w->tgoodi + m + estimator.settings.real("delay_ps");
    const double end = std::min(static_cast<double>(w->tgoodi) + m + estimator.settings.real("window_ps"),
                                static_cast<double>(w->tgoodf) - m);
    return end > start;
}

}  // namespace

std::string channel_row(int channel, double frequency_thz, const EstimatorReport& r, double responsivity) {
    // Mean photocurrent over the responsivity: the mean received power.
    const double mw = responsivity > 0.0 ? r.mean_level / (0.001 * responsivity) : 0.0;
    const std::string power = mw > 0.0 ? format("%6.3f mW", mw) + format(" (%6.2f dBm)", 10.0 * std::log10(mw))
                                       : std::string("     -                ");  // as wide as " 1.854 mW (  2.68 dBm)"
    return channel_heading(channel, frequency_thz) + power + "  " + format("%10.3e", r.ber) + "  " +
           format("%6.2f dB", r.q_db) + format(" (%.2f)", r.q_linear) + (r.truncated ? "  truncated" : "") + "\n";
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

std::vector<std::string> result_files(const std::string& link_name) {
    std::vector<std::string> files;
    const std::string kernel = lower(link_name);
    for (const auto& entry : std::filesystem::directory_iterator(".")) {
        const std::string name = entry.path().filename().string();
        if (starts_with(name, link_name + "_") || starts_with(name, "x0_" + kernel) ||
            starts_with(name, "x1_" + kernel))
            files.push_back(name);
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::string simulation_summary(const LinkSchedule& s) {
    std::ostringstream out;
    const Link& link = s.link();
    out << "Simulation of " << link.name() << "\n";
    out << "  channel  frequency   received power      BER            Q\n";
    bool short_window = false;
    for (const LinkBlock& estimator : link.blocks) {
        if (estimator.kind->name != "ber_estimator") continue;
        const Channel channel = channel_of(s, estimator);
        if (!observable(s, estimator)) {
            out << channel_heading(channel.number, channel.frequency)
                << "not observed: the good interval at the receiver is shorter than the observation\n"
                << "                      window and its guard times (estimator " << estimator.id << ")\n";
            short_window = true;
            continue;
        }
        const auto r = read_estimator_report(estimator.settings.text("report_name") + ".DAT");
        if (!r) {
            out << channel_heading(channel.number, channel.frequency) << "no report (estimator " << estimator.id
                << ")\n";
            continue;
        }
        const LinkBlock* photodiode = s.upstream(estimator, "photodiode");
        out << channel_row(channel.number, channel.frequency, *r,
                           photodiode != nullptr ? photodiode->settings.real("responsivity_a_per_w") : 0.0);
    }
    if (short_window)
        out << "  The good interval behind the fibre is the sources' window less the delay spread of\n"
               "  the link over the whole simulated band; lengthen the sources' window with\n"
               "  -window PS (for example -window 30720) to observe the channels.\n";
    out << "Optical power meters\n";
    for (const LinkBlock& meter : link.blocks) {
        if (meter.kind->name != "power_meter") continue;
        const auto dbm = read_power_meter_report(meter.settings.text("file_name") + ".DAT");
        out << "  " << meter.id << " " << meter.settings.text("label") << ": ";
        if (dbm)
            out << format("%.3f dBm", *dbm) << (*dbm <= -100.0 ? " (nothing in its measuring window)" : "") << "\n";
        else
            out << "no report\n";
    }
    out << "Files written\n";
    for (const std::string& f : result_files(link.name())) out << "  " << f << "\n";
    return out.str();
}

}  // namespace nodrix
