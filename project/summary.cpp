#include "project/summary.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "kernel/control_blocks.h"
#include "project/parameters.h"
#include "project/sim_160g.h"
#include "project/topology.h"

namespace nodrix::sim160g {
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

bool starts_with(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

const Instance* find_instance(std::int32_t instance) {
    for (const Instance& b : schedule())
        if (b.instance == instance) return &b;
    return nullptr;
}

// The demultiplexer filter in front of an estimator: estimator -> its
// photodiode's window -> the photodiode's filter.
std::int32_t filter_of_estimator(std::int32_t estimator) {
    const Instance* e = find_instance(estimator);
    if (e == nullptr) return 0;
    const Instance* photodiode = find_instance(e->window_from);
    return photodiode != nullptr ? photodiode->window_from : 0;
}

// Whether the estimator's observation window held any time: it starts at the
// good interval's start plus the guard time and the delay, and ends no later
// than the good interval's end less the guard time.
bool observable(std::int32_t estimator) {
    const Instance* e = find_instance(estimator);
    if (e == nullptr) return false;
    const TimeWindow& w = output_window(e->window_from);
    const PestimParams p = ber_estimator_parameters(estimator);
    const double m = polmon.tmon;
    const double start = w.tgoodi + m + p.delay;
    const double end = std::min(static_cast<double>(w.tgoodi) + m + p.window, static_cast<double>(w.tgoodf) - m);
    return end > start;
}

std::string format(const char* fmt, double a) {
    char buf[64];
    std::snprintf(buf, sizeof buf, fmt, a);
    return buf;
}

}  // namespace

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

std::vector<std::string> result_files() {
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(".")) {
        const std::string name = entry.path().filename().string();
        if (starts_with(name, "sim_160G_") || starts_with(name, "x0_sim_160g") || starts_with(name, "x1_sim_160g"))
            files.push_back(name);
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::string simulation_summary() {
    std::ostringstream out;
    const PhotodParams photodiode = photodiode_parameters();
    out << "Simulation of sim_160G\n";
    out << "  channel  frequency   received power      BER            Q\n";
    bool short_window = false;
    for (std::int32_t estimator : {110, 125, 132}) {
        const std::int32_t filter = filter_of_estimator(estimator);
        const int channel = demultiplexer_channel(filter);
        const double f = 192.35 + 0.1 * (channel - 1);
        out << "  " << format("%5d", channel) << "  " << format("%7.2f THz", f) << "  ";
        const auto r = read_estimator_report(instance_name("PST", estimator) + ".DAT");
        if (!observable(estimator)) {
            out << "not observed: the good interval at the receiver is shorter than the observation\n"
                << "                      window and its guard times (estimator " << estimator << ")\n";
            short_window = true;
            continue;
        }
        if (!r) {
            out << "no report (estimator " << estimator << ")\n";
            continue;
        }
        // Mean photocurrent over the responsivity: the mean received power.
        const double mw = r->mean_level / (0.001 * photodiode.responsivity);
        const std::string power = mw > 0.0 ? format("%6.3f mW", mw) + format(" (%6.2f dBm)", 10.0 * std::log10(mw))
                                           : std::string("       -            ");
        out << power << "  " << format("%10.3e", r->ber) << "  " << format("%6.2f dB", r->q_db)
            << format(" (%.2f)", r->q_linear) << (r->truncated ? "  truncated" : "") << "\n";
    }
    if (short_window)
        out << "  The good interval behind the fibre is the sources' window less the delay spread of\n"
               "  the link over the whole simulated band; lengthen the sources' window with\n"
               "  -window PS (for example -window 30720) to observe the channels.\n";
    out << "Optical power meters\n";
    const std::pair<std::int32_t, const char*> meters[] = {
        {71, "after the booster amplifier"}, {93, "after the span and the line amplifier"},
        {94, "at the demultiplexer input"}};
    for (const auto& [instance, where] : meters) {
        const auto dbm = read_power_meter_report(instance_name("OPM", instance) + ".DAT");
        out << "  " << instance << " " << where << ": ";
        if (dbm)
            out << format("%.3f dBm", *dbm) << (*dbm <= -100.0 ? " (nothing in its measuring window)" : "") << "\n";
        else
            out << "no report\n";
    }
    out << "Files written\n";
    for (const std::string& f : result_files()) out << "  " << f << "\n";
    return out.str();
}

}  // namespace nodrix::sim160g
