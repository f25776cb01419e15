#include "models/filters/optical_filter.h"

#include <stdio.h>  // open_memstream, fmemopen

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

#include "kernel/filexx.h"
#include "kernel/lib00.h"
#include "numerics/constants.h"
#include "numerics/fft.h"
#include "numerics/filter_synthesis.h"
#include "numerics/spline.h"
#include "runtime/chart_compact.h"
#include "runtime/format.h"
#include "runtime/record_file.h"
#include "runtime/run_files.h"

namespace nodrix {
namespace {

constexpr std::int32_t kMaxPoints = 4096;
constexpr const char* kHeader = "User defined optical filter at ";

using cd = std::complex<double>;

// The failure message of the synthesis (its option listing unless the
// checks are quiet), then the reason when there is one in words.
void failure_message(const RunContext& ctx, const UsdfilParams& p, const std::string& name, const char* reason) {
    const auto& s = p.synthesis_options;
    const std::int32_t words[4] = {s[kOptPolarInterpolation], s[kOptSmoothingWindow], s[kOptQuietChecks], -1};
    warning_message_opt(p.file_options.data(), name, words);
    if (reason != nullptr) ctx.messages().info(reason);
}

// ---- Reading the description ----

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
// False at the end of the text or on a value that is not a number.
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
ReadOutcome read_points(NextLine next, const UsdfilParams& p, const std::string& name, bool quiet,
                        const Messages& messages, Description& d) {
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
            messages.warning(kHeader + name);
            messages.info((frequency ? "     the frequency value" : "     the wavelength value") +
                          fmt::list_real(static_cast<float>(v[0])));
            messages.info("     in the data file is repeated ");
            messages.info("     continuing using only the first occurence ");
            continue;
        }
        previous = v[0];
        d.f.push_back(v[0]);
        d.b.push_back(v[1]);
        d.c.push_back(per_line == 3 ? v[2] : 0.0);
        if (d.n() == kMaxPoints) {
            if (quiet) break;
            messages.warning(kHeader + name);
            messages.info("     too many points in data file ");
            messages.info("     continuing with a smaller number ");
            break;
        }
    }
    return ReadOutcome::kRead;
}

// The lines of a description text one after the other.
auto lines_of(const DescriptionText& text) {
    return [&text, next = std::size_t{0}](std::string& line) mutable {
        if (next == text.lines.size()) return false;
        line = text.lines[next++];
        return true;
    };
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

double bin_offset(const RunContext& ctx, std::int32_t i) {  // i from 1
    const SpectralGrid& grid = ctx.settings().grid;
    const double width = (static_cast<double>(grid.high_thz) - grid.low_thz) / kBins;
    return grid.low_thz + (i - 0.5) * width - static_cast<double>(ctx.band_centre());
}

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

// ---- The files a set-up leaves ----

// The hand-over file: activity, N, log2 N, a reserved double, the peak gain,
// per bin (offset frequency, transmission, delay), then H_k.
bool write_hand_over(const RunContext& ctx, const std::string& name, const SynthesisedFilter& h) {
    remove_run_file(name + ".DAT");
    const UnitFile file = ctx.files().open(name, FileUse::records);
    std::FILE* f = file ? unit_stream(file.unit()) : nullptr;
    if (f == nullptr) return false;
    bool ok = records::write_values(f, h.active) && records::write_values(f, h.n) &&
              records::write_values(f, h.log2n) && records::write_values(f, 0.0) && records::write_values(f, h.peak);
    for (std::int32_t i = 0; ok && i < kBins; ++i)
        ok = records::write_values(f, static_cast<float>(bin_offset(ctx, i + 1)),
                                   h.transmission[static_cast<std::size_t>(i)], h.delay[static_cast<std::size_t>(i)]);
    for (std::int32_t k = 0; ok && k < h.n; ++k) ok = records::write_values(f, h.response[static_cast<std::size_t>(k)]);
    return ok;
}

// The requested-data file: the count of points inside the band and the
// points, then, for a synthesised filter, N and the realised points.
void write_requested_data(const RunContext& ctx, const std::string& name, std::int32_t inside,
                          const SynthesisedFilter& h) {
    remove_run_file(name + ".DAT");
    const UnitFile file = ctx.files().open(name, FileUse::records);
    std::FILE* f = file ? unit_stream(file.unit()) : nullptr;
    if (f == nullptr) return;
    records::write_values(f, inside);
    for (const ChartPoint& p : h.requested) records::write_values(f, p.f, p.power, p.third);
    if (h.realised.empty()) return;
    records::write_values(f, h.n);
    for (const ChartPoint& p : h.realised) records::write_values(f, p.f, p.power, p.third);
}

// ---- Synthesis ----

// The columns made ready for the splines: the complement, the requested
// points (when `requested` is given), smoothing, and the conversion to
// (re, im) or (modulus, phase).
void prepare_columns(const UsdfilParams& p, Description& d, bool& db, bool polar, double lo, double hi,
                     std::vector<ChartPoint>* requested) {
    const std::int32_t n = d.n();
    // The complement transmits the power the described filter rejects, 1 - P,
    // with the same phase or group delay; from here on the column is linear.
    if (p.file_options[kOptComplement] == 1) {
        for (double& v : d.b) v = std::max(0.0, 1.0 - linear_power(v, db));
        db = false;
    }
    if (requested != nullptr) {
        for (std::int32_t i = 0; i < n; ++i) {
            const auto k = static_cast<std::size_t>(i);
            if (d.f[k] > lo && d.f[k] < hi) requested->push_back({d.f[k], linear_power(d.b[k], db), d.c[k]});
        }
    }
    const std::int32_t window = p.synthesis_options[kOptSmoothingWindow];
    if (window > 1) smooth_data(d.f.data(), d.b.data(), d.c.data(), n, window);
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

// The delay estimate of a realised response; with `chart` also the realised
// filter's chart points, which the estimate writes as records (their count,
// then frequency, power and delay per point) and which are taken in memory.
std::vector<ChartPoint> estimate_delay(const RunContext& ctx, const std::vector<cd>& realised, std::int32_t n,
                                       float* bin_delay, bool chart) {
    const double fb = ctx.band_centre();
    const double dt = ctx.time_step_double();
    std::vector<double> scratch(static_cast<std::size_t>(n));
    std::vector<ChartPoint> points;
    char* buffer = nullptr;
    std::size_t size = 0;
    std::FILE* sink = chart ? open_memstream(&buffer, &size) : nullptr;
    estimate_filter_delay(realised.data(), scratch.data(), n, bin_delay, fb, dt, sink, sink != nullptr);
    if (sink == nullptr) return points;
    std::fclose(sink);
    std::FILE* source = size > 0 ? fmemopen(buffer, size, "rb") : nullptr;
    std::int32_t count = 0;
    if (source != nullptr && records::read_values(source, count)) {
        for (std::int32_t i = 0; i < count; ++i) {
            ChartPoint point;
            if (!records::read_values(source, point.f, point.power, point.third)) break;
            points.push_back(point);
        }
    }
    if (source != nullptr) std::fclose(source);
    std::free(buffer);
    return points;
}

// Synthesis from the spline table over the band (lo, hi) of the sampling
// frequency fs: when the realised response is accurate, the filter is active
// with its length, peak power gain, response and group delay.
void synthesise_filter(const RunContext& ctx, const UsdfilParams& p, const std::string& name, const Description& d,
                       const SplineTable& table, double lo, double hi, SynthesisedFilter& h) {
    const double fb = ctx.band_centre();
    const double dt = ctx.time_step_double();
    const double fs = 1.0 / dt;
    const double f_first = d.f.front();
    const double f_last = d.f.back();
    const double f_min = std::max(f_first - 0.1 * fs, -0.5 * fs);
    const double f_max = std::min(f_last + 0.1 * fs, 0.5 * fs);
    const double band_lo = std::max(f_first, lo);
    const double band_hi = std::min(f_last, hi);
    std::vector<cd> realised(static_cast<std::size_t>(kMaxRealisedPoints), cd(0.0, 0.0));
    std::vector<cd> scratch(static_cast<std::size_t>(kMaxRealisedPoints));
    std::int32_t log2n = 0;
    coefil(table, f_min, band_lo, band_hi, f_max, realised.data(), scratch.data(), log2n, fb, dt);
    const std::int32_t size = log2n > 0 ? std::int32_t{1} << log2n : 0;
    if (accuracy_check(band_lo, band_hi, realised.data(), table, size, dt) || log2n < 0) {
        h.status = -1;
        failure_message(ctx, p, name, nullptr);
        return;
    }
    h.status = 1;
    h.active = 1;
    h.n = size;
    h.log2n = log2n;
    double peak = 0.0;
    for (std::int32_t k = 0; k < size; ++k) peak = std::max(peak, std::norm(realised[static_cast<std::size_t>(k)]));
    h.peak = static_cast<float>(peak);
    h.realised = estimate_delay(ctx, realised, size, h.delay.data(), p.file_options[kOptWriteCharts] == 1);
    realised.resize(static_cast<std::size_t>(size));
    h.response = std::move(realised);
}

// What keeps the description from the splines, in words; null when nothing.
const char* unusable_description(ReadOutcome outcome, const Description& d) {
    if (outcome == ReadOutcome::kCannotOpen) return "   The filter description file cannot be opened";
    if (outcome == ReadOutcome::kNoMarker) return "   The filter description file has no line starting with ##";
    if (d.n() < 2) return "   The filter description file holds fewer than two data points";
    if (!strictly_increasing(d)) return "   The abscissas of the filter description file do not give increasing frequencies";
    return nullptr;
}

// The four filter charts, appended to file_base + ".qxy".
void graph_out(const RunContext& ctx, std::string_view file_base, std::int32_t data_kind,
               const SynthesisedFilter& h) {
    const double band_centre = ctx.band_centre();
    const double fs = 1.0 / ctx.time_step_double();
    auto decibel = [](double p) { return p < 1e-20 ? -200.0 : 10.0 * std::log10(p); };
    std::vector<double> rx, ra, rc, fx, fa, fd;
    for (const ChartPoint& p : h.requested) {
        if (band_centre + p.f < 0.0) continue;
        rx.push_back(band_centre + p.f);
        ra.push_back(decibel(p.power));
        rc.push_back(p.third);
    }
    for (const ChartPoint& p : h.realised) {
        if (!(p.f > -0.4 * fs && p.f < 0.4 * fs && band_centre + p.f >= 0.0)) continue;
        fx.push_back(band_centre + p.f);
        fa.push_back(decibel(p.power));
        fd.push_back(p.third);
    }
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

}  // namespace

DescriptionText read_description_file(const UsdfilParams& p) {
    DescriptionText text;
    std::int32_t length = 0;
    const std::string path = description_path(p, length);
    if (path.empty() || !file_present(path)) return text;
    // The registry takes the name to its count of non-blank characters, as
    // the path above does (the file services would cut it at a blank).
    std::int32_t unit = 0;
    const std::string file(p.data_file);
    opnfil(file.c_str(), kFormattedUnknown, unit, length);
    const UnitFile opened{unit_stream(unit) != nullptr ? unit : 0};
    if (!opened) return text;
    text.opened = true;
    for (std::string line; opened.read_line(line);) text.lines.push_back(line);
    return text;
}

void OpticalFilter::synthesise(const RunContext& ctx, const UsdfilParams& p, const DescriptionText& text,
                               const OpticalSignal& sig_in) {
    made_ = SynthesisedFilter{};
    const auto& fo = p.file_options;
    const std::string name = trim_right(p.block_name);
    const double fs = 1.0 / ctx.time_step_double();
    const double lo = -0.4 * fs;
    const double hi = 0.4 * fs;
    const bool polar = p.synthesis_options[kOptPolarInterpolation] == 1;
    const bool charts = fo[kOptWriteCharts] == 1;
    bool db = fo[kOptModulusInDb] == 1;

    Description d;
    const ReadOutcome outcome = text.opened ? read_points(lines_of(text), p, name, false, ctx.messages(), d)
                                            : ReadOutcome::kCannotOpen;
    convert_abscissas(p, d, ctx.band_centre());
    const std::int32_t n = d.n();
    const BandCount band = count_in_band(d, lo, hi);
    prepare_columns(p, d, db, polar, lo, hi, charts ? &made_.requested : nullptr);
    if (outcome == ReadOutcome::kRead)
        check_input_data(d.f.data(), d.b.data(), d.c.data(), n, lo, hi, band.inside, false, polar,
                         p.synthesis_options[kOptQuietChecks] == -1);
    const char* unusable = unusable_description(outcome, d);
    std::vector<double> b2(static_cast<std::size_t>(std::max(n, 1)), 0.0);
    std::vector<double> c2(static_cast<std::size_t>(std::max(n, 1)), 0.0);
    SplineTable table{d.f.data(), d.b.data(), b2.data(), d.c.data(), c2.data(), n, polar};
    if (unusable == nullptr) {
        dspline_clamped(d.f.data(), d.b.data(), n, b2.data());
        dspline_clamped(d.f.data(), d.c.data(), n, c2.data());
    }

    if (unusable != nullptr) {
        made_.status = -1;
        failure_message(ctx, p, name, unusable);
    } else if (sig_in.iv != 0 && !((band.below == 0 || band.above == 0) && band.inside <= 10)) {
        synthesise_filter(ctx, p, name, d, table, lo, hi, made_);
    }
    for (std::int32_t i = 0; i < kBins; ++i)
        made_.transmission[static_cast<std::size_t>(i)] =
            unusable == nullptr ? static_cast<float>(table.power_at(bin_offset(ctx, i + 1))) : 0.0f;
    if (made_.active == 0) {
        made_.n = 1;
        made_.log2n = 1;
        made_.response.assign(1, cd(0.0, 0.0));
    }
    if (!write_hand_over(ctx, filename_generation(fo[kOptInstance], "kn"), made_)) {
        ctx.messages().error(kHeader + name);
        ctx.messages().info("   The filter working file cannot be written");
    }
    if (charts) write_requested_data(ctx, filename_generation(fo[kOptInstance], "kp"), band.inside, made_);
}

void OpticalFilter::design(const RunContext& ctx, StateClaims& state, const UsdfilParams& p, const InputWindow& in,
                           TimeWindow& out, const OpticalSignal& sig_in, OpticalSignal& sig_out) {
    for (std::size_t k = 0; k < static_cast<std::size_t>(kBins); ++k) {
        sig_out.ps[k] = made_.transmission[k] * sig_in.ps[k];
        sig_out.gd[k] = made_.delay[k] + sig_in.gd[k];
    }
    sig_out.pp = made_.peak * sig_in.pp;
    sig_out.iv = made_.active != 0 ? 1 : 0;
    sig_out.x = ctx.empty_field();
    sig_out.y = ctx.empty_field();
    group_delay_window(in, sig_out.gd.data(), least_group_delay(sig_in.gd.data()), out);
    if (made_.active != 0) {
        state.claim(length_, 1);
        state.claim(log2_length_, 1);
        state.claim(count_, 1);
        for (State<cd>* area : {&response_, &x_, &y_, &x_tail_, &y_tail_}) state.claim(*area, made_.n);
    }
    if (ctx.keeps_state()) delete_working_file(ctx, filename_generation(p.file_options[kOptInstance], "kn"));
}

void OpticalFilter::setup(const RunContext& ctx, const UsdfilParams& p) {
    running_ = false;
    // A filter that is off leaves no requested-data file behind.
    if (p.file_options[kOptWriteCharts] == 1) {
        delete_working_file(ctx, filename_generation(p.file_options[kOptInstance], "kp"));
        if (made_.active != 0) graph_out(ctx, p.file_base, p.file_options[kOptDataKind], made_);
    }
    if (made_.active == 0) return;
    length_[0] = made_.n;
    log2_length_[0] = made_.log2n;
    count_[0] = 0;
    std::copy(made_.response.begin(), made_.response.end(), response_.data());
    running_ = true;
}

// One overlap-add block: the first N/2 values of the X (and, with two
// polarisations, Y) block hold new input; on return they hold filtered
// output and the tails hold the overlap.
void OpticalFilter::overlap_add(bool two_polarisations) {
    const std::int32_t n = length_[0];
    const std::int32_t log2n = log2_length_[0];
    const std::int32_t half = n / 2;
    const double* H = reinterpret_cast<const double*>(response_.data());
    auto one = [&](State<cd>& block, State<cd>& tail) {
        cd* a = block.data();
        std::fill(a + half, a + n, cd(0.0, 0.0));
        cfft2(a, log2n, -1);
        double* v = reinterpret_cast<double*>(a);
        for (std::int32_t k = 0; k < n; ++k) {
            const double re = v[2 * k] * H[2 * k] - v[2 * k + 1] * H[2 * k + 1];
            const double im = v[2 * k] * H[2 * k + 1] + v[2 * k + 1] * H[2 * k];
            v[2 * k] = re;
            v[2 * k + 1] = im;
        }
        cfft2(a, log2n, +1);
        double* t = reinterpret_cast<double*>(tail.data());
        for (std::int32_t k = 0; k < 2 * half; ++k) {
            v[k] += t[k];
            t[k] = v[k + 2 * half];
        }
    };
    one(x_, x_tail_);
    if (two_polarisations) one(y_, y_tail_);
}

void OpticalFilter::run(const RunContext& ctx, const InputWindow& in, const TimeWindow& out,
                        const OpticalSignal& sig_in, OpticalSignal& sig_out) {
    const float fb = ctx.band_centre();
    const FieldSample empty{0.0f, 0.0f, fb};
    const float t = ctx.time();
    if (!running_ || sig_out.iv == 0 || !(in.ton <= t && t < out.toff)) {
        sig_out.x = empty;
        sig_out.y = empty;
        return;
    }
    const bool two = ctx.fields() == 2;
    std::int32_t& count = count_[0];
    if (count >= length_[0] / 2) {
        overlap_add(two);
        count = 0;
    }
    cd& xs = x_[static_cast<std::size_t>(count)];
    cd& ys = y_[static_cast<std::size_t>(count)];
    sig_out.x = FieldSample{static_cast<float>(xs.real()), static_cast<float>(xs.imag()), fb};
    const FieldSample y_out{static_cast<float>(ys.real()), static_cast<float>(ys.imag()), fb};
    xs = cd(sig_in.x.re, sig_in.x.im);
    ys = cd(sig_in.y.re, sig_in.y.im);
    ++count;
    sig_out.y = two ? y_out : FieldSample{0.0f, 0.0f, 0.0f};
}

std::string description_problem(const UsdfilParams& p, float band_centre_thz) {
    std::int32_t length = 0;
    const std::string path = description_path(p, length);
    if (path.empty()) return "no description file is named";
    std::ifstream in(path);
    if (!in) return "cannot read the description file " + path + ": " + std::strerror(errno);
    Description d;
    const auto next = [&in](std::string& line) { return static_cast<bool>(std::getline(in, line)); };
    if (read_points(next, p, "", true, Messages{}, d) == ReadOutcome::kNoMarker)
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

void delete_working_file(const RunContext& ctx, const std::string& name) {
    if (!file_present(name + ".DAT")) return;
    UnitFile file = ctx.files().open(name, FileUse::data);
    file.remove();
}

UnitFile open_own_description(const RunContext& ctx, const std::string& name) {
    remove_run_file(name + ".DAT");
    return ctx.files().open(name, FileUse::data);
}

void check_optical_bandwidth(const BlockSettings& s, const LinkContext& link, Findings& found) {
    const float bandwidth = s.real("bandwidth_thz");
    const float band = link.band_high_thz - link.band_low_thz;
    const std::string given = "bandwidth_thz = " + number_text(bandwidth);
    if (bandwidth > band)
        found.warning("bandwidth_thz", given + " is wider than the simulated band, band_high_thz - band_low_thz = " +
                                           number_text(band) + " THz: the filter passes all of it");
    if (bandwidth < link.bin_thz())
        found.error("bandwidth_thz", given + " is narrower than one bin of the spectral grid, (grid_high_thz - "
                                             "grid_low_thz) / 1024 = " + number_text(link.bin_thz()) +
                                             " THz, which cannot describe its response; allowed: at least " +
                                             number_text(link.bin_thz()) + " (a narrower grid has finer bins)");
}

ParamSpec title_entry(std::string_view fallback) {
    return ParamSpec{.name = "title", .text_fallback = fallback, .help = "caption in messages"};
}

ParamSpec file_name_entry(std::string_view fallback) {
    return ParamSpec{.name = "file_name", .text_fallback = fallback, .help = "base of the chart file name"};
}

ParamSpec write_charts_entry() {
    return ParamSpec{.name = "write_charts", .fallback = 0, .help = "write the filter's charts"};
}

}  // namespace nodrix
