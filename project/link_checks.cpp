#include "project/link_checks.h"

#include <cmath>
#include <deque>
#include <map>
#include <set>
#include <string>

#include "runtime/opxfile.h"

namespace nodrix {

double longest_end_time_ps(float time_step_ps) {
    int exponent = 0;
    std::frexp(time_step_ps, &exponent);  // step = m 2^exponent, 0.5 <= m < 1
    return std::ldexp(1.0, 24 + exponent - 1);
}

void check_run_settings(const BlockSettings& s, Findings& findings) {
    // The spectral grid describes the light of the band: a part of the band
    // outside it has no bins.
    const float band_low = s.real("band_low_thz");
    const float band_high = s.real("band_high_thz");
    if (band_low < s.real("grid_low_thz") || band_high > s.real("grid_high_thz"))
        findings.error(band_low < s.real("grid_low_thz") ? "band_low_thz" : "band_high_thz",
                       "the simulated band, band_low_thz to band_high_thz = " + number_text(band_low) + " to " +
                           number_text(band_high) + " THz, reaches beyond the spectral grid, grid_low_thz to "
                           "grid_high_thz = " + number_text(s.real("grid_low_thz")) + " to " +
                           number_text(s.real("grid_high_thz")) + " THz; allowed: a band within the grid");
    const float step = s.real("time_step_ps");
    const float end = s.real("end_time_ps");
    if (end < step) {
        findings.error("end_time_ps", "end_time_ps = " + number_text(end) + " is shorter than one time step (time_step_ps = " +
                                          number_text(step) + "); allowed: at least time_step_ps");
        return;
    }
    // The kernel keeps the time in single precision: beyond this end time two
    // samples would share one time, and a run that cannot tell its end apart
    // from the sample before never ends.
    const double longest = longest_end_time_ps(step);
    if (!(static_cast<double>(end) < longest))
        findings.error("end_time_ps",
                       "end_time_ps = " + number_text(end) + " is beyond what the single-precision time tells apart at " +
                           "time_step_ps = " + number_text(step) + "; allowed: below " + number_text(longest) +
                           " ps (2^24 times the power of two at or below the time step)");
}

namespace {

bool optical_filter(const LinkBlock& b) {
    return b.kind->name == "raised_cosine_filter" || b.kind->name == "lorentzian_filter" ||
           b.kind->name == "user_filter";
}

// The first block of a kind along the first inputs upstream of `b` (b itself
// included), or null.
const LinkBlock* along_first_inputs(const Link& link, const LinkBlock* b, std::string_view kind) {
    for (int guard = 0; b != nullptr && guard <= static_cast<int>(link.blocks.size()); ++guard) {
        if (b->kind->name == kind) return b;
        b = b->inputs.empty() ? nullptr : link.producer(b->inputs[0]);
    }
    return nullptr;
}

Transmitter transmitter_of(const Link& link, const LinkBlock& modulator) {
    Transmitter t;
    t.modulator = &modulator;
    t.laser = along_first_inputs(link, &modulator, "laser");
    t.driver = modulator.drive != 0 ? along_first_inputs(link, link.producer(modulator.drive), "nrz_driver") : nullptr;
    t.source = t.driver != nullptr ? along_first_inputs(link, t.driver, "prbs_source") : nullptr;
    return t;
}

}  // namespace

std::vector<Transmitter> channel_transmitters(const Link& link, const LinkBlock& receiver) {
    // Every block upstream, nearest first; the modulators among them, and the
    // nearest optical filter.
    std::vector<Transmitter> all;
    const LinkBlock* filter = nullptr;
    std::set<const LinkBlock*> seen{&receiver};
    std::deque<const LinkBlock*> next{&receiver};
    while (!next.empty()) {
        const LinkBlock* b = next.front();
        next.pop_front();
        if (b->kind->name == "modulator") all.push_back(transmitter_of(link, *b));
        if (filter == nullptr && optical_filter(*b)) filter = b;
        for (std::int32_t signal : b->inputs)
            if (const LinkBlock* p = link.producer(signal); p != nullptr && seen.insert(p).second) next.push_back(p);
    }
    std::set<float> carriers;
    for (const Transmitter& t : all)
        if (t.laser != nullptr) carriers.insert(t.laser->settings.real("frequency_thz"));
    if (carriers.size() < 2 || filter == nullptr || filter->kind->name == "user_filter") return all;
    const float centre = filter->settings.real("centre_frequency_thz");
    float nearest = *carriers.begin();
    for (float c : carriers)
        if (std::fabs(c - centre) < std::fabs(nearest - centre)) nearest = c;
    std::vector<Transmitter> channel;
    for (const Transmitter& t : all)
        if (t.laser != nullptr && t.laser->settings.real("frequency_thz") == nearest) channel.push_back(t);
    return channel;
}

namespace {

std::string block_name(const LinkBlock& b) { return "block " + std::to_string(b.id) + " (" + std::string(b.kind->name) + ")"; }

// A source and a driver that chop the bits at different rates make a drive
// that is no longer the data; a receiver that folds the signal at a rate of
// its own reports an eye and a BER of nothing that was sent.
void check_samples_per_bit(const Link& link, std::vector<std::pair<const LinkBlock*, Finding>>& out) {
    for (const LinkBlock& b : link.blocks) {
        if (b.kind->name == "nrz_driver") {
            const LinkBlock* source = along_first_inputs(link, link.producer(b.inputs[0]), "prbs_source");
            const std::int32_t mine = b.settings.integer("samples_per_bit");
            if (source != nullptr && source->settings.integer("samples_per_bit") != mine)
                out.push_back({&b, Finding{true, "samples_per_bit",
                                           "samples_per_bit = " + std::to_string(mine) + " differs from the " +
                                               std::to_string(source->settings.integer("samples_per_bit")) +
                                               " samples per symbol of its data source, " + block_name(*source) +
                                               "; allowed: the same"}});
            continue;
        }
        if (b.kind->name != "ber_estimator" && b.kind->name != "eye_scope") continue;
        const std::int32_t mine = b.settings.integer("samples_per_bit");
        for (const Transmitter& t : channel_transmitters(link, b)) {
            const LinkBlock* sender = t.driver != nullptr ? t.driver : t.source;
            if (sender == nullptr || sender->settings.integer("samples_per_bit") == mine) continue;
            out.push_back({&b, Finding{true, "samples_per_bit",
                                       "samples_per_bit = " + std::to_string(mine) + " differs from the " +
                                           std::to_string(sender->settings.integer("samples_per_bit")) +
                                           " samples per bit of the channel it receives, sent by " +
                                           block_name(*sender) + " through " + block_name(*t.modulator) +
                                           "; allowed: the same"}});
            break;
        }
    }
}

// The result files a block writes, each with the parameter that names it.
std::vector<std::pair<std::string, std::string>> result_files(const LinkBlock& b) {
    const BlockSettings& s = b.settings;
    const std::string_view kind = b.kind->name;
    auto trimmed = [](std::string t) {
        t.erase(t.find_last_not_of(' ') + 1);
        return t;
    };
    if (kind == "power_meter") return {{cut_at_first_blank(s.text("file_name").c_str()) + ".DAT", "file_name"}};
    if (kind == "spectrum_analyser") return {{trimmed(s.text("file_name")) + ".qsp", "file_name"}};
    if (kind == "eye_scope") return {{trimmed(s.text("file_name")) + ".qsg", "file_name"}};
    if (kind != "ber_estimator") return {};
    std::vector<std::pair<std::string, std::string>> files{
        {cut_at_first_blank(s.text("report_name").c_str()) + ".DAT", "report_name"}};
    if (s.flag("instant_chart") || s.flag("threshold_chart"))
        files.push_back({trimmed(s.text("chart_name")) + ".qxy", "chart_name"});
    return files;
}

// Two blocks that write one file: the later one's result replaces the other's.
void check_result_files(const Link& link, std::vector<std::pair<const LinkBlock*, Finding>>& out) {
    std::map<std::string, const LinkBlock*> writers;
    for (const LinkBlock& b : link.blocks)
        for (const auto& [file, param] : result_files(b)) {
            const auto [at, fresh] = writers.emplace(file, &b);
            if (!fresh)
                out.push_back({&b, Finding{true, param,
                                           param + " names the file " + file + ", which " + block_name(*at->second) +
                                               " writes as well; allowed: a file of its own"}});
        }
}

}  // namespace

std::vector<std::pair<const LinkBlock*, Finding>> check_link_physics(const Link& link) {
    std::vector<std::pair<const LinkBlock*, Finding>> out;
    check_samples_per_bit(link, out);
    check_result_files(link, out);
    return out;
}

}  // namespace nodrix
