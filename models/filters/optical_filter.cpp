#include "models/filters/optical_filter.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

#include "kernel/control_blocks.h"
#include "kernel/filexx.h"
#include "kernel/lib00.h"
#include "kernel/storage.h"
#include "numerics/filter_synthesis.h"
#include "numerics/spline.h"
#include "runtime/chart_compact.h"
#include "runtime/format.h"
#include "runtime/opxfile.h"
#include "runtime/record_file.h"
#include "runtime/run_files.h"

namespace nodrix {

UsdfilArea usdfil_area;

namespace {

constexpr std::int32_t kMaxPoints = 4096;
constexpr const char* kHeader = "User defined optical filter at ";

using cd = std::complex<double>;

bool file_exists(const std::string& name) { return file_present(name); }

// Opens a working file of this block for writing, replacing any stale copy.
std::int32_t open_working_file(const std::string& name) {
    remove_run_file(name + ".DAT");
    std::int32_t unit = 0;
    opnfil(name.c_str(), kUnformattedUnknown, unit, static_cast<std::int32_t>(name.size()));
    return unit_stream(unit) != nullptr ? unit : 0;
}

// Opens an existing working file for reading (0 when it does not exist, so
// that no empty file is left behind).
std::int32_t open_existing_working_file(const std::string& name) {
    if (!file_exists(name + ".DAT")) return 0;
    std::int32_t unit = 0;
    opnfil(name.c_str(), kUnformattedUnknown, unit, static_cast<std::int32_t>(name.size()));
    return unit_stream(unit) != nullptr ? unit : 0;
}

std::array<std::int32_t, 4> area_words() {
    return {usdfil_area.polar_interpolation, usdfil_area.smoothing_window, usdfil_area.quiet_checks,
            usdfil_area.synthesis_status};
}

void failure_message(const UsdfilParams& p, const std::string& name, const char* reason) {
    usdfil_area.synthesis_status = -1;
    const auto words = area_words();
    warning_message_opt(p.file_options.data(), name, words.data());
    if (reason != nullptr) opxinfo(reason);
}

// ---- Reading the description file ----

bool parse_number(std::string token, double& v) {
    for (char& ch : token)
        if (ch == 'd' || ch == 'D') ch = 'E';  // Fortran double-precision exponent
    const char* s = token.c_str();
    char* end = nullptr;
    v = std::strtod(s, &end);
    return end != s && *end == '\0' && std::isfinite(v);
}

std::vector<std::string> tokens_of(const std::string& line) {
    std::vector<std::string> out;
    std::string cur;
    for (char ch : line) {
        if (ch == ' ' || ch == '\t' || ch == ',' || ch == '\r') {
            if (!cur.empty()) out.push_back(cur);
            cur.clear();
        } else {
            cur += ch;
        }
    }
    if (!cur.empty()) out.push_back(cur);
    return out;
}

// One list-directed read of `count` numbers from the lines `next` gives:
// starts on a new line and takes further lines while values are missing.
// False at the end of the file or on a value that is not a number.
template <class NextLine>
bool read_numbers(NextLine& next, int count, double* v) {
    int got = 0;
    std::string line;
    while (got < count) {
        if (!next(line)) return false;
        for (const std::string& t : tokens_of(line)) {
            if (!parse_number(t, v[got])) return false;
            if (++got == count) break;
        }
    }
    return true;
}

enum class ReadOutcome { kRead, kCannotOpen, kNoMarker };

struct Description {
    std::vector<double> f, b, c;
    std::int32_t n() const { return static_cast<std::int32_t>(f.size()); }
};

// The points after the "##" line, from the lines `next` gives; a repeated
// abscissa is left out and too many points cut short, with a warning unless
// `quiet`.
template <class NextLine>
ReadOutcome read_points(NextLine next, const UsdfilParams& p, const std::string& name, bool quiet, Description& d) {
    bool marker = false;
    std::string line;
    while (!marker && next(line)) {
        const auto t = tokens_of(line);
        marker = !t.empty() && t.front() == "##";
    }
    if (!marker) return ReadOutcome::kNoMarker;
    const bool frequency = p.file_options[kOptAbscissaIsFrequency] == 1;
    const int per_line = p.file_options[kOptDataKind] == 2 ? 2 : 3;
    double previous = -1e6;
    double v[3] = {0.0, 0.0, 0.0};
    while (read_numbers(next, per_line, v)) {
        if (v[0] == previous) {
            if (quiet) continue;
            opxwarn(kHeader + name);
            opxinfo((frequency ? "     the frequency value" : "     the wavelength value") +
                    fmt::list_real(static_cast<float>(v[0])));
            opxinfo("     in the data file is repeated ");
            opxinfo("     continuing using only the first occurence ");
            continue;
        }
        previous = v[0];
        d.f.push_back(v[0]);
        d.b.push_back(v[1]);
        d.c.push_back(per_line == 3 ? v[2] : 0.0);
        if (d.n() == kMaxPoints) {
            if (quiet) break;
            opxwarn(kHeader + name);
            opxinfo("     too many points in data file ");
            opxinfo("     continuing with a smaller number ");
            break;
        }
    }
    return ReadOutcome::kRead;
}

// The description file's name as the filter takes it: its non-blank
// characters counted (`length`), that many taken from the start.
std::string description_path(const UsdfilParams& p, std::int32_t& length) {
    length = 0;
    for (char ch : p.data_file)
        if (ch != ' ') ++length;
    return length == 0 ? std::string()
                       : trim_right(p.data_file.substr(0, static_cast<std::size_t>(length))) + ".DAT";
}

ReadOutcome read_description(const UsdfilParams& p, const std::string& name, Description& d) {
    std::int32_t length = 0;
    const std::string path = description_path(p, length);
    if (path.empty() || !file_exists(path)) return ReadOutcome::kCannotOpen;
    std::int32_t unit = 0;
    const std::string file(p.data_file);
    opnfil(file.c_str(), kFormattedUnknown, unit, length);
    if (unit_stream(unit) == nullptr) return ReadOutcome::kCannotOpen;
    const ReadOutcome outcome =
        read_points([unit](std::string& line) { return unit_read_line(unit, line); }, p, name, false, d);
    clodev(unit, 0);
    return outcome;
}

// Offset frequency [THz] of every abscissa, increasing.
void convert_abscissas(const UsdfilParams& p, Description& d, double fb) {
    const double s = p.abscissa_scale;
    const double o = p.abscissa_offset;
    const double fc = p.centre_frequency;
    const bool frequency = p.file_options[kOptAbscissaIsFrequency] == 1;
    const bool relative = p.file_options[kOptRelativeAbscissa] == 1;
    for (double& x : d.f) {
        if (frequency && !relative)
            x = x * s - fb + o;
        else if (!frequency && !relative)
            x = (kLightSpeed / x) * s - fb + o;
        else if (frequency)
            x = (fc - fb) + x * s + o;
        else
            x = (fc - fb) - (fb * fb / kLightSpeed) * x * s + o;
    }
    if (!frequency) vector_reversal(d.f.data(), d.b.data(), d.c.data(), d.n());
}

// Finite, strictly increasing frequencies: what the splines need (a zero
// wavelength, or a repeat that is not on consecutive lines, fails).
bool strictly_increasing(const Description& d) {
    for (double f : d.f)
        if (!std::isfinite(f)) return false;
    for (std::int32_t i = 0; i + 1 < d.n(); ++i)
        if (!(d.f[static_cast<std::size_t>(i + 1)] > d.f[static_cast<std::size_t>(i)])) return false;
    return true;
}

// Linear power transmission of a modulus column value.
double linear_power(double v, bool db) { return db ? std::pow(10.0, v / 10.0) : v; }

double bin_offset(std::int32_t i) {  // i from 1
    const double width = (static_cast<double>(flimit.fgridhi) - flimit.fgridlo) / kBins;
    return flimit.fgridlo + (i - 0.5) * width - static_cast<double>(f_vbs_band.fcenter);
}

// ---- Hand-over file ----

struct HandOver {
    std::int32_t active = 0;
    std::int32_t n = 1;
    std::int32_t log2n = 1;
    float peak = 0.0f;
    std::array<float, kBins> transmission{};
    std::array<float, kBins> delay{};
};

bool write_hand_over(const std::string& name, const HandOver& h, const cd* realised) {
    const std::int32_t unit = open_working_file(name);
    if (unit == 0) return false;
    std::FILE* f = unit_stream(unit);
    bool ok = records::write_values(f, h.active) && records::write_values(f, h.n) &&
              records::write_values(f, h.log2n) && records::write_values(f, 0.0) && records::write_values(f, h.peak);
    for (std::int32_t i = 0; ok && i < kBins; ++i)
        ok = records::write_values(f, static_cast<float>(bin_offset(i + 1)), h.transmission[static_cast<std::size_t>(i)],
                                   h.delay[static_cast<std::size_t>(i)]);
    for (std::int32_t k = 0; ok && k < h.n; ++k) ok = records::write_values(f, realised[k]);
    clodev(unit, 0);
    return ok;
}

// Reads records 1 to 1029; the stream is left before the response records.
bool read_hand_over_head(std::FILE* f, HandOver& h) {
    double reserved = 0.0;
    if (!(records::read_values(f, h.active) && records::read_values(f, h.n) && records::read_values(f, h.log2n) &&
          records::read_values(f, reserved) && records::read_values(f, h.peak)))
        return false;
    if (h.log2n < 1 || h.log2n > kMaxRealisedLog2 || h.n != (std::int32_t{1} << h.log2n)) {
        // An off filter records N = 1 with log2 N = 1.
        if (!(h.active == 0 && h.n == 1)) return false;
    }
    for (std::int32_t i = 0; i < kBins; ++i) {
        float f_bin = 0.0f;
        if (!records::read_values(f, f_bin, h.transmission[static_cast<std::size_t>(i)],
                                  h.delay[static_cast<std::size_t>(i)]))
            return false;
    }
    return true;
}

// The filter's state: its sizes and sample count, then the five areas of N
// values, claimed in this order in both passes.
struct FilterSizes {
    std::int32_t n, log2n, count;
};
constexpr StateSlot<FilterSizes> kFilterSizes[] = {
    {&FilterSizes::n, SlotKind::integer, 1},      // FFT length N
    {&FilterSizes::log2n, SlotKind::integer, 1},  // log2 N
    {&FilterSizes::count, SlotKind::integer, 1},  // samples collected in the current block
};

struct FilterAreas {
    std::int32_t h, x, y, xt, yt;
};

FilterAreas claim_filter_areas(std::int32_t n) {
    const StateSlot<FilterAreas> slots[] = {
        {&FilterAreas::h, SlotKind::complex_double, n},   // frequency response
        {&FilterAreas::x, SlotKind::complex_double, n},   // input blocks, X and Y
        {&FilterAreas::y, SlotKind::complex_double, n},
        {&FilterAreas::xt, SlotKind::complex_double, n},  // overlap tails, X and Y
        {&FilterAreas::yt, SlotKind::complex_double, n},
    };
    return claim_state(slots);
}

// ---- Per-sample pass ----

void usdfil_sample(const InputWindow& in, const TimeWindow& out, const FieldSample& x_in, const FieldSample& y_in,
                   OpticalSignal& sig_out) {
    const float fb = f_vbs_band.fcenter;
    const FieldSample empty{0.0f, 0.0f, fb};
    if (sig_out.iv == 0) {
        sig_out.x = empty;
        sig_out.y = empty;
        return;
    }
    // The slots and areas come back in the order they were reserved.
    const FilterSizes sizes = claim_state(kFilterSizes);
    const std::int32_t p_count = sizes.count;
    const std::int32_t n = *ist_at(sizes.n);
    const std::int32_t log2n = *ist_at(sizes.log2n);
    const FilterAreas areas = claim_filter_areas(n > 1 ? n : 1);
    const std::int32_t p_h = areas.h;
    const std::int32_t p_x = areas.x;
    const std::int32_t p_y = areas.y;
    const std::int32_t p_xt = areas.xt;
    const std::int32_t p_yt = areas.yt;
    const float t = zzctrl.time;
    if (n < 2 || !(in.ton <= t && t < out.toff)) {
        sig_out.x = empty;
        sig_out.y = empty;
        return;
    }
    std::int32_t& count = *ist_at(p_count);
    if (count >= n / 2) {
        filtri_runtime(p_h, p_x, p_y, p_xt, p_yt, n, log2n);
        count = 0;
    }
    const std::int32_t p = count + 1;
    cd& xs = zisd_at(p_x)[p - 1];
    cd& ys = zisd_at(p_y)[p - 1];
    sig_out.x = FieldSample{static_cast<float>(xs.real()), static_cast<float>(xs.imag()), fb};
    const FieldSample y_out{static_cast<float>(ys.real()), static_cast<float>(ys.imag()), fb};
    xs = cd(x_in.re, x_in.im);
    ys = cd(y_in.re, y_in.im);
    count = p;
    sig_out.y = optcl_ctrl.npol == 2 ? y_out : FieldSample{0.0f, 0.0f, 0.0f};
}

// ---- Initialisation from the hand-over file ----

// The spectral outputs of the hand-over: spectrum, delays, power, band flag.
void spectral_outputs(const HandOver& h, const OpticalSignal& sig_in, OpticalSignal& sig_out) {
    for (int i = 0; i < kBins; ++i) {
        const auto k = static_cast<std::size_t>(i);
        sig_out.ps[k] = h.transmission[k] * sig_in.ps[k];
        sig_out.gd[k] = h.delay[k] + sig_in.gd[k];
    }
    sig_out.pp = h.peak * sig_in.pp;
    sig_out.iv = h.active != 0 ? 1 : 0;
    sig_out.x = empty_field();
    sig_out.y = empty_field();
}

// The charts belong to a run: the counting round of a dimensioning pass
// (storage not allocated) would append them a second time. A filter that is
// off leaves no requested-data file behind.
void charts_of_run(const UsdfilParams& p, const HandOver& h) {
    if (p.file_options[kOptWriteCharts] != 1 || zzflmn.nohist != 0 || zzsupv.storephase != 1) return;
    if (h.active != 0)
        graph_out(p.block_name, p.file_base, p.file_options[kOptInstance], p.file_options[kOptDataKind],
                  f_vbs_band.fcenter);
    else
        delete_working_file(filename_generation(p.file_options[kOptInstance], "kp"));
}

void usdfil_initialise(const UsdfilParams& p, const InputWindow& in, TimeWindow& out, const OpticalSignal& sig_in,
                       OpticalSignal& sig_out) {
    const std::string name = trim_right(p.block_name);
    const std::string kn = filename_generation(p.file_options[kOptInstance], "kn");
    const bool keep = zzflmn.nohist != 0;
    HandOver h;
    const std::int32_t unit = open_existing_working_file(kn);
    std::FILE* f = unit != 0 ? unit_stream(unit) : nullptr;
    if (f == nullptr || !read_hand_over_head(f, h)) {
        opxerr(kHeader + name);
        opxinfo("   The filter working file " + kn + ".DAT cannot be read");
        h = HandOver{};
        h.active = 0;
    }
    spectral_outputs(h, sig_in, sig_out);
    charts_of_run(p, h);
    group_delay_window(in, sig_out.gd.data(), least_group_delay(sig_in.gd.data()), out);
    if (h.active == 0) {
        if (unit != 0) clodev(unit, keep ? 0 : 1);
        return;
    }
    const std::int32_t n = h.n;
    // Allocating mode never runs past the capacities once the dimensioning
    // check has passed; refuse, rather than let the records be laid past the
    // end of the arrays, when it has not.
    auto refuse = [&]() {
        opxerr(kHeader + name);
        opxinfo("   The kernel storage cannot hold the filter of " + std::to_string(n) + " points");
        sig_out.iv = 0;
        clodev(unit, keep ? 0 : 1);
    };
    const StorageCounts& capacity = storage_capacities();
    if (zzsupv.storephase == 1 &&
        (static_cast<std::int64_t>(zzsupv.i) + 3 * 3 - 1 > capacity.i ||
         static_cast<std::int64_t>(zzsupv.zd) + 5 * (static_cast<std::int64_t>(n) + 2) - 1 > capacity.zd)) {
        refuse();
        return;
    }
    const FilterSizes sizes = claim_state(kFilterSizes);
    const std::int32_t p_n = sizes.n;
    const std::int32_t p_log2n = sizes.log2n;
    const std::int32_t p_count = sizes.count;
    const FilterAreas areas = claim_filter_areas(n);
    const std::int32_t p_h = areas.h;
    const std::int32_t p_x = areas.x;
    const std::int32_t p_y = areas.y;
    const std::int32_t p_xt = areas.xt;
    const std::int32_t p_yt = areas.yt;
    if (keep) {
        clodev(unit, 0);
        return;
    }
    // Counting mode answers every request with position 1: the areas then
    // overlap, but they must still lie inside the array.
    if (std::max({p_h, p_x, p_y, p_xt, p_yt}) + static_cast<std::int64_t>(n) - 1 > capacity.zd) {
        refuse();
        return;
    }
    bool ok = true;
    cd* H = zisd_at(p_h);
    for (std::int32_t k = 0; ok && k < n; ++k) ok = records::read_values(f, H[k]);
    if (!ok) {
        opxerr(kHeader + name);
        opxinfo("   The filter working file " + kn + ".DAT cannot be read");
        sig_out.iv = 0;
        clodev(unit, 1);
        return;
    }
    *ist_at(p_n) = n;
    *ist_at(p_log2n) = h.log2n;
    *ist_at(p_count) = 0;
    for (std::int32_t area : {p_x, p_y, p_xt, p_yt}) std::fill(zisd_at(area), zisd_at(area) + n, cd(0.0, 0.0));
    clodev(unit, 1);
}

}  // namespace

std::string description_problem(const UsdfilParams& p, float band_centre_thz) {
    std::int32_t length = 0;
    const std::string path = description_path(p, length);
    if (path.empty()) return "no description file is named";
    std::ifstream in(path);
    if (!in) return "cannot read the description file " + path + ": " + std::strerror(errno);
    Description d;
    const auto next = [&in](std::string& line) { return static_cast<bool>(std::getline(in, line)); };
    if (read_points(next, p, "", true, d) == ReadOutcome::kNoMarker)
        return "the description file " + path + " has no line starting with ##";
    convert_abscissas(p, d, band_centre_thz);
    if (d.n() < 2) return "the description file " + path + " holds fewer than two data points";
    if (!strictly_increasing(d)) return "the abscissas of the description file " + path + " do not give increasing frequencies";
    return {};
}

std::string trim_right(std::string_view s) {
    const auto last = s.find_last_not_of(' ');
    return last == std::string_view::npos ? std::string() : std::string(s.substr(0, last + 1));
}

float next_frequency(float f, float step) {
    const float next = f + step;
    return next > f ? next : std::nextafter(f, HUGE_VALF);
}

std::string filename_generation(std::int32_t number, std::string_view prefix) {
    std::int64_t v = number;
    v = ((v % 1000000) + 1000000) % 1000000;
    char digits[8];
    std::snprintf(digits, sizeof digits, "%06lld", static_cast<long long>(v));
    return std::string(prefix) + digits;
}

void delete_working_file(const std::string& name) {
    if (!file_exists(name + ".DAT")) return;
    std::int32_t unit = 0;
    opnfil(name.c_str(), kFormattedUnknown, unit, static_cast<std::int32_t>(name.size()));
    if (unit_stream(unit) != nullptr) clodev(unit, 1);
}

namespace {

// Where the described points lie against the synthesis band (lo, hi).
struct BandCount {
    std::int32_t below = 0, above = 0, inside = 0;
};

BandCount count_in_band(const Description& d, double lo, double hi) {
    BandCount c;
    for (double f : d.f) {
        if (f <= lo)
            ++c.below;
        else if (f >= hi)
            ++c.above;
        else
            ++c.inside;
    }
    return c;
}

// The columns made ready for the splines: the complement, the requested-data
// file, smoothing, and the conversion to (re, im) or (modulus, phase).
void prepare_columns(const UsdfilParams& p, Description& d, bool& db, bool polar, double lo, double hi,
                     std::int32_t inside, std::FILE* kp) {
    const std::int32_t n = d.n();
    // The complement transmits the power the described filter rejects, 1 - P,
    // with the same phase or group delay; from here on the column is linear.
    if (p.file_options[kOptComplement] == 1) {
        for (double& v : d.b) v = std::max(0.0, 1.0 - linear_power(v, db));
        db = false;
    }
    if (kp != nullptr) {
        records::write_values(kp, inside);
        for (std::int32_t i = 0; i < n; ++i) {
            const auto k = static_cast<std::size_t>(i);
            if (d.f[k] > lo && d.f[k] < hi) records::write_values(kp, d.f[k], linear_power(d.b[k], db), d.c[k]);
        }
    }
    if (usdfil_area.smoothing_window > 1) smooth_data(d.f.data(), d.b.data(), d.c.data(), n, usdfil_area.smoothing_window);
    if (p.file_options[kOptDataKind] == 0) {
        for (std::int32_t i = 0; i < n; ++i) {
            const auto k = static_cast<std::size_t>(i);
            const double a = db ? std::pow(10.0, d.b[k] / 20.0) : std::sqrt(std::max(d.b[k], 0.0));
            if (polar) {
                d.b[k] = a;
            } else {
                const double phase = d.c[k];
                d.b[k] = a * std::cos(phase);
                d.c[k] = a * std::sin(phase);
            }
        }
    } else if (n >= 2 && strictly_increasing(d)) {
        convert_group_delay(d.f.data(), d.b.data(), d.c.data(), n, lo, hi, db, polar);
    }
}

// Synthesis from the spline table over the band (lo, hi) of the sampling
// frequency fs: the realised response and, when it is accurate, the
// hand-over (length, peak power gain, group delay).
void synthesise_filter(const UsdfilParams& p, const std::string& name, const Description& d,
                       const SplineTable& table, double fs, double lo, double hi, std::FILE* kp, HandOver& h,
                       std::vector<cd>& realised, OpticalSignal& sig_out) {
    const double fb = f_vbs_band.fcenter;
    const double f_first = d.f.front();
    const double f_last = d.f.back();
    const double f_min = std::max(f_first - 0.1 * fs, -0.5 * fs);
    const double f_max = std::min(f_last + 0.1 * fs, 0.5 * fs);
    const double band_lo = std::max(f_first, lo);
    const double band_hi = std::min(f_last, hi);
    realised.assign(static_cast<std::size_t>(kMaxRealisedPoints), cd(0.0, 0.0));
    std::vector<cd> scratch(static_cast<std::size_t>(kMaxRealisedPoints));
    std::int32_t log2n = 0;
    coefil(table, f_min, band_lo, band_hi, f_max, realised.data(), scratch.data(), log2n, fb, zdctrl.ddelt);
    const std::int32_t size = log2n > 0 ? std::int32_t{1} << log2n : 0;
    sig_out.iv = 1;
    if (accuracy_check(band_lo, band_hi, realised.data(), table, size, zdctrl.ddelt) || log2n < 0) {
        failure_message(p, name, nullptr);
        return;
    }
    usdfil_area.synthesis_status = 1;
    h.active = 1;
    h.n = size;
    h.log2n = log2n;
    double peak = 0.0;
    for (std::int32_t k = 0; k < size; ++k) peak = std::max(peak, std::norm(realised[static_cast<std::size_t>(k)]));
    h.peak = static_cast<float>(peak);
    std::vector<double> delay_scratch(static_cast<std::size_t>(size));
    estimate_filter_delay(realised.data(), delay_scratch.data(), size, h.delay.data(), fb, zdctrl.ddelt, kp,
                          kp != nullptr);
}

}  // namespace

void elab_filter(const UsdfilParams& p, std::int32_t& n_out, std::int32_t& log2n_out, const OpticalSignal& sig_in,
                 OpticalSignal& sig_out) {
    const auto& fo = p.file_options;
    const std::string name = trim_right(p.block_name);
    const double dt = zdctrl.ddelt;
    const double fs = 1.0 / dt;
    const double lo = -0.4 * fs;
    const double hi = 0.4 * fs;
    const bool polar = usdfil_area.polar_interpolation == 1;
    const bool quiet = usdfil_area.quiet_checks == -1;
    const bool charts = fo[kOptWriteCharts] == 1;
    bool db = fo[kOptModulusInDb] == 1;

    std::int32_t kp_unit = 0;
    if (charts) kp_unit = open_working_file(filename_generation(fo[kOptInstance], "kp"));
    std::FILE* kp = kp_unit != 0 ? unit_stream(kp_unit) : nullptr;

    Description d;
    const ReadOutcome outcome = read_description(p, name, d);
    const char* unusable = nullptr;
    if (outcome == ReadOutcome::kCannotOpen)
        unusable = "   The filter description file cannot be opened";
    else if (outcome == ReadOutcome::kNoMarker)
        unusable = "   The filter description file has no line starting with ##";
    convert_abscissas(p, d, f_vbs_band.fcenter);
    const std::int32_t n = d.n();
    const BandCount band = count_in_band(d, lo, hi);
    prepare_columns(p, d, db, polar, lo, hi, band.inside, kp);
    if (outcome == ReadOutcome::kRead)
        check_input_data(d.f.data(), d.b.data(), d.c.data(), n, lo, hi, band.inside, false, polar, quiet);
    if (unusable == nullptr && n < 2) unusable = "   The filter description file holds fewer than two data points";
    if (unusable == nullptr && !strictly_increasing(d))
        unusable = "   The abscissas of the filter description file do not give increasing frequencies";
    std::vector<double> b2(static_cast<std::size_t>(std::max(n, 1)), 0.0);
    std::vector<double> c2(static_cast<std::size_t>(std::max(n, 1)), 0.0);
    SplineTable table{d.f.data(), d.b.data(), b2.data(), d.c.data(), c2.data(), n, polar};
    if (unusable == nullptr) {
        dspline_clamped(d.f.data(), d.b.data(), n, b2.data());
        dspline_clamped(d.f.data(), d.c.data(), n, c2.data());
    }

    HandOver h;
    std::vector<cd> realised;
    if (unusable != nullptr) {
        failure_message(p, name, unusable);
    } else if (sig_in.iv != 0 && !((band.below == 0 || band.above == 0) && band.inside <= 10)) {
        synthesise_filter(p, name, d, table, fs, lo, hi, kp, h, realised, sig_out);
    }
    for (std::int32_t i = 0; i < kBins; ++i) {
        const auto k = static_cast<std::size_t>(i);
        const float t = unusable == nullptr ? static_cast<float>(table.power_at(bin_offset(i + 1))) : 0.0f;
        h.transmission[k] = t;
        sig_out.ps[k] = t * sig_in.ps[k];
        sig_out.gd[k] = h.delay[k] + sig_in.gd[k];
    }
    sig_out.pp = h.active != 0 ? sig_in.pp * h.peak : 0.0f;
    sig_out.iv = h.active;
    sig_out.x = empty_field();
    sig_out.y = empty_field();
    if (h.active == 0) {
        h.n = 1;
        h.log2n = 1;
        realised.assign(1, cd(0.0, 0.0));
    }
    if (!write_hand_over(filename_generation(fo[kOptInstance], "kn"), h, realised.data())) {
        opxerr(kHeader + name);
        opxinfo("   The filter working file cannot be written");
    }
    if (kp_unit != 0) clodev(kp_unit, 0);
    n_out = h.n;
    log2n_out = h.log2n;
}

void filtri_runtime(std::int32_t h_area, std::int32_t x_area, std::int32_t y_area, std::int32_t x_tail,
                    std::int32_t y_tail, std::int32_t n, std::int32_t log2n) {
    const std::int32_t half = n / 2;
    const bool two = optcl_ctrl.npol == 2;
    const double* H = reinterpret_cast<const double*>(zisd_at(h_area));
    auto one = [&](std::int32_t area, std::int32_t tail) {
        cd* a = zisd_at(area);
        std::fill(a + half, a + n, cd(0.0, 0.0));
        cfft3(area, log2n, -1);
        double* v = reinterpret_cast<double*>(a);
        for (std::int32_t k = 0; k < n; ++k) {
            const double re = v[2 * k] * H[2 * k] - v[2 * k + 1] * H[2 * k + 1];
            const double im = v[2 * k] * H[2 * k + 1] + v[2 * k + 1] * H[2 * k];
            v[2 * k] = re;
            v[2 * k + 1] = im;
        }
        cfft3(area, log2n, +1);
        double* t = reinterpret_cast<double*>(zisd_at(tail));
        for (std::int32_t k = 0; k < 2 * half; ++k) {
            v[k] += t[k];
            t[k] = v[k + 2 * half];
        }
    };
    one(x_area, x_tail);
    if (two) one(y_area, y_tail);
}

void graph_out(std::string_view block_name, std::string_view file_base, std::int32_t instance,
               std::int32_t data_kind, double band_centre) {
    const std::string kp = filename_generation(instance, "kp");
    const std::int32_t unit = open_existing_working_file(kp);
    std::FILE* f = unit != 0 ? unit_stream(unit) : nullptr;
    if (f == nullptr) {
        opxerr(kHeader + trim_right(block_name));
        opxinfo("   The filter working file " + kp + ".DAT cannot be read");
        return;
    }
    const double fs = 1.0 / zdctrl.ddelt;
    auto decibel = [](double p) { return p < 1e-20 ? -200.0 : 10.0 * std::log10(p); };
    std::vector<double> rx, ra, rc, fx, fa, fd;
    std::int32_t count = 0;
    bool ok = records::read_values(f, count);
    for (std::int32_t i = 0; ok && i < count; ++i) {
        double fr = 0.0, power = 0.0, third = 0.0;
        ok = records::read_values(f, fr, power, third);
        if (ok && band_centre + fr >= 0.0) {
            rx.push_back(band_centre + fr);
            ra.push_back(decibel(power));
            rc.push_back(third);
        }
    }
    std::int32_t n = 0;
    if (ok) ok = records::read_values(f, n);
    for (std::int32_t i = 0; ok && i < n; ++i) {
        double fr = 0.0, power = 0.0, delay = 0.0;
        ok = records::read_values(f, fr, power, delay);
        if (ok && fr > -0.4 * fs && fr < 0.4 * fs && band_centre + fr >= 0.0) {
            fx.push_back(band_centre + fr);
            fa.push_back(decibel(power));
            fd.push_back(delay);
        }
    }
    clodev(unit, 1);
    const std::string path = trim_right(file_base) + ".qxy";
    const std::int32_t id = qxy1_open_append(path);
    if (id < 0) return;  // the io layer has reported why
    const bool phase = data_kind == 0;
    qxy1_write_chart(id, "Requested Amplitude", "frequency", "THz", "Amplitude", "dB", rx, ra);
    if (phase)
        qxy1_write_chart(id, "Requested Phase", "frequency", "THz", "Phase", "rad", rx, rc);
    else
        qxy1_write_chart(id, "Requested Group Delay", "frequency", "THz", "Group Delay", "ps", rx, rc);
    qxy1_write_chart(id, "Amplitude", "frequency", "THz", "Amplitude", "dB", fx, fa);
    qxy1_write_chart(id, "Group Delay", "frequency", "THz", "Group Delay", "ps", fx, fd);
    qxy1_close(id);
}

void filter_sample(const InputWindow& in, const TimeWindow& out, const OpticalSignal& sig_in, OpticalSignal& sig_out) {
    usdfil_sample(in, out, sig_in.x, sig_in.y, sig_out);
}

void usdfil(const UsdfilParams& p, const InputWindow& in, TimeWindow& out, const OpticalSignal& sig_in,
            OpticalSignal& sig_out) {
    if (zzctrl.pass != 0) {
        usdfil_sample(in, out, sig_in.x, sig_in.y, sig_out);
        return;
    }
    if (optcl_ctrl.blkmode == 1) {
        usdfil_area = UsdfilArea{p.synthesis_options[0], p.synthesis_options[1], p.synthesis_options[2], 0};
        std::int32_t n = 0;
        std::int32_t log2n = 0;
        elab_filter(p, n, log2n, sig_in, sig_out);
    }
    usdfil_initialise(p, in, out, sig_in, sig_out);
}

}  // namespace nodrix
