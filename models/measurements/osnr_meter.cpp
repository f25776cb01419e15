// The OSNR meter: per channel at its input, the optical signal-to-noise ratio
// in a reference bandwidth (0.1 nm at the channel's wavelength by default),
// with the noise of both polarisations, reported at the end of the run.
//
// Signal and noise are told apart in the spectral description of the input:
// the lasers' lines and the amplified spontaneous emission the amplifiers add
// to it (in the polarisations they fill), carried through fibres, filters and
// combiners. The noise at a channel is read beside it, between the channels,
// and interpolated to its carrier; the signal is what stands above that noise.
// The description holds the mean powers the blocks derive, so the meter's
// numbers carry no statistical spread and are known in a set-up run.
#include "models/measurements/osnr_meter.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <sstream>

#include "kernel/block_declaration.h"
#include "models/measurements/file_name_check.h"
#include "runtime/format.h"
#include "runtime/opxfile.h"

namespace nodrix {
namespace {

constexpr double kLightNmThz = 299792.458;    // speed of light [nm THz]
constexpr double kLoneChannelOffsetThz = 0.05;  // where the noise of a lone channel is read
constexpr double kLineAboveNoise = 2.0;         // a line stands 3 dB above the bins two away

const char* const kHeading = "Optical signal-to-noise ratio at ";
const char* const kBandwidthLine = "Reference bandwidth [nm] = ";
const char* const kColumns = "  Channel  Frequency [THz]   Signal [dBm]   Noise [dBm]     OSNR [dB]";

// The bins of the lines in the band: local maxima at least 3 dB above the
// bins two away on both sides.
std::vector<int> found_lines(const float* ps, int lo, int hi) {
    std::vector<int> bins;
    for (int i = std::max(lo, 2); i <= std::min(hi, kBins - 3); ++i) {
        const float p = ps[i];
        if (!(p > 0.0f) || p < ps[i - 1] || p <= ps[i + 1]) continue;
        if (p >= kLineAboveNoise * ps[i - 2] && p >= kLineAboveNoise * ps[i + 2]) bins.push_back(i);
    }
    return bins;
}

// dBm of a power in mW, -inf for none.
double dbm(double mw) { return mw > 0.0 ? 10.0 * std::log10(mw) : -std::numeric_limits<double>::infinity(); }

// A number of the report's table: F14.3, or inf / -inf right-aligned.
std::string table_number(double v) {
    if (std::isinf(v)) return fmt::A_right(v > 0.0 ? "inf" : "-inf", 14);
    return fmt::F(v, 14, 3);
}

}  // namespace

double reference_bandwidth_thz(double frequency_thz, double nm) { return frequency_thz * frequency_thz * nm / kLightNmThz; }

std::vector<OsnrChannel> osnr_of_spectrum(const float* ps, double grid_low, double grid_high, double band_low,
                                          double band_high, const std::vector<double>& frequencies_thz,
                                          double reference_nm) {
    const double w = (grid_high - grid_low) / kBins;
    auto bin_of = [&](double f) { return std::clamp(static_cast<int>(std::floor((f - grid_low) / w)), 0, kBins - 1); };
    std::vector<std::pair<int, double>> lines;  // bin, frequency
    if (frequencies_thz.empty()) {
        for (int k : found_lines(ps, bin_of(band_low), bin_of(band_high))) lines.emplace_back(k, grid_low + (k + 0.5) * w);
    } else {
        for (double f : frequencies_thz) lines.emplace_back(bin_of(f), f);
    }
    std::sort(lines.begin(), lines.end());
    const int lone = std::max(2, static_cast<int>(std::lround(kLoneChannelOffsetThz / w)));
    std::vector<OsnrChannel> channels;
    for (std::size_t j = 0; j < lines.size(); ++j) {
        const int k = lines[j].first;
        int left = j > 0 ? (k - lines[j - 1].first) / 2 : 0;
        int right = j + 1 < lines.size() ? (lines[j + 1].first - k) / 2 : 0;
        if (left == 0) left = right > 0 ? right : lone;
        if (right == 0) right = left;
        const int a = std::max(k - left, 0);
        const int b = std::min(k + right, kBins - 1);
        // The noise density [mW/THz] beside the channel, interpolated linearly.
        const double na = ps[a] / w;
        const double nb = ps[b] / w;
        auto noise_at = [&](int i) { return b > a ? na + (nb - na) * (i - a) / double(b - a) : 0.5 * (na + nb); };
        double signal = 0.0;
        for (int i = a + 1; i < b; ++i) signal += ps[i] - noise_at(i) * w;
        OsnrChannel c;
        c.frequency_thz = lines[j].second;
        c.signal_mw = signal;
        c.noise_mw = noise_at(k) * reference_bandwidth_thz(c.frequency_thz, reference_nm);
        c.osnr_db = c.noise_mw > 0.0 ? dbm(signal) - dbm(c.noise_mw) : std::numeric_limits<double>::infinity();
        channels.push_back(c);
    }
    return channels;
}

FrequencyList parse_frequency_list(const std::string& text) {
    FrequencyList list;
    std::stringstream in(text);
    for (std::string item; std::getline(in, item, ',');) {
        const auto first = item.find_first_not_of(" \t");
        if (first == std::string::npos) {
            list.error = "an empty entry in \"" + text + "\"; allowed: frequencies in THz separated by commas";
            return list;
        }
        char* end = nullptr;
        const double f = std::strtod(item.c_str() + first, &end);
        if (end == item.c_str() + first || item.find_first_not_of(" \t", end - item.c_str()) != std::string::npos ||
            !std::isfinite(f) || f <= 0.0) {
            list.error = "\"" + item.substr(first) + "\" is no frequency; allowed: positive frequencies in THz "
                         "separated by commas";
            return list;
        }
        list.values.push_back(f);
    }
    if (text.find_first_not_of(" \t") != std::string::npos && !text.empty() && text.back() == ',')
        list.error = "an empty entry in \"" + text + "\"; allowed: frequencies in THz separated by commas";
    return list;
}

std::optional<OsnrReport> read_osnr_report(const std::string& path) {
    std::ifstream in(path);
    if (!in) return std::nullopt;
    OsnrReport r;
    bool heading = false;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(kHeading, 0) == 0) heading = true;
        if (line.rfind(kBandwidthLine, 0) == 0) r.reference_nm = std::strtod(line.c_str() + std::string(kBandwidthLine).size(), nullptr);
        if (line.rfind(" P ", 0) != 0) continue;
        std::istringstream fields(line.substr(3));
        int number = 0;
        std::string f, s, n, o;
        if (!(fields >> number >> f >> s >> n >> o)) continue;
        auto value = [](const std::string& t) { return std::strtod(t.c_str(), nullptr); };  // reads inf and -inf
        OsnrChannel c{value(f), std::pow(10.0, value(s) / 10.0), std::pow(10.0, value(n) / 10.0), value(o)};
        r.channels.push_back(c);
    }
    if (!heading) return std::nullopt;
    return r;
}

namespace {

struct OsnrMeter {
    std::string title;             // caption in the report
    std::string file_name;         // report file, ".DAT" appended; cut at its first blank
    std::string label;             // where the meter sits, for the run's summary
    std::string frequencies_thz;   // the channels; empty: the lines of the input's spectrum
    float reference_bandwidth_nm = 0.1f;

    Input<OpticalSignal> input;
    Window window;

    std::vector<OsnrChannel> channels;  // of the last design

    static KindDeclaration<OsnrMeter> declaration() {
        using M = OsnrMeter;
        return {
            .name = "osnr_meter",
            .help = "OSNR meter: per channel, the signal over the ASE of both polarisations in a reference bandwidth",
            .family = BlockFamily::measurements,
            .parameters =
                {
                    parameter(&M::title, {.name = "title", .text_fallback = "osnr{n} Run(s): 1",
                                          .help = "caption in the report"}),
                    parameter(&M::file_name, {.name = "file_name", .text_fallback = "{link}_OSN{id}",
                                              .help = "report file name (\".DAT\" appended)"}),
                    parameter(&M::label, {.name = "label", .text_fallback = "at signal {input}",
                                          .help = "where the meter sits, in the run's summary"}),
                    parameter(&M::frequencies_thz,
                              {.name = "frequencies_thz", .help = "channels measured, in THz separated by commas",
                               .limits = "within the band; empty: every line of the input's spectrum"}),
                    parameter(&M::reference_bandwidth_nm,
                              {.name = "reference_bandwidth_nm", .unit = "nm", .fallback = 0.1,
                               .help = "bandwidth the noise is given in, at the channel's wavelength", .low = 0,
                               .low_open = true}),
                },
            .inputs = {port(&M::input, {.key = "input", .help = "the light measured"})},
            .window = &M::window,
            .check = check,
        };
    }

    static void check(const BlockSettings& s, const LinkContext& link, Findings& found) {
        check_result_file_name(s, "file_name", true, found);
        const FrequencyList list = parse_frequency_list(s.text("frequencies_thz"));
        if (!list.error.empty()) {
            found.error("frequencies_thz", "frequencies_thz: " + list.error);
            return;
        }
        for (double f : list.values)
            if (f < link.band_low_thz || f > link.band_high_thz)
                found.error("frequencies_thz", "frequencies_thz: " + fmt::list_double(f) +
                                                   " THz lies outside the band, " + fmt::list_real(link.band_low_thz) +
                                                   " to " + fmt::list_real(link.band_high_thz) + " THz");
    }

    // The channels' OSNR from the input's spectral description; the window
    // passes on from the input's least delayed component.
    void design(const RunContext& ctx, StateClaims&) {
        const float* gd = input->gd.data();
        group_delay_window(window.input(ctx), gd, least_group_delay(gd), window.output());
        channels.clear();
        if (input->iv == 0) return;
        const SimulationSettings& s = ctx.settings();
        channels = osnr_of_spectrum(input->ps.data(), s.grid.low_thz, s.grid.high_thz, s.band.low_thz, s.band.high_thz,
                                    parse_frequency_list(frequencies_thz).values, reference_bandwidth_nm);
    }

    void run(const RunContext&) {}

    Status finish(const RunContext& ctx) {
        const std::string name = cut_at_first_blank(file_name.c_str());
        if (name.empty()) return Status::error("OSNR meter " + title + ": no report name given");
        const ReportFile report = ctx.files().create_report(name);
        for (const std::string& line : report_lines()) report.write_line(line);
        return {};
    }

    std::vector<std::string> report_lines() const {
        std::vector<std::string> lines = {"", kHeading + fmt::A(title, 50),
                                          kBandwidthLine + fmt::F(reference_bandwidth_nm, 12, 3), kColumns};
        for (std::size_t j = 0; j < channels.size(); ++j) {
            const OsnrChannel& c = channels[j];
            lines.push_back(" P " + fmt::I(static_cast<std::int64_t>(j + 1), 6) + fmt::F(c.frequency_thz, 17, 5) +
                            table_number(dbm(c.signal_mw)) + table_number(dbm(c.noise_mw)) +
                            table_number(c.osnr_db));
        }
        if (channels.empty()) lines.push_back("  No channel at the input");
        lines.push_back("");
        return lines;
    }
};

const KindRegistration registration{declare_kind<OsnrMeter>()};

}  // namespace
}  // namespace nodrix
