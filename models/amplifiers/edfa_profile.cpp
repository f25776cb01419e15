#include "models/amplifiers/edfa_profile.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>

#include "numerics/constants.h"
#include "kernel/filexx.h"
#include "models/amplifiers/amplifier_noise.h"
#include "numerics/fft.h"
#include "numerics/filter_tables.h"
#include "numerics/spline.h"
#include "runtime/format.h"
#include "runtime/opxfile.h"
#include "runtime/run_files.h"

namespace nodrix {
namespace {

constexpr const char* kProfileHeader = "edfa optical amplifier ";
constexpr const char* kTemporaryFiles[] = {"K3TMPGN", "K3TMPFN", "K3TMPPN"};
constexpr float kHalfW2mW = 5e14f;  // half of the W/Hz to mW/THz factor, single precision
constexpr float kW2mW = 1e15f;

// Linear gain values are marked by a gain parameter of -99 or less.
bool linear_values(float gain_parameter) { return gain_parameter <= -99.0f; }

// One text line without its line end; false at the end of the file.
bool read_line(std::FILE* f, std::string& line) {
    line.clear();
    int c = 0;
    bool any = false;
    while ((c = std::fgetc(f)) != EOF) {
        any = true;
        if (c == '\n') break;
        line.push_back(static_cast<char>(c));
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return any;
}

// The first two numbers of a data line (blanks, tabs or commas between them);
// false when there are not two finite numbers.
bool parse_pair(const std::string& line, float& a, float& b) {
    std::string s = line;
    std::replace(s.begin(), s.end(), ',', ' ');
    const char* p = s.c_str();
    char* end = nullptr;
    a = std::strtof(p, &end);
    if (end == p) return false;
    p = end;
    b = std::strtof(p, &end);
    return end != p && std::isfinite(a) && std::isfinite(b);
}

bool blank_line(const std::string& line) {
    return line.find_first_not_of(" \t") == std::string::npos;
}

// The first whitespace-delimited token of a line starts with "##".
bool marker_line(const std::string& line) {
    const auto first = line.find_first_not_of(" \t");
    return first != std::string::npos && line.compare(first, 2, "##") == 0;
}

// Clamped spline whose end slopes are those of the end intervals.
void clamped_spline(ProfileTable& t) {
    const std::int32_t n = t.size();
    t.v2.assign(t.f.size(), 0.0f);
    if (n < 2) return;
    auto slope = [](float dy, float dx) { return dx != 0.0f ? dy / dx : 0.0f; };
    const float yp1 = slope(t.v[1] - t.v[0], t.f[1] - t.f[0]);
    const float ypn = slope(t.v[n - 1] - t.v[n - 2], t.f[n - 1] - t.f[n - 2]);
    spline(t.f.data(), t.v.data(), n, yp1, ypn, t.v2.data());
}

ProfileTable flat_table(std::int32_t points, float value, float grid_low, float grid_high) {
    ProfileTable t;
    const float lo = grid_low;
    const float step = (grid_high - grid_low) / static_cast<float>(points - 1);
    for (std::int32_t k = 0; k < points; ++k) {
        t.f.push_back(lo + static_cast<float>(k) * step);
        t.v.push_back(value);
    }
    clamped_spline(t);
    return t;
}

// Reach of a table against the simulated band.
struct Reach {
    bool below = false;
    bool above = false;
    std::int32_t inside = 0;
};

Reach reach(const ProfileTable& t, float band_low, float band_high) {
    Reach r;
    for (float f : t.f) {
        if (f <= band_low) r.below = true;
        if (f >= band_high) r.above = true;
        if (f >= band_low && f <= band_high) ++r.inside;
    }
    return r;
}

bool covered(const ProfileTable& gain, const ProfileTable& noise_figure, float band_low, float band_high) {
    const Reach g = reach(gain, band_low, band_high);
    const Reach n = reach(noise_figure, band_low, band_high);
    if (g.below && g.above && n.below && n.above) return true;
    return g.inside >= 10 && n.inside >= 10;
}

constexpr std::int32_t kGainPoints = 30;
constexpr std::int32_t kNoiseFigurePoints = 123;

// ---- synthesis ----

// Frequency sampling of both targets on 2^log2p points (FFT order) with the
// taper and the linear phase of a delay of `delay` samples, then the inverse
// FFT: the taps of both filters.
void design_responses(const EdfaShape& s, double dt, float fc, std::int32_t log2p, std::int64_t delay,
                      std::complex<double>* hg, std::complex<double>* hn) {
    const std::int64_t p = std::int64_t{1} << log2p;
    const std::int64_t stride = kTableSize / p;
    const WwFunc& wwfunc = filter_tables();
    for (std::int64_t k = 0; k < p; ++k) {
        const double fk = static_cast<double>(k < p / 2 ? k : k - p) / (static_cast<double>(p) * dt);
        const float f = static_cast<float>(fc + fk);
        const double tg = std::sqrt(std::max(0.0f, s.gain.at(f)));
        const double tn = std::sqrt(std::max(0.0f, s.factor.at(f)));
        const double w = wwfunc.ew[static_cast<std::size_t>(k * stride)];
        std::int64_t kd = (k * delay) % p;
        if (kd < 0) kd += p;
        const double angle = -kTwoPi * static_cast<double>(kd) / static_cast<double>(p);
        const std::complex<double> e(std::cos(angle), std::sin(angle));
        hg[k] = w * tg * e;
        hn[k] = w * tn * e;
    }
    cfft2(hg, log2p, 1);
    cfft2(hn, log2p, 1);
}

// First and last tap (1-based) at which either response reaches 0.001 of its
// largest tap. A response that is zero everywhere has no taps to place.
void tap_extent(const std::complex<double>* hg, const std::complex<double>* hn, std::int64_t p, std::int64_t& i1,
                std::int64_t& i2) {
    double max_g = 0.0;
    double max_n = 0.0;
    for (std::int64_t k = 0; k < p; ++k) {
        max_g = std::max(max_g, std::abs(hg[k]));
        max_n = std::max(max_n, std::abs(hn[k]));
    }
    const double thr_g = 0.001 * max_g;
    const double thr_n = 0.001 * max_n;
    auto significant = [&](std::int64_t k) {
        return (max_g > 0.0 && std::abs(hg[k]) >= thr_g) || (max_n > 0.0 && std::abs(hn[k]) >= thr_n);
    };
    i1 = 1;
    i2 = 1;
    for (std::int64_t k = 0; k < p; ++k)
        if (significant(k)) {
            i1 = k + 1;
            break;
        }
    for (std::int64_t k = p - 1; k >= 0; --k)
        if (significant(k)) {
            i2 = k + 1;
            break;
        }
}

void report_length_error() {
    opxerr("EDFA Optical Amplifier. ");
    opxinfo("   The filter syntesis required to implement the ");
    opxinfo("   gain and/or noise figure was not possible");
    opxinfo("   Please check the amplifier parameters");
    opxinfo("   and the power of the signal at the input of ");
    opxinfo("   the amplifier.");
    opxinfo("   Excessively large  or small  input powers may");
    opxinfo("   cause numerical problems.");
}

}  // namespace

// ---- names, splines, small helpers ----

std::string converti_nome(const std::string& name) {
    const auto first = name.find_first_not_of(' ');
    if (first == std::string::npos) return "";
    const auto last = name.find_last_not_of(" _");
    if (last == std::string::npos || last < first) return "";
    return name.substr(first, last - first + 1) + ".DAT";
}

void spline(const float* x, const float* y, std::int32_t n, float yp1, float ypn, float* y2) {
    if (n < 2) {
        for (std::int32_t i = 0; i < n; ++i) y2[i] = 0.0f;
        return;
    }
    auto slope = [](float dy, float dx) { return dx != 0.0f ? dy / dx : 0.0f; };
    std::vector<float> u(static_cast<std::size_t>(n), 0.0f);
    const float h0 = x[1] - x[0];
    if (yp1 > 0.99e30f || h0 == 0.0f) {
        y2[0] = 0.0f;
        u[0] = 0.0f;
    } else {
        y2[0] = -0.5f;
        u[0] = (3.0f / h0) * (slope(y[1] - y[0], h0) - yp1);
    }
    for (std::int32_t i = 1; i < n - 1; ++i) {
        const float span = x[i + 1] - x[i - 1];
        const float sig = span != 0.0f ? (x[i] - x[i - 1]) / span : 0.5f;
        const float p = sig * y2[i - 1] + 2.0f;
        y2[i] = (sig - 1.0f) / p;
        // A node next to a zero-width interval gets no curvature term: the
        // repeated abscissa acts as a break in the table.
        const float hl = x[i] - x[i - 1];
        const float hr = x[i + 1] - x[i];
        const float d = (hl != 0.0f && hr != 0.0f) ? (y[i + 1] - y[i]) / hr - (y[i] - y[i - 1]) / hl : 0.0f;
        u[i] = ((span != 0.0f ? 6.0f * d / span : 0.0f) - sig * u[i - 1]) / p;
    }
    float qn = 0.0f;
    float un = 0.0f;
    const float hn = x[n - 1] - x[n - 2];
    if (ypn <= 0.99e30f && hn != 0.0f) {
        qn = 0.5f;
        un = (3.0f / hn) * (ypn - slope(y[n - 1] - y[n - 2], hn));
    }
    y2[n - 1] = (un - qn * u[n - 2]) / (qn * y2[n - 2] + 1.0f);
    for (std::int32_t k = n - 2; k >= 0; --k) y2[k] = y2[k] * y2[k + 1] + u[k];
}

void maxvet_complex(const std::complex<double>* a, std::int32_t n, float& max) {
    double m = 0.0;
    for (std::int32_t k = 0; k < n; ++k) m = std::max(m, std::norm(a[k]));
    max = static_cast<float>(m);
}

float smooth_excess_gain(float g) {
    // In double: G^8 overflows single precision above 48 dB of gain.
    const double gd = std::max(0.0f, g);
    return static_cast<float>(std::pow(1.0 + std::pow(gd, 8.0), 0.125) - 1.0);
}

float ProfileTable::at(float freq) const {
    const std::int32_t n = size();
    if (n < 1 || !(freq >= f[0] && freq <= f[n - 1])) return 0.0f;
    return splint(f.data(), v.data(), v2.data(), n, freq);
}

// ---- tables ----

ProfileData read_profile_data(const std::string& path) {
    ProfileData d;
    const std::string version = path.empty() ? path : present_version(path);  // the run's own temporary gain file
    std::FILE* f = version.empty() ? nullptr : std::fopen(version.c_str(), "r");
    if (f == nullptr) {
        d.status = ProfileData::Status::kCannotOpen;
        return d;
    }
    std::string line;
    bool marker = false;
    while (read_line(f, line))
        if (marker_line(line)) {
            marker = true;
            break;
        }
    if (!marker) {
        std::fclose(f);
        d.status = ProfileData::Status::kNoMarker;
        return d;
    }
    d.status = ProfileData::Status::kRead;
    while (read_line(f, line)) {
        if (blank_line(line)) continue;
        float wavelength = 0.0f;
        float value = 0.0f;
        if (!parse_pair(line, wavelength, value)) break;  // the data end at an unreadable line
        if (static_cast<std::int32_t>(d.wavelength.size()) == kMaxProfilePoints) {
            d.truncated = true;
            break;
        }
        d.wavelength.push_back(wavelength);
        d.value.push_back(value);
    }
    std::fclose(f);
    return d;
}

ProfileData read_profile_file(const std::string& path) {
    const ProfileData d = read_profile_data(path);
    if (d.status == ProfileData::Status::kCannotOpen) {
        opxerr(kProfileHeader);
        opxinfo("  cannot open data file " + path);
        opxinfo("  the amplifier and the branch after it are turned off");
    } else if (d.status == ProfileData::Status::kNoMarker) {
        opxwarn(kProfileHeader);
        opxinfo("  no ## marker line in data file " + path);
        opxinfo("  the amplifier and the branch after it are turned off");
    } else if (d.truncated) {
        opxwarn(kProfileHeader);
        opxinfo("  too many points in data file");
        opxinfo("  continuing with a smaller number");
    }
    return d;
}

ProfileTable profile_table(const ProfileData& data, bool linear) {
    struct Point {
        float f;
        float v;
    };
    std::vector<Point> points;
    for (std::size_t i = 0; i < data.wavelength.size(); ++i) {
        const float wl = data.wavelength[i];
        if (!(wl > 0.0f)) continue;  // no frequency for it
        const float f = static_cast<float>(kLightSpeed / wl);
        const float v = linear ? data.value[i] : std::pow(10.0f, 0.1f * data.value[i]);
        points.push_back({f, v});
    }
    std::stable_sort(points.begin(), points.end(), [](const Point& a, const Point& b) { return a.f < b.f; });
    ProfileTable t;
    for (const Point& p : points) {
        t.f.push_back(p.f);
        t.v.push_back(p.v);
    }
    clamped_spline(t);
    return t;
}

ProfileTable default_gain_table(float gain_db, const EdfaRun& run) {
    return flat_table(kGainPoints, std::pow(10.0f, 0.1f * gain_db), run.grid_low_thz, run.grid_high_thz);
}

ProfileTable default_noise_figure_table(float noise_figure, const EdfaRun& run) {
    return flat_table(kNoiseFigurePoints, noise_figure, run.grid_low_thz, run.grid_high_thz);
}

EdfaShape edfa_shape(ProfileTable gain, const ProfileTable& noise_figure, bool linear, bool exact) {
    EdfaShape s;
    s.gain = std::move(gain);
    s.factor.f = noise_figure.f;
    for (std::int32_t j = 0; j < noise_figure.size(); ++j) {
        const float g = std::max(0.0f, s.gain.at(noise_figure.f[j]));
        const float nf = noise_figure.v[j];
        if (exact)
            s.factor.v.push_back(g > 1.0f ? std::max(0.0f, nf * g - 1.0f) : 0.0f);
        else
            s.factor.v.push_back(linear ? (g - 1.0f) * nf : smooth_excess_gain(g) * nf);
    }
    clamped_spline(s.factor);
    return s;
}

void edfa_spectrum(const EdfaShape& shape, std::int32_t noise_off, const float* ps_in, float* ps_out,
                   const EdfaRun& run) {
    const float lo = run.grid_low_thz;
    const float w = (run.grid_high_thz - run.grid_low_thz) / 1024.0f;
    const double ase_unit = run.polarisations * kPlanck * run.band_centre_thz * kHalfW2mW;
    for (int i = 0; i < kBins; ++i) {
        const float f = lo + (static_cast<float>(i) + 0.5f) * w;
        const float g = std::max(0.0f, shape.gain.at(f));
        if (g > 1.0f && noise_off == 0) {
            const float factor = std::max(0.0f, shape.factor.at(f));
            ps_out[i] = g * ps_in[i] + static_cast<float>(ase_unit * factor * w);
        } else {
            ps_out[i] = g * ps_in[i];
        }
    }
}

bool edfa_coverage(const ProfileTable& gain, const ProfileTable& noise_figure, const EdfaRun& run) {
    return covered(gain, noise_figure, run.band_low_thz, run.band_high_thz);
}

std::optional<ProfileProblem> profile_model_problem(float gain_parameter, const std::string& gain_file,
                                                    float noise_figure, const std::string& noise_figure_file,
                                                    const ProfileFrame& frame) {
    const bool linear = linear_values(gain_parameter);
    // A table of the block's file, or its flat default over the grid.
    auto table = [&](float parameter, const std::string& file, const char* param, std::int32_t points,
                     float flat_value, ProfileTable& out) -> std::optional<ProfileProblem> {
        if (parameter >= 0.0f) {
            out = flat_table(points, flat_value, frame.grid_low, frame.grid_high);
            return std::nullopt;
        }
        const std::string path = converti_nome(file);
        if (path.empty()) return ProfileProblem{param, "no profile file is named"};
        const ProfileData d = read_profile_data(path);
        if (d.status == ProfileData::Status::kCannotOpen)
            return ProfileProblem{param, "cannot read the profile file " + path + ": " + std::strerror(errno)};
        if (d.status == ProfileData::Status::kNoMarker)
            return ProfileProblem{param, "the profile file " + path + " has no line starting with ## before its data"};
        out = profile_table(d, linear);
        return std::nullopt;
    };
    ProfileTable gain;
    ProfileTable nf;
    if (auto p = table(gain_parameter, gain_file, "gain_profile_file", kGainPoints,
                       std::pow(10.0f, 0.1f * gain_parameter), gain))
        return p;
    if (auto p = table(noise_figure, noise_figure_file, "noise_figure_profile_file", kNoiseFigurePoints,
                       noise_figure, nf))
        return p;
    if (!covered(gain, nf, frame.band_low, frame.band_high))
        return ProfileProblem{gain_parameter < 0.0f ? "gain_profile_file" : "noise_figure_profile_file",
                              "the gain and noise-figure profiles do not cover the simulated band: each must reach "
                              "below and above it, or hold at least 10 points within it"};
    return std::nullopt;
}

// ---- synthesis ----

std::int32_t coedfa(const EdfaShape& shape, double dt, float fc, std::complex<double>* hg,
                    std::complex<double>* hn, float& delay) {
    std::int32_t l = 8;
    std::int64_t d = 0;  // placement offset: the filters' delay is N/2 - d samples
    std::int32_t grows = 0;
    std::int32_t shifts = 0;
    std::int32_t shrinks = 0;
    std::int64_t previous = 0;
    bool first = true;
    bool settle_next = false;
    delay = 0.0f;
    // Scratch of the length search (N points, N <= 2^12).
    std::vector<std::complex<double>> design_g(kEdfaResponseSize / 2);
    std::vector<std::complex<double>> design_n(kEdfaResponseSize / 2);
    for (;;) {
        if (l > 12) {
            report_length_error();
            return -1;
        }
        const std::int64_t n = std::int64_t{1} << l;
        design_responses(shape, dt, fc, l, n / 2 - d, design_g.data(), design_n.data());
        std::int64_t i1 = 0;
        std::int64_t i2 = 0;
        tap_extent(design_g.data(), design_n.data(), n, i1, i2);
        const std::int64_t measured = i2 - i1 + 1;
        if (first || measured >= previous) previous = measured;
        first = false;
        const std::int64_t length = previous;
        if (settle_next) break;
        if (n < length + 8) {
            ++l;
            ++grows;
        } else if (i1 < 5) {
            if (n / (length + 8) < 2) break;
            d -= std::int64_t{1} << (l - 2);
            --l;
            ++shrinks;
        } else {
            d += i1 - 4;
            ++shifts;
        }
        if (grows > 9 || shifts > 9 || shrinks > 9) settle_next = true;
    }
    // Realised responses: the same design on 2N points, cut to N taps.
    const std::int64_t n = std::int64_t{1} << l;
    const std::int64_t placement = n / 2 - d;
    design_responses(shape, dt, fc, l + 1, placement, hg, hn);
    std::fill(hg + n, hg + 2 * n, 0.0);
    std::fill(hn + n, hn + 2 * n, 0.0);
    cfft2(hg, l + 1, -1);
    cfft2(hn, l + 1, -1);
    // The run-time blocks add N samples of latency to the placement delay.
    delay = static_cast<float>(static_cast<double>(n + placement) * dt);
    return l + 1;
}

std::int32_t calcola_filtri_edfa(const EdfaShape& shape, std::complex<double>* hg, std::complex<double>* hn,
                                 float& delay, const EdfaRun& run) {
    return coedfa(shape, run.time_step_ps, run.band_centre_thz, hg, hn, delay);
}

void elabora_vet(float gain, const ProfileTable& gain_table, std::int32_t noise_off,
                 const ProfileTable& noise_figure_table, const float* ps_in, float* ps_out, std::int32_t iv_in,
                 std::int32_t& iv_out, std::int32_t& n, std::int32_t& log2n, std::complex<double>* hg,
                 std::complex<double>* hn, float& delay, const EdfaRun& run) {
    const EdfaShape shape = edfa_shape(gain_table, noise_figure_table, linear_values(gain), run.exact_noise_figure);
    edfa_spectrum(shape, noise_off, ps_in, ps_out, run);
    iv_out = iv_in;
    n = 0;
    log2n = 0;
    delay = 0.0f;
    if (iv_in == 0) return;
    if (!edfa_coverage(shape.gain, noise_figure_table, run)) {
        iv_out = 0;
        return;
    }
    log2n = calcola_filtri_edfa(shape, hg, hn, delay, run);
    if (log2n < 0) {
        // Like a failed filter synthesis: no filter, and the branch after the
        // amplifier is turned off.
        log2n = 0;
        delay = 0.0f;
        iv_out = 0;
        return;
    }
    n = std::int32_t{1} << log2n;
}

// ---- run time ----

void edfa_filter_block(std::complex<double>* block, std::complex<double>* noise, std::complex<double>* tail,
                       const std::complex<double>* hg, const std::complex<double>* hn, std::int32_t n,
                       std::int32_t log2n, bool add_noise) {
    const std::int32_t half = n / 2;
    std::complex<double>* b = block;
    std::complex<double>* t = tail;
    std::fill(b + half, b + n, 0.0);
    cfft2(b, log2n, -1);
    if (add_noise) {
        std::complex<double>* z = noise;
        std::fill(z + half, z + n, 0.0);
        cfft2(z, log2n, -1);
        // Shaped noise added in the frequency domain: one inverse FFT for both.
        for (std::int32_t k = 0; k < n; ++k) b[k] = b[k] * hg[k] + z[k] * hn[k];
    } else {
        for (std::int32_t k = 0; k < n; ++k) b[k] *= hg[k];
    }
    cfft2(b, log2n, 1);
    for (std::int32_t k = 0; k < half; ++k) {
        b[k] += t[k];
        t[k] = b[k + half];
    }
}

// ---- temporary files ----

bool copia_file(const ProfileData* gain_data, bool linear, float gain_db, float offset_db, const EdfaRun& run) {
    // A working file of the run: written through a unit, so that every write
    // is checked and the file does not stay behind a run that is cut short.
    const std::string path = converti_nome(kEdfaGainTemporary);
    const std::string base = path.substr(0, path.size() - 4);
    remove_run_file(path);
    std::int32_t unit = 0;
    opnfil(base.c_str(), kFormattedUnknown, unit, static_cast<std::int32_t>(base.size()));
    std::FILE* f = unit_stream(unit);
    if (f == nullptr) {
        opxerr(kProfileHeader);
        opxinfo("  cannot write the temporary gain file " + path);
        return false;
    }
    auto pair = [f](float wavelength, float value) {
        const std::string line = fmt::list_real(wavelength) + fmt::list_real(value) + "\n";
        std::fputs(line.c_str(), f);
    };
    std::fputs("# TEMPORARY FILE FOR GAIN DATA EXCHANGE\n", f);
    std::fputs("##\n", f);
    if (gain_data != nullptr) {
        const float factor = std::pow(10.0f, -0.1f * offset_db);
        for (std::size_t i = 0; i < gain_data->wavelength.size(); ++i) {
            const float v = gain_data->value[i];
            pair(gain_data->wavelength[i], linear ? v * factor : v - offset_db);
        }
    } else {
        const float lo = run.grid_low_thz;
        const float hi = run.grid_high_thz;
        const float g = gain_db - offset_db;
        pair(300000.0f / hi - 40.0f, g);
        for (std::int32_t k = 29; k >= 0; --k) pair(300000.0f / (lo + static_cast<float>(k) * (hi - lo) / 29.0f), g);
        pair(300000.0f / lo + 40.0f, g);
    }
    const bool ok = unit_flush(unit);  // a failure has been reported, naming the file
    clodev(unit, 0);
    return ok;
}

void delete_edfa_temporary_files() {
    for (const char* name : kTemporaryFiles) opxfdel(converti_nome(name).c_str());
}

}  // namespace nodrix
