#include "models/fibre/fibre_parts.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <numeric>
#include <vector>

#include "kernel/filexx.h"
#include "numerics/spline.h"
#include "runtime/format.h"
#include "runtime/opxfile.h"
#include "runtime/run_files.h"

namespace nodrix::fibre_parts {

std::string trimmed(const std::string& s) {
    const auto last = s.find_last_not_of(' ');
    return last == std::string::npos ? std::string() : s.substr(0, last + 1);
}

std::string report_name(const Fibre& f) {
    std::string base = trimmed(f.file_name);
    const auto first = base.find_first_not_of(' ');
    base = first == std::string::npos ? std::string() : base.substr(first);
    for (char& c : base)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.')) c = '_';
    if (base.empty() || base.find_first_not_of('.') == std::string::npos) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "fr%06d", static_cast<int>(f.identity.instance));
        base = buf;
    }
    return base;
}

const char* parameter_problem(const Fibre& f, const RunContext& ctx) {
    if (!(f.length_km > 0.0f)) return "     the length must be positive";
    if (!(std::fabs(f.length_tolerance_percent) < 100.0f)) return "     the length tolerance must lie below 100 %";
    if (!(f.reference_length_km > 0.0f)) return "     the reference system length must be positive";
    if (f.identity.instance < 0 || f.identity.instance > 999999)
        return "     the instance number must lie between 0 and 999999";
    if (!(ctx.settings().split_step.max_nonlinear_phase_deg > 0.0f))
        return "     the largest non-linear phase per step must be positive";
    if (!(ctx.time_step() > 0.0f) || !(ctx.time_step_double() > 0.0)) return "     the time step must be positive";
    return nullptr;
}

void empty_outputs(const RunContext& ctx, OpticalSignal& output) {
    output.x = ctx.empty_field();
    output.y = ctx.empty_field();
}

// ---------------------------------------------------------------------------
// Actual length, spectrum smoothing, carriers, loss profile, spectral face

float evalen(FibreStreams& streams, const Seeds& seeds, std::int32_t k, float length, float tolerance) {
    const std::int32_t g = ((k % 10) + 7) % 10 + 1;
    const std::int32_t seed = seeds[static_cast<std::size_t>(g - 1)];
    float u = 0.5f;
    if (seed != 0) {
        std::int32_t counter = 0;
        float v = 0.0f;
        for (std::int32_t i = 0; i < 10 * k + 60; ++i) streams.rndgen(g, counter, seed, v);
        streams.rndgen(g, counter, seed, u);
    }
    return length + (u - 0.5f) * tolerance * length * 0.02f;
}

void spemed(const RunContext& ctx, float resolution, const float* spectrum, float* smoothed) {
    const SpectralGrid& grid = ctx.settings().grid;
    const float delta = (grid.high_thz - grid.low_thz) * 0.0009765625f;
    const std::int32_t w = delta > 0.0f ? static_cast<std::int32_t>(resolution / delta) : 0;
    const std::int32_t h = (w + 1) / 2;
    for (std::int32_t j = 1; j <= kBins; ++j) {
        float sum = 0.0f;
        for (std::int32_t i = j + h; i <= j + h + w && i <= kBins; ++i) sum += spectrum[i - 1];
        smoothed[j - 1] = sum / static_cast<float>(w + 1);
    }
}

void numcha(const RunContext& ctx, float resolution, const float* smoothed, std::int32_t& count, float& total_power,
            float* spread_thz) {
    const float fc = ctx.band_centre();
    const float lo = ctx.settings().grid.low_thz;
    const float delta = (ctx.settings().grid.high_thz - lo) * 0.0009765625f;
    const float half_band = 0.4f / ctx.time_step();
    std::vector<std::int32_t> bins;  // examined bins (0-based)
    for (std::int32_t j = 0; j < kBins; ++j) {
        const float f = lo + (static_cast<float>(j) + 0.5f) * delta;
        if (std::fabs(f - fc) <= half_band) bins.push_back(j);
    }
    std::vector<std::int32_t> carriers;
    if (!bins.empty()) {
        std::vector<float> v(bins.size());
        for (std::size_t i = 0; i < bins.size(); ++i) {
            const float s = smoothed[bins[i]];
            v[i] = s > 0.0f ? s : 1e-6f;
        }
        // Runs of equal values; a run higher than both neighbours is a maximum.
        std::vector<std::size_t> run_start;
        for (std::size_t i = 0; i < v.size(); ++i)
            if (i == 0 || v[i] != v[i - 1]) run_start.push_back(i);
        const std::size_t runs = run_start.size();
        std::vector<std::size_t> peaks;
        for (std::size_t r = 0; r < runs; ++r) {
            const float here = v[run_start[r]];
            const bool left_lower = r > 0 && v[run_start[r - 1]] < here;
            const bool right_lower = r + 1 < runs && v[run_start[r + 1]] < here;
            if (left_lower && right_lower) peaks.push_back(r);
        }
        for (std::size_t q = 0; q < peaks.size(); ++q) {
            const std::size_t from = q == 0 ? 0 : run_start[peaks[q - 1]];
            const std::size_t at = run_start[peaks[q]];
            const std::size_t to = q + 1 < peaks.size() ? run_start[peaks[q + 1]] : v.size() - 1;
            const float peak = v[at];
            const float left = *std::min_element(v.begin() + static_cast<std::ptrdiff_t>(from),
                                                 v.begin() + static_cast<std::ptrdiff_t>(at) + 1);
            const float right = *std::min_element(v.begin() + static_cast<std::ptrdiff_t>(at),
                                                  v.begin() + static_cast<std::ptrdiff_t>(to) + 1);
            const float t1 = 10.0f * std::log10(peak / left);
            const float t2 = 10.0f * std::log10(peak / right);
            if (t1 + t2 >= 20.0f && t1 >= 4.0f && t2 >= 4.0f) carriers.push_back(bins[at]);
        }
        if (carriers.empty()) {
            const auto strongest = std::max_element(v.begin(), v.end()) - v.begin();
            carriers.push_back(bins[static_cast<std::size_t>(strongest)]);
        }
    } else {
        carriers.push_back(kBins / 2);
    }
    const std::int32_t w = delta > 0.0f ? static_cast<std::int32_t>(resolution / delta) : 0;
    total_power = 0.0f;
    for (std::int32_t c : carriers)
        for (std::int32_t j = std::max(0, c - w); j <= std::min(kBins - 1, c + w); ++j) total_power += smoothed[j];
    count = static_cast<std::int32_t>(carriers.size());
    if (spread_thz != nullptr) {
        const auto [low, high] = std::minmax_element(carriers.begin(), carriers.end());
        *spread_thz = static_cast<float>(*high - *low) * delta;
    }
}

namespace {

// List-directed input of one record list: tokens split at blanks and commas.
void split_tokens(const std::string& line, std::vector<std::string>& out) {
    std::string token;
    for (char c : line) {
        if (c == ' ' || c == ',' || c == '\t' || c == '\r') {
            if (!token.empty()) out.push_back(token);
            token.clear();
        } else {
            token += c;
        }
    }
    if (!token.empty()) out.push_back(token);
}

bool parse_number(std::string token, double& v) {
    for (char& c : token)
        if (c == 'd' || c == 'D') c = 'e';
    char* end = nullptr;
    v = std::strtod(token.c_str(), &end);
    return end != nullptr && *end == '\0' && end != token.c_str() && std::isfinite(v);
}

// The spline needs rising abscissae: puts unordered data in order and keeps
// the first of equal ones.
void put_in_order(std::vector<double>& xs, std::vector<double>& ys) {
    if (std::is_sorted(xs.begin(), xs.end()) && std::adjacent_find(xs.begin(), xs.end()) == xs.end()) return;
    std::vector<std::size_t> order(xs.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return xs[a] < xs[b]; });
    std::vector<double> sx;
    std::vector<double> sy;
    for (std::size_t i : order)
        if (sx.empty() || xs[i] != sx.back()) {
            sx.push_back(xs[i]);
            sy.push_back(ys[i]);
        }
    xs.swap(sx);
    ys.swap(sy);
}

// Skips the lines of an open profile up to the marker line starting with
// "##"; false when there is none.
bool skip_to_marker(std::int32_t unit) {
    std::string line;
    std::vector<std::string> tokens;
    while (unit_read_line(unit, line)) {
        tokens.clear();
        split_tokens(line, tokens);
        if (!tokens.empty() && tokens[0].rfind("##", 0) == 0) return true;
    }
    return false;
}

}  // namespace

bool read_loss_profile(const RunContext& ctx, const Fibre& f, LossProfile& profile) {
    profile = LossProfile{};
    const Messages& messages = ctx.messages();
    const std::string header = "User defined loss profile at " + caption48(f);
    const std::string file = trimmed(f.loss_profile_file);
    // A missing profile is not created empty under the user's name.
    const std::string version = file.empty() ? file : present_version(file);
    if (std::FILE* probe = version.empty() ? nullptr : std::fopen(version.c_str(), "r"); probe != nullptr) {
        std::fclose(probe);
    } else {
        messages.error("File " + file + " not found");
        return false;
    }
    std::int32_t unit = 0;
    opnfil_as_named(file.c_str(), kFormattedUnknown, unit, static_cast<std::int32_t>(file.size()));
    if (unit_stream(unit) == nullptr) return false;
    const bool wavelength = f.loss_profile_abscissa == 1;

    const bool marker = skip_to_marker(unit);
    std::string line;
    std::vector<std::string> tokens;
    std::vector<double> xs;
    std::vector<double> ys;
    double previous = 0.0;
    bool have_previous = false;
    while (marker) {
        // Each pair is read from a new record and may continue on the next ones.
        tokens.clear();
        bool more = true;
        while (tokens.size() < 2 && (more = unit_read_line(unit, line))) split_tokens(line, tokens);
        if (tokens.size() < 2) break;
        double x = 0.0;
        double y = 0.0;
        if (!parse_number(tokens[0], x) || !parse_number(tokens[1], y) || (wavelength && !(x > 0.0))) break;
        if (have_previous && x == previous) {
            messages.warning(header);
            messages.info(std::string(wavelength ? "     the wavelength value" : "     the frequency value") +
                    fmt::list_real_field(static_cast<float>(x), 20));
            messages.info("     in the data file is repeated ");
            messages.info("     continuing using only the first occurence ");
            continue;
        }
        previous = x;
        have_previous = true;
        xs.push_back(x);
        ys.push_back(y);
        if (static_cast<std::int32_t>(xs.size()) == kMaxProfilePoints) {
            messages.warning(header);
            messages.info("     too many points in data file ");
            messages.info("     continuing with a smaller number ");
            break;
        }
        if (!more) break;
    }
    clodev(unit, 0);

    if (wavelength) {
        for (double& x : xs) x = kLightSpeed / x;
        std::vector<double> none(xs.size());
        vector_reversal(xs.data(), ys.data(), none.data(), static_cast<std::int32_t>(xs.size()));
    }
    put_in_order(xs, ys);
    if (xs.size() < 2) {
        messages.warning(header);
        messages.info("     too few points in data file ");
        messages.info("     continuing with the loss coefficients ");
        return false;
    }
    profile.f = std::move(xs);
    profile.loss = std::move(ys);
    profile.y2.assign(profile.f.size(), 0.0);
    dspline_clamped(profile.f.data(), profile.loss.data(), static_cast<std::int32_t>(profile.f.size()),
                    profile.y2.data());
    return true;
}

std::string loss_profile_problem(const std::string& path, bool wavelength) {
    std::ifstream in(path);
    if (path.empty() || !in) return "cannot read the loss profile " + path + ": " + std::strerror(errno);
    std::string line;
    std::vector<std::string> tokens;
    bool marker = false;
    while (!marker && std::getline(in, line)) {
        tokens.clear();
        split_tokens(line, tokens);
        marker = !tokens.empty() && tokens[0].rfind("##", 0) == 0;
    }
    // The pairs as read_loss_profile takes them: each from a new line, maybe
    // continued on the next; the data end at the first that is no pair.
    std::vector<double> xs;
    std::vector<double> ys;
    while (marker && static_cast<std::int32_t>(xs.size()) < kMaxProfilePoints) {
        tokens.clear();
        while (tokens.size() < 2 && std::getline(in, line)) split_tokens(line, tokens);
        double x = 0.0;
        double y = 0.0;
        if (tokens.size() < 2 || !parse_number(tokens[0], x) || !parse_number(tokens[1], y) || (wavelength && !(x > 0.0)))
            break;
        xs.push_back(wavelength ? kLightSpeed / x : x);
        ys.push_back(y);
    }
    put_in_order(xs, ys);
    if (xs.size() < 2)
        return "the loss profile " + path + " holds fewer than two points after a line starting with ##";
    return {};
}

void fibre_spectrum(const RunContext& ctx, const Fibre& fibre, const LossProfile* profile, const float* psdin,
                    float ppkin, float* psdout, float& ppkout) {
    const float fc = ctx.band_centre();
    const float lo = ctx.settings().grid.low_thz;
    const float delta = (ctx.settings().grid.high_thz - lo) * 0.0009765625f;
    const float length = fibre.length_km;
    float amin = 1.0f;
    for (std::int32_t j = 1; j <= kBins; ++j) {
        const float f = lo + (static_cast<float>(j) - 0.5f) * delta;
        const float df = f - fc;
        const float loss = profile != nullptr ? static_cast<float>(profile->value(static_cast<double>(f)))
                                              : fibre.attenuation_db_per_km + fibre.attenuation_slope_db_per_km_thz * df +
                                                    0.5f * fibre.attenuation_curvature_db_per_km_thz2 * df * df;
        const float a = std::pow(10.0f, -0.1f * length * loss);
        psdout[j - 1] = a * psdin[j - 1];
        amin = std::min(amin, a);
    }
    // The total power follows the loss at the centre frequency.
    ppkout = ppkin * std::pow(10.0f, -0.1f * fibre.attenuation_db_per_km * fibre.length_km);
}


void spectral_face(const RunContext& ctx, const Fibre& f, const OpticalSignal& input, OpticalSignal& output) {
    empty_outputs(ctx, output);
    LossProfile profile;
    const LossProfile* use = nullptr;
    if (!f.loss_profile_file.empty() && read_loss_profile(ctx, f, profile)) use = &profile;
    fibre_spectrum(ctx, f, use, input.ps.data(), input.pp, output.ps.data(), output.pp);
    output.gd = input.gd;
    output.iv = input.iv;
}


}  // namespace nodrix::fibre_parts
