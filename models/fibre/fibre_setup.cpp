// The set-up of the fibre block: actual length, carriers, loss profile and
// spectrum, the steps and their filters, the window and the saved set-up.
#include "models/fibre/fibre_block.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <numeric>
#include <span>

#include "numerics/filter_tables.h"
#include "numerics/spline.h"
#include "kernel/storage.h"
#include "models/fibre/fibre_parts.h"
#include "models/fibre/split_step.h"
#include "kernel/filexx.h"
#include "runtime/format.h"
#include "runtime/io_file.h"
#include "runtime/opxfile.h"
#include "runtime/record_file.h"
#include "runtime/run_files.h"
#include "runtime/wisdom.h"

namespace nodrix {

using namespace fibre_parts;

// ---------------------------------------------------------------------------
// Actual length, spectrum smoothing, carriers, loss profile, spectral face

float evalen(std::int32_t k, std::int32_t unit, float length, float tolerance) {
    const std::int32_t g = ((k % 10) + 7) % 10 + 1;
    const std::int32_t seed = seeds[static_cast<std::size_t>(g - 1)];
    float u = 0.5f;
    if (seed != 0) {
        std::int32_t counter = 0;
        float v = 0.0f;
        for (std::int32_t i = 0; i < 10 * k + 60; ++i) rndgen(g, counter, seed, v);
        rndgen(g, counter, seed, u);
    }
    const float actual = length + (u - 0.5f) * tolerance * length * 0.02f;
    std::FILE* f = unit_stream(unit);
    if (f == nullptr || !records::write_values(f, actual)) return -1.0f;
    // The later header records overwrite whatever follows.
    stream_end_here(f);
    return actual;
}

void spemed(float resolution, const float* spectrum, float* smoothed) {
    const float delta = (flimit.fgridhi - flimit.fgridlo) * 0.0009765625f;
    const std::int32_t w = delta > 0.0f ? static_cast<std::int32_t>(resolution / delta) : 0;
    const std::int32_t h = (w + 1) / 2;
    for (std::int32_t j = 1; j <= kBins; ++j) {
        float sum = 0.0f;
        for (std::int32_t i = j + h; i <= j + h + w && i <= kBins; ++i) sum += spectrum[i - 1];
        smoothed[j - 1] = sum / static_cast<float>(w + 1);
    }
}

void numcha(float resolution, const float* smoothed, std::int32_t& count, float& total_power) {
    const float fc = f_vbs_band.fcenter;
    const float lo = flimit.fgridlo;
    const float delta = (flimit.fgridhi - lo) * 0.0009765625f;
    const float half_band = 0.4f / zzctrl.delt;
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

bool read_loss_profile(const FiberParams& p, LossProfile& profile) {
    profile = LossProfile{};
    const std::string header = "User defined loss profile at " + caption48(p);
    const std::string file = trimmed(p.lossf);
    // A missing profile is not created empty under the user's name.
    const std::string version = file.empty() ? file : present_version(file);
    if (std::FILE* probe = version.empty() ? nullptr : std::fopen(version.c_str(), "r"); probe != nullptr) {
        std::fclose(probe);
    } else {
        opxerr("File " + file + " not found");
        return false;
    }
    std::int32_t unit = 0;
    opnfil_as_named(file.c_str(), kFormattedUnknown, unit, static_cast<std::int32_t>(file.size()));
    if (unit_stream(unit) == nullptr) return false;
    const bool wavelength = ip(p, 22) == 1;

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
            opxwarn(header);
            opxinfo(std::string(wavelength ? "     the wavelength value" : "     the frequency value") +
                    fmt::list_real_field(static_cast<float>(x), 20));
            opxinfo("     in the data file is repeated ");
            opxinfo("     continuing using only the first occurence ");
            continue;
        }
        previous = x;
        have_previous = true;
        xs.push_back(x);
        ys.push_back(y);
        if (static_cast<std::int32_t>(xs.size()) == kMaxProfilePoints) {
            opxwarn(header);
            opxinfo("     too many points in data file ");
            opxinfo("     continuing with a smaller number ");
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
        opxwarn(header);
        opxinfo("     too few points in data file ");
        opxinfo("     continuing with the loss coefficients ");
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

void fibre_spectrum(const FiberParams& p, const LossProfile* profile, const float* psdin, float ppkin, float* psdout,
                    float& ppkout) {
    const float fc = f_vbs_band.fcenter;
    const float lo = flimit.fgridlo;
    const float delta = (flimit.fgridhi - lo) * 0.0009765625f;
    const float length = rp(p, 1);
    float amin = 1.0f;
    for (std::int32_t j = 1; j <= kBins; ++j) {
        const float f = lo + (static_cast<float>(j) - 0.5f) * delta;
        const float df = f - fc;
        const float loss = profile != nullptr ? static_cast<float>(profile->value(static_cast<double>(f)))
                                              : rp(p, 3) + rp(p, 4) * df + 0.5f * rp(p, 5) * df * df;
        const float a = std::pow(10.0f, -0.1f * length * loss);
        psdout[j - 1] = a * psdin[j - 1];
        amin = std::min(amin, a);
    }
    // The total power follows the loss at the centre frequency.
    ppkout = ppkin * std::pow(10.0f, -0.1f * rp(p, 3) * rp(p, 1));
}

// ---------------------------------------------------------------------------
// The set-up of the block

void fibre_parts::spectral_face(const FiberParams& p, const OpticalSignal& input, OpticalSignal& output) {
    empty_outputs(output);
    if (zzctrl.pass != 0) return;
    LossProfile profile;
    const LossProfile* use = nullptr;
    if (ip(p, 21) == 1 && read_loss_profile(p, profile)) use = &profile;
    fibre_spectrum(p, use, input.ps.data(), input.pp, output.ps.data(), output.pp);
    if (optcl_ctrl.setuponly == 0) output.gd = input.gd;
    output.iv = input.iv;
}

namespace {

// Reads the records of "o7" to the last one: delays after the last step.
bool last_delays(std::int32_t unit, double& dmin, double& dmax) {
    std::FILE* f = stream(unit);
    bool any = false;
    double a = 0.0;
    double b = 0.0;
    while (records::read_values(f, a, b)) {
        dmin = a;
        dmax = b;
        any = true;
    }
    return any;
}

// What the set-up learns of the input spectrum: carriers, their total power
// and the peak power the step rule designs for.
struct CarrierCount {
    std::int32_t carriers = 0;
    float total_power = 0.0f;
    float peak = 0.0f;
};

CarrierCount count_carriers(const OpticalSignal& input, float dt, bool dimensioning) {
    float resolution = 0.01f;
    if (1.0f / dt < 0.04f) resolution = 0.1f / dt;
    std::array<float, kBins> smoothed{};
    spemed(resolution, input.ps.data(), smoothed.data());
    CarrierCount c;
    numcha(resolution, smoothed.data(), c.carriers, c.total_power);
    c.peak = input.pp;
    if (dimensioning && c.carriers > 0) {
        const float x = (static_cast<float>(ssprsn.ssp6) - 1.0f) * 0.06666667f;
        c.peak = (1.0f + 0.5f * static_cast<float>(c.carriers - 1) * std::exp(-(x * x))) * input.pp;
    }
    return c;
}

// The steps of the fibre and the dispersion their filters are designed with.
struct StepPlan {
    std::vector<double> h = std::vector<double>(static_cast<std::size_t>(kMaxSteps), 0.0);  // step lengths [km]
    std::int32_t nsteps = 0;
    std::int32_t uniform = 0;
    double beta2 = 0.0, beta3 = 0.0, beta4 = 0.0, beta5 = 0.0;
    bool split = false;        // the schedule generator cuts this fibre: one dummy step
    float length_used = 0.0f;  // [km]
};

StepPlan plan_steps(const FiberParams& p, float actual, const CarrierCount& c, std::int32_t instance) {
    StepPlan s;
    s.beta2 = rp(p, 6);
    s.beta3 = rp(p, 7);
    s.beta4 = rp(p, 8);
    s.beta5 = rp(p, 9);
    if (ip(p, 3) == 1) {
        NonlinearStepInput n;
        n.beta2 = s.beta2;
        n.beta3 = s.beta3;
        n.beta4 = s.beta4;
        n.beta5 = s.beta5;
        n.total_power = c.total_power;
        n.peak_power = c.peak;
        n.carriers = c.carriers;
        n.alpha = static_cast<double>(rp(p, 3)) / (20.0 * std::log10(std::exp(1.0)));
        n.gamma = 0.001 * static_cast<double>(rp(p, 12));
        n.length = actual;
        n.system_length = rp(p, 27);
        n.phase_divisor = 360.0 / static_cast<double>(ssprsn.ssp7);
        n.fwm_accuracy = ssprsn.ssp1;
        stpeva(n, s.nsteps, s.h, s.uniform, p.memfile, instance);
    } else {
        stpeli(s.beta2, s.beta3, s.beta4, s.beta5, actual, s.nsteps, s.h, p.memfile, instance);
    }
    s.length_used = actual;
    if (s.nsteps < 0) {
        // The schedule generator cuts this fibre; a dummy step lets the pass complete.
        std::fill(s.h.begin(), s.h.end(), 0.0);
        s.nsteps = 1;
        s.h[0] = 1e-6;
        s.length_used = 1e-6f;
        s.beta2 = 0.1;
        s.beta3 = 0.0;
        s.split = true;
    }
    return s;
}

// Precision of the step-filter design: coarser for fewer, longer steps, four
// times coarser again for non-uniform non-linear steps unless ssp2 forbids it.
double filter_precision(const FiberParams& p, const StepPlan& s) {
    double precision = std::pow(10.0, (std::log10(static_cast<double>(ssprsn.ssp3) * s.length_used /
                                                  (static_cast<double>(s.nsteps) * rp(p, 27))) -
                                       0.66) * 1.0666666666666667 -
                                          0.5);
    precision = std::max(1e-8, std::isfinite(precision) ? precision : 1e-8);
    if (ip(p, 3) != 0 && s.uniform != 1 && ssprsn.ssp2 == 0) precision *= 4.0;
    return precision;
}

void report_steps(Report& report, const FiberParams& p, std::int32_t instance, const CarrierCount& c,
                  const StepPlan& s, double precision) {
    if (!report.active()) return;
    const bool detailed = ip(p, 12) == 2;
    report.line(fmt::A(p.title, 50));
    report.line("");
    report.line(" Begin of fiber block informations");
    if (detailed) report.item("  Fiber span number", fmt::list_int(instance));
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

// The filter pass designs every step filter into the working files.
bool design_step_filters(const FiberParams& p, std::int32_t k, const StepPlan& s, double precision,
                         const LossProfile* profile, const WorkingUnits& units, const OpticalSignal& input) {
    WrtfisInput w;
    w.k = k;
    w.loss = rp(p, 3);
    w.shape.slope = rp(p, 4);
    w.shape.curvature = rp(p, 5);
    w.shape.profile = profile;
    w.shape.fcenter = f_vbs_band.fcenter;
    w.beta2 = s.beta2;
    w.beta3 = s.beta3;
    w.beta4 = s.beta4;
    w.beta5 = s.beta5;
    w.dispersion_model = ip(p, 2);
    w.spread = rp(p, 10);
    w.section = rp(p, 11);
    w.start_km = p.piece.start_km;
    w.gamma = rp(p, 12);
    w.unit_om = units.om;
    w.unit_o1 = units.o1;
    w.unit_o4 = units.o4;
    w.unit_o7 = units.o7;
    w.unit_os = units.os;
    w.nsteps = s.nsteps;
    w.h = s.h.data();
    w.dlyin = input.gd.data();
    w.precision = precision;
    return wrtfis(w);
}

// The set-up as the working files hold it.
struct SavedDesign {
    std::array<float, kBins> delays{};  // output group delay per bin [ps]
    float actual = 0.0f;                // actual length [km]
    std::int32_t ncoef = 0, nexp = 0, memlen = 0;
    float dispersion = 0.0f;            // accumulated dispersion [ps2]
    std::array<std::int32_t, 6> raman{};
    double dmin = 0.0, dmax = 0.0;      // delay extremes after the last step [ps]
};

bool read_design(const WorkingUnits& units, SavedDesign& d) {
    unit_rewind(units.os);
    unit_rewind(units.om);
    std::FILE* om = stream(units.om);
    bool ok = records::read_array(stream(units.os), std::span<float>(d.delays)) &&
              records::read_values(om, d.actual) && records::read_values(om, d.ncoef) &&
              records::read_values(om, d.nexp) && records::read_values(om, d.memlen) &&
              records::read_values(om, d.dispersion);
    for (std::int32_t& r : d.raman) ok = ok && records::read_values(om, r);
    unit_rewind(units.o7);
    ok = ok && last_delays(units.o7, d.dmin, d.dmax);
    return ok && d.nexp >= 0 && d.nexp <= kMaxFilterExponent && d.ncoef >= 0 && d.memlen >= 0;
}

// The output is late by the buffer of n samples plus the fibre's delays.
void fibre_window(const InputWindow& in, std::int32_t n, float dt, const SavedDesign& d, TimeWindow& out) {
    const float tinon = in.ton;
    const float tindur = in.twinin;
    out.tgoodi = tinon + static_cast<float>(n) * dt + static_cast<float>(d.dmax);
    out.toff = out.tgoodi + tindur;
    out.tgoodf = tinon + tindur + static_cast<float>(n) * dt + static_cast<float>(d.dmin);
    out.ton = out.tgoodf - tindur;
}

void report_window(Report& report, const FiberParams& p, const SavedDesign& d, std::int32_t n, const TimeWindow& out) {
    if (!report.active()) return;
    report.item("P    Average dispersion [ps2/km] =", fmt::list_real(d.dispersion / d.actual));
    if (ip(p, 12) != 2) return;
    report.item("  Buffer size =", fmt::list_int(n));
    report.item("  On instant of the output [ps] =", fmt::list_real(out.ton));
    report.item("  Good output start [ps] =", fmt::list_real(out.tgoodi));
    report.item("  Good output stop [ps] =", fmt::list_real(out.tgoodf));
    report.item("  Off instant of the output [ps] =", fmt::list_real(out.toff));
}

// The saved set-up the run starts from: sizes, Raman words and the seed word
// (integers at si), length, window, power, noise amplitude, delays and
// spectrum (reals at sh). A run whose storage does not fit stays dark.
void save_setup(std::int32_t si, std::int32_t sh, bool allocate, const RunSizes& sizes, const SavedDesign& d,
                const TimeWindow& out, const OpticalSignal& output) {
    std::int32_t* s = ist_at(si);
    s[0] = allocate ? sizes.steps : kDisabled;
    s[1] = sizes.nbuf;
    s[2] = sizes.ncoef;
    s[3] = sizes.n;
    s[4] = d.nexp;
    s[5] = sizes.memlen;
    for (int i = 0; i < 6; ++i) s[6 + i] = d.raman[static_cast<std::size_t>(i)];
    const std::int32_t top = inftop.itop1;
    s[12] = top + seeds[static_cast<std::size_t>(((4 * top) % 10 + 10) % 10)];
    float* r = hist_at(sh);
    r[0] = d.actual;
    r[1] = out.ton;
    r[2] = out.toff;
    r[3] = out.tgoodi;
    r[4] = out.tgoodf;
    r[5] = output.pp;
    r[6] = static_cast<float>(std::sqrt(kPlanck * static_cast<double>(f_vbs_band.fcenter) * 5e14 / zdctrl.ddelt));
    std::copy(output.gd.begin(), output.gd.end(), r + 7);
    std::copy(output.ps.begin(), output.ps.end(), r + 7 + kBins);
}

// Dimensioning check: a fibre whose storage exceeds the block limit is cut
// into pieces of consecutive steps, asked of the schedule generator.
void request_split(const FiberParams& p, std::int32_t instance, const StepPlan& s, std::int32_t memused) {
    if (s.split || (p.memlim >= memused && memused >= 0)) return;
    const std::int64_t per_step = memused >= 0 ? 2 * (std::int64_t{memused} / s.nsteps)
                                               : std::llround(2.1474836e9 / static_cast<double>(s.nsteps));
    std::vector<double> pieces;
    std::int32_t i = 0;
    while (i < s.nsteps) {
        // A piece takes its first step even when one step alone exceeds the limit.
        double piece = s.h[static_cast<std::size_t>(i)];
        std::int64_t taken = 1;
        ++i;
        while (i < s.nsteps && (taken + 1) * per_step < p.memlim) {
            piece += s.h[static_cast<std::size_t>(i)];
            ++taken;
            ++i;
        }
        pieces.push_back(piece);
    }
    write_split_request(p.memfile, SplitRequest{instance, pieces, SplitReason::storage}, 50);
}

// The storage of the fibre: outside the filter pass the saved set-up, then
// the run storage when it fits. False when not even the saved set-up fits.
bool claim_storage(const FiberParams& p, bool filter_pass, const RunSizes& sizes, const SavedDesign& design,
                   const TimeWindow& out, const OpticalSignal& output) {
    bool allocate = true;
    if (!filter_pass) {
        if (!saved_fits()) {
            storage_error(p);
            return false;
        }
        const std::int32_t si = claim_state(kSavedIntState).ints;
        const std::int32_t sh = claim_state(kSavedRealState).reals;
        allocate = run_storage_fits(sizes);
        if (zzsupv.storephase == 1) save_setup(si, sh, allocate, sizes, design, out, output);
    } else {
        allocate = run_storage_fits(sizes);
    }
    if (!allocate) {
        storage_error(p);
        return true;
    }
    RunStorage rs;
    request_run_storage(sizes, rs);
    if (!filter_pass && zzsupv.storephase == 1) {
        std::int32_t* state = ist_at(rs.state);
        state[0] = kNotLoaded;
        state[1] = 0;
    }
    return true;
}

}  // namespace

void fibre_parts::setup_face(const FiberParams& p, const InputWindow& in, TimeWindow& out,
                             const OpticalSignal& input, OpticalSignal& output) {
    output.iv = input.iv;
    empty_outputs(output);
    const std::int32_t instance = ip(p, 1);
    // The random streams are those of the whole fibre, for each of its pieces.
    const std::int32_t streams = p.piece.whole_instance != 0 ? p.piece.whole_instance : instance;
    const std::int32_t k = (streams % 50) + 1;
    const bool dimensioning = optcl_ctrl.blkmode == 1;
    const bool filter_pass = zzflmn.nohist == 1;
    const float dt = zzctrl.delt;

    LossProfile profile;
    const LossProfile* use_profile = nullptr;
    if (ip(p, 21) == 1 && read_loss_profile(p, profile)) use_profile = &profile;

    WorkingUnits units;
    Report report;
    // A fibre whose set-up failed stays dark in the run: outside the filter
    // pass its record says so where the run looks for it, so that the run
    // neither reads nor writes the records of the blocks after it.
    auto fail = [&](const std::string& what) {
        if (!what.empty()) opxerr("Fiber at " + caption48(p) + "\n" + what);
        close_working(units, 1);
        report.close(1);
        if (!filter_pass && saved_fits()) {
            const std::int32_t si = claim_state(kSavedIntState).ints;
            if (zzsupv.storephase == 1) ist_at(si)[0] = kDisabled;
        }
    };
    if (!open_working(instance, dimensioning, units)) return fail("");
    if (!dimensioning && !filter_pass && ip(p, 12) != 0) report.open(p);
    rewind_working(units, dimensioning);

    if (filter_pass && evalen(k, units.om, rp(p, 1), rp(p, 2)) < 0.0f)
        return fail("     the working file om cannot be written");
    unit_rewind(units.om);
    float actual = 0.0f;
    if (!records::read_values(stream(units.om), actual)) return fail("     the working files cannot be read");

    const CarrierCount carriers = count_carriers(input, dt, dimensioning);
    const StepPlan steps = plan_steps(p, actual, carriers, instance);
    const double precision = filter_precision(p, steps);
    report_steps(report, p, instance, carriers, steps, precision);
    if (filter_pass && !design_step_filters(p, k, steps, precision, use_profile, units, input)) return fail("");

    SavedDesign design;
    if (!read_design(units, design)) return fail("     the working files cannot be read");
    output.gd = design.delays;
    const std::int32_t n = std::int32_t{1} << design.nexp;
    fibre_window(in, n, dt, design, out);
    report_window(report, p, design, n, out);

    const std::int64_t samples = std::llround(static_cast<double>((out.toff - in.ton) / dt)) + 1;
    const std::int32_t nbuf = static_cast<std::int32_t>(std::clamp<std::int64_t>(samples / n, 0, INT32_MAX));

    fibre_spectrum(p, use_profile, input.ps.data(), input.pp, output.ps.data(), output.pp);

    const RunSizes sizes{steps.nsteps, nbuf, design.ncoef, n, design.memlen};
    if (!claim_storage(p, filter_pass, sizes, design, out, output)) return fail("");

    if (dimensioning) request_split(p, instance, steps, optcl_ctrl.memused);

    if (report.active()) {
        report.item("  Allocated memory [bytes]", fmt::list_int(optcl_ctrl.memused));
        report.line(" End of fiber block informations");
        report.line("");
    }
    report.close();
    close_working(units, 0);
}

}  // namespace nodrix
