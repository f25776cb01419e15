#include "models/fibre/fibre_block.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <span>

#include "filters/filter_tables.h"
#include "filters/spline.h"
#include "kernel/storage.h"
#include "models/fibre/split_step.h"
#include "runtime/filexx.h"
#include "runtime/format.h"
#include "runtime/io_file.h"
#include "runtime/opxfile.h"
#include "runtime/record_file.h"
#include "runtime/wisdom.h"

namespace nodrix {

namespace {

// Words of the set-up saved in instance storage.
constexpr std::int32_t kSavedInts = 13;   // steps, buffers, coefficients, N, n, memory length, 6 Raman sizes, seed
constexpr std::int32_t kSavedReals = 7 + 2 * kBins;  // length, window, ppkout, Raman amplitude, dlyout, psdout
// Run-state sample counter values before the filters are loaded and after a failed load.
constexpr std::int32_t kNotLoaded = -2;
constexpr std::int32_t kDisabled = -1;
// Scratch units of the dimensioning mode.
constexpr std::int32_t kScratchOm = 99;
constexpr std::int32_t kScratchO7 = 96;
constexpr std::int32_t kScratchOs = 95;
constexpr std::int32_t kMaxProfilePoints = 4096;

std::int32_t ip(const FiberParams& p, int word) { return p.ipar[static_cast<std::size_t>(word - 1)]; }
float rp(const FiberParams& p, int word) { return p.rpar[static_cast<std::size_t>(word - 1)]; }

std::string trimmed(const std::string& s) {
    const auto last = s.find_last_not_of(' ');
    return last == std::string::npos ? std::string() : s.substr(0, last + 1);
}

std::string caption48(const FiberParams& p) { return p.title.substr(0, std::min<std::size_t>(48, p.title.size())); }

std::string working_name(const char* prefix, std::int32_t instance) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%s%06d", prefix, static_cast<int>(instance));
    return buf;
}

// Report file base: the instance name with characters that could leave the
// working directory or upset a file system replaced by '_'.
std::string report_name(const FiberParams& p) {
    std::string base = trimmed(p.name);
    const auto first = base.find_first_not_of(' ');
    base = first == std::string::npos ? std::string() : base.substr(first);
    for (char& c : base)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.')) c = '_';
    if (base.empty() || base.find_first_not_of('.') == std::string::npos) base = working_name("fr", ip(p, 1));
    return base;
}

bool raman_requested(const FiberParams& p) { return ip(p, 4) != 0 || ip(p, 6) != 0 || ip(p, 7) != 0; }

// A description of what is wrong with the parameters, or null.
const char* parameter_problem(const FiberParams& p) {
    if (!(rp(p, 1) > 0.0f)) return "     the length must be positive";
    if (!(std::fabs(rp(p, 2)) < 100.0f)) return "     the length tolerance must lie below 100 %";
    if (!(rp(p, 27) > 0.0f)) return "     the reference system length must be positive";
    if (ip(p, 1) < 0 || ip(p, 1) > 999999) return "     the instance number must lie between 0 and 999999";
    if (!(ssprsn.ssp7 > 0.0f)) return "     the largest non-linear phase per step must be positive";
    if (!(zzctrl.delt > 0.0f) || !(zdctrl.ddelt > 0.0)) return "     the time step must be positive";
    return nullptr;
}

void empty_outputs(OpticalSignal& output) {
    output.x = empty_field();
    output.y = empty_field();
}

// ---------------------------------------------------------------------------
// Working files

struct WorkingUnits {
    std::int32_t om = 0, o1 = 0, o4 = 0, o7 = 0, os = 0;
    bool scratch = false;
};

void close_working(WorkingUnits& u, std::int32_t mode) {
    if (u.scratch) {
        close_unit(kScratchOm);
        close_unit(kScratchO7);
        close_unit(kScratchOs);
    } else {
        for (std::int32_t* unit : {&u.om, &u.o1, &u.o4, &u.o7, &u.os})
            if (*unit != 0) clodev(*unit, mode);
    }
    u = WorkingUnits{};
}

bool open_working(std::int32_t instance, bool dimensioning, WorkingUnits& u) {
    u = WorkingUnits{};
    if (dimensioning) {
        u.scratch = true;
        const bool ok = open_scratch_unit(kScratchOm, false) && open_scratch_unit(kScratchO7, false) &&
                        open_scratch_unit(kScratchOs, false);
        u.om = kScratchOm;
        u.o7 = kScratchO7;
        u.os = kScratchOs;
        if (!ok) opxerr("Fiber scratch units 95, 96 and 99 are not free");
        return ok;
    }
    auto open = [instance](const char* prefix, std::int32_t& unit) {
        const std::string name = working_name(prefix, instance);
        opnfil(name.c_str(), kUnformattedUnknown, unit, static_cast<std::int32_t>(name.size()));
        return unit_stream(unit) != nullptr;
    };
    return open("om", u.om) && open("o1", u.o1) && open("o4", u.o4) && open("o7", u.o7) && open("os", u.os);
}

void rewind_working(const WorkingUnits& u, bool dimensioning) {
    unit_rewind(u.om);
    unit_rewind(u.o7);
    unit_rewind(u.os);
    if (!dimensioning) {
        unit_rewind(u.o1);
        unit_rewind(u.o4);
    }
}

std::FILE* stream(std::int32_t unit) { return unit_stream(unit); }

// ---------------------------------------------------------------------------
// Report

class Report {
public:
    void open(const FiberParams& p) {
        const std::string name = report_name(p);
        opnfil(name.c_str(), kFormattedNew, unit_, static_cast<std::int32_t>(name.size()));
        if (unit_stream(unit_) == nullptr) unit_ = 0;
    }
    bool active() const { return unit_ != 0; }
    void line(const std::string& text) {
        if (unit_ != 0) unit_write_line(unit_, text);
    }
    // A list-directed record: one blank, the text, the value.
    void item(const char* text, const std::string& value) { line(std::string(" ") + text + value); }
    // Mode 0 keeps the report, 1 removes an unfinished one.
    void close(std::int32_t mode = 0) {
        if (unit_ != 0) clodev(unit_, mode);
        unit_ = 0;
    }

private:
    std::int32_t unit_ = 0;
};

// ---------------------------------------------------------------------------
// Run storage

// Positions of the per-step, per-buffer and buffer storage, in request order.
struct RunStorage {
    std::int32_t exponent = 0, offset = 0, blocks = 0;                   // I, per step
    std::int32_t alpha = 0, gamma = 0, length = 0, gleff = 0, loss = 0;  // D, per step
    std::int32_t coef = 0, buffer = 0, work = 0, memory = 0;             // ZD
    std::int32_t first = 0, last = 0;                                    // I, per buffer
    std::int32_t dmin = 0, dmax = 0;                                     // D, per step
    std::int32_t state = 0;                                              // I, sample and buffer counter
};

struct RunSizes {
    std::int32_t steps = 0, nbuf = 0, ncoef = 0, n = 0, memlen = 0;
};

void request_run_storage(const RunSizes& s, RunStorage& r) {
    r.exponent = loci(s.steps);
    r.offset = loci(s.steps);
    r.blocks = loci(s.steps);
    r.alpha = locd(s.steps);
    r.gamma = locd(s.steps);
    r.length = locd(s.steps);
    r.gleff = locd(s.steps);
    r.loss = locd(s.steps);
    r.coef = lozd(s.ncoef);
    r.buffer = lozd(s.n);
    r.work = lozd(4 * s.n);
    r.memory = lozd(s.memlen);
    r.first = loci(s.nbuf);
    r.last = loci(s.nbuf);
    r.dmin = locd(s.steps);
    r.dmax = locd(s.steps);
    r.state = loci(2);
}

// In allocating mode the kernel does not check its capacities: a request that
// would run past them is refused here instead.
bool run_storage_fits(const RunSizes& s) {
    if (zzsupv.storephase != 1) return true;
    const std::int64_t steps = s.steps;
    const std::int64_t ints = 3 * (steps + 2) + 2 * (std::int64_t{s.nbuf} + 2) + (2 + 2);
    const std::int64_t doubles = 7 * (steps + 2);
    const std::int64_t zd = (std::int64_t{s.ncoef} + 2) + (std::int64_t{s.n} + 2) + (4 * std::int64_t{s.n} + 2) +
                            (std::int64_t{s.memlen} + 2);
    const StorageCounts& k = storage_capacities();
    return zzsupv.i + ints - 1 <= k.i && zzsupv.d + doubles - 1 <= k.d && zzsupv.zd + zd - 1 <= k.zd;
}

bool saved_fits() {
    if (zzsupv.storephase != 1) return true;
    const StorageCounts& k = storage_capacities();
    return zzsupv.i + kSavedInts + 2 - 1 <= k.i && zzsupv.h + kSavedReals + 2 - 1 <= k.h;
}

void storage_error(const FiberParams& p) {
    opxerr("Fiber at " + caption48(p) + "\n     the kernel storage is too small for this fibre");
}

}  // namespace

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

}  // namespace

bool read_loss_profile(const FiberParams& p, LossProfile& profile) {
    profile = LossProfile{};
    const std::string header = "User defined loss profile at " + caption48(p);
    const std::string file = trimmed(p.lossf);
    // A missing profile is not created empty under the user's name.
    if (std::FILE* probe = file.empty() ? nullptr : std::fopen(file.c_str(), "r"); probe != nullptr) {
        std::fclose(probe);
    } else {
        opxerr("File " + file + " not found");
        return false;
    }
    std::int32_t unit = 0;
    opnfil_as_named(file.c_str(), kFormattedUnknown, unit, static_cast<std::int32_t>(file.size()));
    if (unit_stream(unit) == nullptr) return false;
    const bool wavelength = ip(p, 22) == 1;

    std::string line;
    std::vector<std::string> tokens;
    bool marker = false;
    while (unit_read_line(unit, line)) {
        tokens.clear();
        split_tokens(line, tokens);
        if (!tokens.empty() && tokens[0].rfind("##", 0) == 0) {
            marker = true;
            break;
        }
    }
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
    // The spline needs rising abscissae: put unordered data in order and keep
    // the first of equal ones.
    if (!std::is_sorted(xs.begin(), xs.end()) || std::adjacent_find(xs.begin(), xs.end()) != xs.end()) {
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
// The block

namespace {

void spectral_face(const FiberParams& p, const OpticalSignal& input, OpticalSignal& output) {
    empty_outputs(output);
    if (zzctrl.pass != 0) return;
    LossProfile profile;
    const LossProfile* use = nullptr;
    if (ip(p, 21) == 1 && read_loss_profile(p, profile)) use = &profile;
    fibre_spectrum(p, use, input.ps.data(), input.pp, output.ps.data(), output.pp);
    if (optcl_ctrl.setuponly == 0) output.gd = input.gd;
    output.iv = input.iv;
}

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

void setup_face(const FiberParams& p, const InputWindow& in, TimeWindow& out, const OpticalSignal& input,
                OpticalSignal& output) {
    output.iv = input.iv;
    empty_outputs(output);
    const std::int32_t instance = ip(p, 1);
    const std::int32_t k = (instance % 50) + 1;
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
            const std::int32_t si = loci(kSavedInts);
            if (zzsupv.storephase == 1) ist_at(si)[0] = kDisabled;
        }
    };
    if (!open_working(instance, dimensioning, units)) {
        fail("");
        return;
    }
    if (!dimensioning && !filter_pass && ip(p, 12) != 0) report.open(p);
    rewind_working(units, dimensioning);

    if (filter_pass && evalen(k, units.om, rp(p, 1), rp(p, 2)) < 0.0f) {
        fail("     the working file om cannot be written");
        return;
    }
    unit_rewind(units.om);
    float actual = 0.0f;
    if (!records::read_values(stream(units.om), actual)) {
        fail("     the working files cannot be read");
        return;
    }

    // Carriers and powers.
    float resolution = 0.01f;
    if (1.0f / dt < 0.04f) resolution = 0.1f / dt;
    std::array<float, kBins> smoothed{};
    spemed(resolution, input.ps.data(), smoothed.data());
    std::int32_t carriers = 0;
    float total_power = 0.0f;
    numcha(resolution, smoothed.data(), carriers, total_power);
    float peak = input.pp;
    if (dimensioning && carriers > 0) {
        const float x = (static_cast<float>(ssprsn.ssp6) - 1.0f) * 0.06666667f;
        peak = (1.0f + 0.5f * static_cast<float>(carriers - 1) * std::exp(-(x * x))) * input.pp;
    }

    // Steps.
    std::vector<double> h(static_cast<std::size_t>(kMaxSteps), 0.0);
    std::int32_t nsteps = 0;
    std::int32_t uniform = 0;
    const double alpha = static_cast<double>(rp(p, 3)) / (20.0 * std::log10(std::exp(1.0)));
    const double gamma = 0.001 * static_cast<double>(rp(p, 12));
    double beta2 = rp(p, 6);
    double beta3 = rp(p, 7);
    const double beta4 = rp(p, 8);
    const double beta5 = rp(p, 9);
    if (ip(p, 3) == 1) {
        NonlinearStepInput s;
        s.beta2 = beta2;
        s.beta3 = beta3;
        s.beta4 = beta4;
        s.beta5 = beta5;
        s.total_power = total_power;
        s.peak_power = peak;
        s.carriers = carriers;
        s.alpha = alpha;
        s.gamma = gamma;
        s.length = actual;
        s.system_length = rp(p, 27);
        s.phase_divisor = 360.0 / static_cast<double>(ssprsn.ssp7);
        s.fwm_accuracy = ssprsn.ssp1;
        stpeva(s, nsteps, h, uniform, p.memfile, instance);
    } else {
        stpeli(beta2, beta3, beta4, beta5, actual, nsteps, h, p.memfile, instance);
    }
    bool split = false;
    float length_used = actual;
    if (nsteps < 0) {
        // The schedule generator cuts this fibre; a dummy step lets the pass complete.
        std::fill(h.begin(), h.end(), 0.0);
        nsteps = 1;
        h[0] = 1e-6;
        length_used = 1e-6f;
        beta2 = 0.1;
        beta3 = 0.0;
        split = true;
    }

    // Filter precision.
    double precision = std::pow(10.0, (std::log10(static_cast<double>(ssprsn.ssp3) * length_used /
                                                  (static_cast<double>(nsteps) * rp(p, 27))) -
                                       0.66) * 1.0666666666666667 -
                                          0.5);
    precision = std::max(1e-8, std::isfinite(precision) ? precision : 1e-8);
    if (ip(p, 3) != 0 && uniform != 1 && ssprsn.ssp2 == 0) precision *= 4.0;

    const bool detailed = ip(p, 12) == 2;
    if (report.active()) {
        report.line(fmt::A(p.title, 50));
        report.line("");
        report.line(" Begin of fiber block informations");
        if (detailed) report.item("  Fiber span number", fmt::list_int(instance));
        report.item("P    Actual length [Km] =", fmt::list_real(length_used));
        if (detailed) {
            report.item("P    Number of detected carriers =", fmt::list_int(carriers));
            report.item("P    Average power per carrier [mW] =",
                        fmt::list_real(total_power / static_cast<float>(std::max(carriers, 1))));
            report.item("P    Input peak power [mW] =", fmt::list_real(peak));
        }
        report.item("P    Number of steps =", fmt::list_int(nsteps));
        report.item("P    Minimum step size [Km] =", fmt::list_double(h[0]));
        report.item("P    Maximum step size [Km] =", fmt::list_double(h[static_cast<std::size_t>(nsteps - 1)]));
        if (detailed) report.item("  Filter precision (dmfraz) =", fmt::list_double(precision));
    }

    if (filter_pass) {
        WrtfisInput w;
        w.k = k;
        w.loss = rp(p, 3);
        w.shape.slope = rp(p, 4);
        w.shape.curvature = rp(p, 5);
        w.shape.profile = use_profile;
        w.shape.fcenter = f_vbs_band.fcenter;
        w.beta2 = beta2;
        w.beta3 = beta3;
        w.beta4 = beta4;
        w.beta5 = beta5;
        w.dispersion_model = ip(p, 2);
        w.spread = rp(p, 10);
        w.section = rp(p, 11);
        w.gamma = rp(p, 12);
        w.unit_om = units.om;
        w.unit_o1 = units.o1;
        w.unit_o4 = units.o4;
        w.unit_o7 = units.o7;
        w.unit_os = units.os;
        w.nsteps = nsteps;
        w.h = h.data();
        w.dlyin = input.gd.data();
        w.precision = precision;
        if (!wrtfis(w)) {
            fail("");
            return;
        }
    }

    // The set-up as the working files hold it.
    unit_rewind(units.os);
    std::array<float, kBins> delays{};
    unit_rewind(units.om);
    std::int32_t ncoef = 0, nexp = 0, memlen = 0;
    float dispersion = 0.0f;
    std::array<std::int32_t, 6> raman{};
    bool ok = records::read_array(stream(units.os), std::span<float>(delays)) &&
              records::read_values(stream(units.om), actual) && records::read_values(stream(units.om), ncoef) &&
              records::read_values(stream(units.om), nexp) && records::read_values(stream(units.om), memlen) &&
              records::read_values(stream(units.om), dispersion);
    for (std::int32_t& r : raman) ok = ok && records::read_values(stream(units.om), r);
    unit_rewind(units.o7);
    double dmin = 0.0;
    double dmax = 0.0;
    ok = ok && last_delays(units.o7, dmin, dmax);
    if (!ok || nexp < 0 || nexp > kMaxFilterExponent || ncoef < 0 || memlen < 0) {
        fail("     the working files cannot be read");
        return;
    }
    output.gd = delays;
    const std::int32_t n = std::int32_t{1} << nexp;
    const float average_dispersion = dispersion / actual;

    const float tinon = in.ton;
    const float tindur = in.twinin;
    out.tgoodi = tinon + static_cast<float>(n) * dt + static_cast<float>(dmax);
    out.toff = out.tgoodi + tindur;
    out.tgoodf = tinon + tindur + static_cast<float>(n) * dt + static_cast<float>(dmin);
    out.ton = out.tgoodf - tindur;

    if (report.active()) {
        report.item("P    Average dispersion [ps2/km] =", fmt::list_real(average_dispersion));
        if (detailed) {
            report.item("  Buffer size =", fmt::list_int(n));
            report.item("  On instant of the output [ps] =", fmt::list_real(out.ton));
            report.item("  Good output start [ps] =", fmt::list_real(out.tgoodi));
            report.item("  Good output stop [ps] =", fmt::list_real(out.tgoodf));
            report.item("  Off instant of the output [ps] =", fmt::list_real(out.toff));
        }
    }

    const std::int64_t samples = std::llround(static_cast<double>((out.toff - tinon) / dt)) + 1;
    const std::int32_t nbuf = static_cast<std::int32_t>(std::clamp<std::int64_t>(samples / n, 0, INT32_MAX));

    fibre_spectrum(p, use_profile, input.ps.data(), input.pp, output.ps.data(), output.pp);

    const RunSizes sizes{nsteps, nbuf, ncoef, n, memlen};
    bool allocate = true;
    if (!filter_pass) {
        if (!saved_fits()) {
            storage_error(p);
            fail("");
            return;
        }
        const std::int32_t si = loci(kSavedInts);
        const std::int32_t sh = loch(kSavedReals);
        allocate = run_storage_fits(sizes);
        if (zzsupv.storephase == 1) {
            std::int32_t* s = ist_at(si);
            s[0] = allocate ? nsteps : kDisabled;
            s[1] = nbuf;
            s[2] = ncoef;
            s[3] = n;
            s[4] = nexp;
            s[5] = memlen;
            for (int i = 0; i < 6; ++i) s[6 + i] = raman[static_cast<std::size_t>(i)];
            const std::int32_t top = inftop.itop1;
            s[12] = top + seeds[static_cast<std::size_t>(((4 * top) % 10 + 10) % 10)];
            float* r = hist_at(sh);
            r[0] = actual;
            r[1] = out.ton;
            r[2] = out.toff;
            r[3] = out.tgoodi;
            r[4] = out.tgoodf;
            r[5] = output.pp;
            r[6] = static_cast<float>(std::sqrt(kPlanck * static_cast<double>(f_vbs_band.fcenter) * 5e14 / zdctrl.ddelt));
            std::copy(output.gd.begin(), output.gd.end(), r + 7);
            std::copy(output.ps.begin(), output.ps.end(), r + 7 + kBins);
        }
    } else {
        allocate = run_storage_fits(sizes);
    }
    if (allocate) {
        RunStorage rs;
        request_run_storage(sizes, rs);
        if (!filter_pass && zzsupv.storephase == 1) {
            std::int32_t* state = ist_at(rs.state);
            state[0] = kNotLoaded;
            state[1] = 0;
        }
    } else {
        storage_error(p);
    }

    // Dimensioning check: a fibre whose storage exceeds the block limit is cut
    // into pieces of consecutive steps.
    const std::int32_t memused = optcl_ctrl.memused;
    if (dimensioning && !split && (p.memlim < memused || memused < 0)) {
        const std::int64_t per_step = memused >= 0 ? 2 * (std::int64_t{memused} / nsteps)
                                                   : std::llround(2.1474836e9 / static_cast<double>(nsteps));
        std::vector<double> pieces;
        std::int32_t i = 0;
        while (i < nsteps) {
            // A piece takes its first step even when one step alone exceeds the limit.
            double piece = h[static_cast<std::size_t>(i)];
            std::int64_t taken = 1;
            ++i;
            while (i < nsteps && (taken + 1) * per_step < p.memlim) {
                piece += h[static_cast<std::size_t>(i)];
                ++taken;
                ++i;
            }
            pieces.push_back(piece);
        }
        write_split_request(p.memfile, instance, pieces, 50);
    }

    if (report.active()) {
        report.item("  Allocated memory [bytes]", fmt::list_int(optcl_ctrl.memused));
        report.line(" End of fiber block informations");
        report.line("");
    }
    report.close();
    close_working(units, 0);
}

// ---------------------------------------------------------------------------
// Run

struct RunView {
    std::int32_t* exponent;
    std::int32_t* offset;
    std::int32_t* blocks;
    double* alpha;
    double* gamma;
    double* length;
    double* gleff;
    double* loss;
    std::complex<double>* coef;
    std::complex<double>* buffer;
    std::complex<double>* work;
    std::complex<double>* memory;
    std::int32_t* first;
    std::int32_t* last;
    double* dmin;
    double* dmax;
    std::int32_t* state;
};

RunView view_of(const RunStorage& r) {
    return RunView{ist_at(r.exponent), ist_at(r.offset), ist_at(r.blocks), dist_at(r.alpha), dist_at(r.gamma),
                   dist_at(r.length), dist_at(r.gleff), dist_at(r.loss), zisd_at(r.coef), zisd_at(r.buffer),
                   zisd_at(r.work), zisd_at(r.memory), ist_at(r.first), ist_at(r.last), dist_at(r.dmin),
                   dist_at(r.dmax), ist_at(r.state)};
}

// Loads the step filters from the working files, prepares the FFT plans and
// the buffer schedule, and removes the working files.
bool load_run(const FiberParams& p, const RunSizes& s, float tindur, const RunView& v) {
    WorkingUnits units;
    if (!open_working(ip(p, 1), false, units)) {
        close_working(units, 1);
        return false;
    }
    rewind_working(units, false);
    const bool nonlinear = ip(p, 3) == 1;
    bool ok = true;
    std::int64_t coef_at = 0;
    std::int64_t memory_at = 0;
    for (std::int32_t i = 0; i < s.steps && ok; ++i) {
        std::int32_t k = 0;
        double alpha = 0.0, gamma = 0.0, h = 0.0;
        ok = records::read_values(stream(units.o1), k, alpha, gamma, h) && k >= 1 && k <= kMaxFilterExponent &&
             (std::int32_t{1} << k) <= s.n;
        if (!ok) break;
        const std::int64_t m = std::int64_t{1} << k;
        ok = coef_at + 2 * m <= s.ncoef && memory_at + m <= s.memlen;
        if (!ok) break;
        ok = slinea_ready(k);
        v.exponent[i] = k;
        v.offset[i] = static_cast<std::int32_t>(coef_at);
        v.blocks[i] = static_cast<std::int32_t>(s.n / m);
        v.alpha[i] = alpha;
        v.gamma[i] = gamma;
        v.length[i] = h;
        v.gleff[i] = !nonlinear ? 0.0 : alpha != 0.0 ? gamma * (1.0 - std::exp(-2.0 * alpha * h)) / (2.0 * alpha)
                                                   : gamma * h;
        v.loss[i] = std::exp(-alpha * h);
        coef_at += 2 * m;
        memory_at += m;
    }
    std::vector<std::byte> record;
    for (std::int32_t i = 0; i < s.steps && ok; ++i) {
        const std::int64_t m2 = std::int64_t{2} << v.exponent[i];
        const double scale = 1.0 / static_cast<double>(m2);
        std::complex<double>* c = v.coef + v.offset[i];
        for (std::int64_t j = 0; j < m2 && ok; ++j) {
            ok = records::read(stream(units.o4), record) && record.size() >= sizeof(std::complex<double>);
            if (ok) {
                std::memcpy(&c[j], record.data(), sizeof(std::complex<double>));
                c[j] *= scale;
            }
        }
    }
    for (std::int32_t i = 0; i < s.steps && ok; ++i) ok = records::read_values(stream(units.o7), v.dmin[i], v.dmax[i]);
    close_working(units, 1);
    if (!ok) return false;
    // A step whose filter equals the previous step's uses that copy: equal
    // steps then share one cached filter instead of streaming every copy
    // from memory at each buffer. The overlap memories stay per step.
    for (std::int32_t i = 1; i < s.steps; ++i) {
        if (v.exponent[i] != v.exponent[i - 1]) continue;
        const std::size_t bytes = sizeof(std::complex<double>) * (std::size_t{2} << v.exponent[i]);
        if (std::memcmp(v.coef + v.offset[i], v.coef + v.offset[i - 1], bytes) == 0) v.offset[i] = v.offset[i - 1];
    }

    std::fill(v.buffer, v.buffer + s.n, std::complex<double>{});
    std::fill(v.memory, v.memory + s.memlen, std::complex<double>{});
    v.state[0] = 0;
    v.state[1] = 0;

    // Steps each buffer passes: from the first step after which the buffer can
    // hold signal to the first step whose signal starts after the buffer ends.
    const double dt = zzctrl.delt;
    const double span = static_cast<double>(s.n) * dt;
    for (std::int32_t b = 1; b <= s.nbuf; ++b) {
        const double end = static_cast<double>(b) * span;
        std::int32_t e = s.steps;
        for (std::int32_t i = 1; i <= s.steps; ++i)
            if (v.dmin[i - 1] >= end) {
                e = i;
                break;
            }
        auto reaches = [&](std::int32_t i) { return end - (v.dmax[i - 1] + tindur) < span; };
        std::int32_t i = e;
        while (i > 1 && reaches(i)) --i;
        const std::int32_t first = (i == 1 && reaches(1)) ? 1 : i + 1;
        v.first[b - 1] = first;
        v.last[b - 1] = e;
    }
    return true;
}

void run_face(const FiberParams& p, const InputWindow& in, TimeWindow& out, const OpticalSignal& input,
              OpticalSignal& output) {
    const float t = zzctrl.time;
    empty_outputs(output);
    if (zzsupv.storephase != 1) return;  // nothing was kept for a run
    const std::int32_t* saved = ist_at(loci(kSavedInts));
    if (saved[0] < 0) return;
    const float* restored = hist_at(loch(kSavedReals));
    const RunSizes s{saved[0], saved[1], saved[2], saved[3], saved[5]};
    RunStorage rs;
    request_run_storage(s, rs);
    const RunView v = view_of(rs);

    out.ton = restored[1];
    out.toff = restored[2];
    out.tgoodi = restored[3];
    out.tgoodf = restored[4];
    output.pp = restored[5];
    std::int32_t& count = v.state[0];
    std::int32_t& buffers = v.state[1];
    if (t <= 0.0f || count == kNotLoaded) {
        std::copy(restored + 7, restored + 7 + kBins, output.gd.begin());
        std::copy(restored + 7 + kBins, restored + 7 + 2 * kBins, output.ps.begin());
        if (!load_run(p, s, in.twinin, v)) {
            count = kDisabled;
            opxerr("Fiber at " + caption48(p) + "\n     the working files cannot be read");
        }
    }
    if (count < 0) return;
    if (t < in.ton || t >= out.toff) return;

    const std::int32_t n = s.n;
    if (count == n) {
        ++buffers;
        if (buffers <= s.nbuf) {
            const bool nonlinear = ip(p, 3) == 1;
            const std::int32_t first = v.first[buffers - 1];
            // Overlap memory of a step: after the memories (M each) of the steps before it.
            std::int64_t memory_at = 0;
            for (std::int32_t i = 1; i < first; ++i) memory_at += std::int64_t{1} << v.exponent[i - 1];
            for (std::int32_t i = first; i <= v.last[buffers - 1]; ++i) {
                slinea(i, v.exponent, v.offset, v.blocks, v.coef + v.offset[i - 1], v.memory + memory_at, n, v.work,
                       v.buffer);
                memory_at += std::int64_t{1} << v.exponent[i - 1];
                if (nonlinear) {
                    snonli(i, v.gleff, v.loss, n, v.buffer);
                } else if (v.loss[i - 1] != 1.0) {
                    const double a = v.loss[i - 1];
                    for (std::int32_t j = 0; j < n; ++j) v.buffer[j] *= a;
                }
            }
        }
        count = 0;
    }
    ++count;
    std::complex<double>& slot = v.buffer[count - 1];
    output.x.re = static_cast<float>(slot.real());
    output.x.im = static_cast<float>(slot.imag());
    const std::int32_t filling = buffers + 1;
    if (filling <= s.nbuf && v.first[filling - 1] == 1)
        slot = std::complex<double>(input.x.re, input.x.im);
    else
        slot = std::complex<double>{};
}

}  // namespace

void fiber1(const FiberParams& p, const InputWindow& in, TimeWindow& out, const OpticalSignal& input,
            OpticalSignal& output) {
    const bool run = zzctrl.pass != 0;
    const float t = zzctrl.time;
    // In the run a block without a field, or outside its window, outputs
    // empty samples and does no work. At set-up a block without a field still
    // hands on the attenuated spectrum and the delays (its spectral face).
    if (optcl_ctrl.setuponly == 0 && run && (input.iv == 0 || (t > 0.0f && t < in.ton) || t >= out.toff)) {
        empty_outputs(output);
        output.iv = input.iv;
        return;
    }
    // A fibre with parameters it cannot simulate, or with the Raman options,
    // reports at set-up and stays dark.
    const char* problem = parameter_problem(p);
    if (problem != nullptr || raman_requested(p)) {
        empty_outputs(output);
        if (run) return;
        output.iv = input.iv;
        if (problem != nullptr)
            opxerr("Fiber at " + caption48(p) + "\n" + problem);
        else
            opxerr("Raman amplification is not available in this program\nSimulation stopped");
        return;
    }
    if (optcl_ctrl.setuponly == 1 || input.iv == 0) {
        spectral_face(p, input, output);
        return;
    }
    if (run)
        run_face(p, in, out, input, output);
    else
        setup_face(p, in, out, input, output);
}

}  // namespace nodrix
