#include "models/fibre/fibre_filters.h"

#include <algorithm>
#include <climits>
#include <cmath>

#include "numerics/fft.h"
#include "numerics/filter_tables.h"
#include "numerics/spline.h"
#include "runtime/format.h"

namespace nodrix {

// ---------------------------------------------------------------------------
// Random streams

namespace {

struct StreamConstants {
    std::int64_t a;  // multiplier
    std::int64_t q;  // divisor: x = hi q + lo
    std::int64_t r;  // remainder term
};
// Streams 6-10 repeat the constants of streams 1-5.
constexpr StreamConstants kStreams[5] = {
    {65539, 32767, 32766}, {71335, 30104, -14807}, {68771, 31227, 28370}, {68773, 31226, 22051}, {16807, 127773, -2836},
};
constexpr std::int64_t kModulus = 2147483647;

}  // namespace

void FibreStreams::rndgen(std::int32_t stream, std::int32_t& counter, std::int32_t seed, float& u) {
    if (stream < 1 || stream > 10) {
        u = 0.0f;
        return;
    }
    const auto g = static_cast<std::size_t>(stream - 1);
    ++counter;
    if (counter > 1) {
        restarted_[g] = false;
    } else if (counter == 1 && !restarted_[g]) {
        started_[g] = false;
        restarted_[g] = true;
    }
    if (!started_[g]) {
        std::int64_t x = 2 * static_cast<std::int64_t>(seed) - 1;
        if (x == 1) x = g < 5 ? 3173 : 1234;
        state_[g] = x;
        started_[g] = true;
    }
    const StreamConstants& c = kStreams[g % 5];
    const std::int64_t x = state_[g];
    const std::int64_t hi = x / c.q;
    const std::int64_t lo = x - hi * c.q;
    std::int64_t next = 0;
    if (g % 5 == 1 || g % 5 == 4) {
        // Schrage's form of a x mod m (r carries the minus sign).
        next = c.a * lo + hi * c.r;
        if (next < 0) next += kModulus;
    } else {
        // a q exceeds m by r, so a x = a lo + hi r modulo m.
        next = c.a * lo + hi * c.r - kModulus;
        if (next < 0) next += kModulus;
    }
    state_[g] = next;
    u = static_cast<float>(next) * 4.656613e-10f;
}

// ---------------------------------------------------------------------------
// Random local dispersion

void valb2p(double low, double high, std::int32_t n, double* table) {
    if (n <= 1) {
        table[0] = 0.5 * (low + high);
        return;
    }
    const double step = (high - low) / static_cast<double>(n - 1);
    for (std::int32_t i = 0; i < n; ++i) table[i] = low + step * static_cast<double>(i);
}

void vb2p3s(double mean, double sigma, std::int32_t n, double* table) {
    if (n <= 1) {
        table[0] = mean;
        return;
    }
    const double step = 6.0 * sigma / static_cast<double>(n - 1);
    for (std::int32_t i = 0; i < n; ++i) table[i] = mean + 3.0 * sigma - step * static_cast<double>(i);
}

void detfib(FibreStreams& streams, std::int32_t k, double low, double high, std::int32_t n, const double* table,
            const std::int32_t* seed, std::int32_t* counters, double& beta2) {
    const std::int32_t g = (k % 10) + 1;
    float u = 0.0f;
    if (seed[g - 1] != 0) streams.rndgen(g, counters[g - 1], seed[g - 1], u);
    if (n != 1 && low < high) {
        std::int32_t index = static_cast<std::int32_t>(u * static_cast<float>(n) * 0.9999f);
        index = std::clamp(index, 0, n - 1);
        beta2 = table[index];
    } else {
        beta2 = table[0];
    }
}

void dfib3s(FibreStreams& streams, std::int32_t k, double mean, double sigma, std::int32_t n, const double* table,
            const std::int32_t* seed, std::int32_t* counters, double& beta2) {
    const std::int32_t g = (k % 10) + 1;
    const std::int32_t g2 = ((k % 10) + 9) % 10 + 1;
    float u = 0.0f;
    float u2 = 0.0f;
    if (seed[g - 1] != 0) streams.rndgen(g, counters[g - 1], seed[g - 1], u);
    if (seed[g2 - 1] != 0) streams.rndgen(g2, counters[g2 - 1], seed[g2 - 1], u2);
    u2 = std::clamp(u2, 0.001f, 1.0f);
    if (n <= 1) {
        beta2 = table[0];
        return;
    }
    const double v = mean + sigma * std::sqrt(-2.0 * std::log(static_cast<double>(u2))) *
                                std::cos(kTwoPi * static_cast<double>(u));
    std::int32_t best = 0;
    for (std::int32_t i = 1; i < n; ++i)
        if (std::fabs(v - table[i]) < std::fabs(v - table[best])) best = i;
    beta2 = table[best];
}

void searmm(std::int32_t i1, std::int32_t i2, const double* array, double& minimum, double& maximum) {
    minimum = array[i1 - 1];
    maximum = array[i1 - 1];
    for (std::int32_t i = i1 + 1; i <= i2; ++i) {
        minimum = std::min(minimum, array[i - 1]);
        maximum = std::max(maximum, array[i - 1]);
    }
}

// ---------------------------------------------------------------------------
// Loss shape

double LossProfile::value(double frequency) const {
    if (f.empty()) return 0.0;
    const double x = std::clamp(frequency, f.front(), f.back());
    return splint(f.data(), loss.data(), y2.data(), static_cast<std::int32_t>(f.size()), x);
}

double LossShape::relative_loss(double df) const {
    if (profile != nullptr) return profile->value(fcenter + df) - profile->value(fcenter);
    return static_cast<double>(slope) * df + 0.5 * static_cast<double>(curvature) * df * df;
}

// ---------------------------------------------------------------------------
// Step filter design

namespace {

// Phase coefficients of a step over the normalised frequency (units of the
// Nyquist frequency pi/dt).
struct PhaseCoefficients {
    double c1, c2, c3, c4, c5;
    double c1_parity;  // (c1 / pi) mod 2
};

PhaseCoefficients phase_coefficients(const StepFilterInput& s, double dt) {
    const double wn = kPi / dt;
    PhaseCoefficients c{};
    c.c2 = s.beta2 * s.h * wn * wn / 2.0;
    c.c3 = s.beta3 * s.h * wn * wn * wn / 6.0;
    c.c4 = s.beta4 * s.h * wn * wn * wn * wn / 24.0;
    c.c5 = s.beta5 * s.h * wn * wn * wn * wn * wn / 120.0;
    // A whole number of half turns: it moves the phase jump of the odd terms
    // at the Nyquist point without changing the response anywhere else.
    const double turns = std::round((c.c3 + c.c5) / kPi);
    c.c1 = kPi * turns;
    c.c1_parity = std::fmod(std::fabs(turns), 2.0);
    return c;
}

}  // namespace

double step_loss_db(const LossShape& loss, std::int64_t j, std::int32_t log2p, double dt) {
    const WwFunc& wwfunc = filter_tables();
    const std::int64_t points = std::int64_t{1} << log2p;
    const std::size_t t = static_cast<std::size_t>(j * (kTableSize >> log2p));
    // Loss relative to the centre: the polynomial through the smoothed
    // powers of the frequency, the profile tapered to zero towards the
    // Nyquist point; both keep the response continuous there, so the
    // filter stays short.
    if (loss.profile != nullptr) {
        const std::int64_t jp = j < points / 2 ? j : j - points;
        const double df = static_cast<double>(jp) / (static_cast<double>(points) * dt);
        return wwfunc.ew[t] * loss.relative_loss(df);
    }
    const double nyquist = 0.5 / dt;  // THz
    return static_cast<double>(loss.slope) * nyquist * wwfunc.e1[t] +
           0.5 * static_cast<double>(loss.curvature) * nyquist * nyquist * wwfunc.e2[t];
}

std::vector<std::complex<float>> loss_shape_taps(const LossShape& loss, double length_km, double dt) {
    if (loss.flat()) return {};
    const std::int64_t m = std::int64_t{1} << kLossShapeLog2Taps;
    std::vector<std::complex<double>> response(static_cast<std::size_t>(m));
    for (std::int64_t j = 0; j < m; ++j) {
        // The delay of m/2 samples: a sign that turns with every point.
        const double delay_sign = j % 2 == 0 ? 1.0 : -1.0;
        response[static_cast<std::size_t>(j)] =
            delay_sign * std::pow(10.0, -0.05 * length_km * step_loss_db(loss, j, kLossShapeLog2Taps, dt));
    }
    // h[k] = (1/m) sum_j H[j] exp(2 pi i j k / m): the filter sum_k h[k] y[n - k]
    // has the response H[j] at the frequency of point j.
    std::vector<std::complex<float>> taps(static_cast<std::size_t>(m));
    const double turn = kTwoPi / static_cast<double>(m);
    for (std::int64_t k = 0; k < m; ++k) {
        std::complex<double> sum;
        for (std::int64_t j = 0; j < m; ++j)
            sum += response[static_cast<std::size_t>(j)] * std::polar(1.0, turn * static_cast<double>((j * k) % m));
        taps[static_cast<std::size_t>(k)] = std::complex<float>(sum / static_cast<double>(m));
    }
    return taps;
}

namespace {

// Samples the step response at P = 2^log2p points in FFT order (point j takes
// table element j * 16384 / P) with a centring delay of d samples.
void sample_response(const StepFilterInput& s, const PhaseCoefficients& c, std::int32_t log2p, std::int64_t d, double dt,
                     std::complex<double>* out) {
    const std::int64_t points = std::int64_t{1} << log2p;
    const std::int64_t stride = kTableSize >> log2p;
    // The table terms c1 ES and d EP carry the constant phase (c1/pi + d) pi
    // at zero frequency; removing it gives the centre frequency zero phase, so
    // the step is a pure dispersion and delay with no sign flip of the field.
    const double parity = std::fmod(c.c1_parity + std::fabs(std::fmod(static_cast<double>(d), 2.0)), 2.0);
    const double sign = parity != 0.0 ? -1.0 : 1.0;
    const bool flat = s.loss.flat();
    const double dd = static_cast<double>(d);
    const WwFunc& wwfunc = filter_tables();
    for (std::int64_t j = 0; j < points; ++j) {
        const std::size_t t = static_cast<std::size_t>(j * stride);
        const double phi = c.c2 * wwfunc.e2[t] + c.c3 * wwfunc.e3[t] + c.c4 * wwfunc.e4[t] + c.c5 * wwfunc.e5[t] +
                           c.c1 * wwfunc.es[t] + dd * wwfunc.ep[t];
        double amp = sign;
        if (!flat) amp *= std::pow(10.0, -0.05 * s.h * step_loss_db(s.loss, j, log2p, dt));
        out[j] = std::complex<double>(amp * std::cos(phi), -amp * std::sin(phi));
    }
}

}  // namespace

double step_delay_spread(const StepFilterInput& s, double dt) {
    const double wn = kPi / dt;
    double xa = 0.0;
    double xb = 0.0;
    if (s.beta3 == 0.0) {
        xa = s.beta2 < 0.0 ? -0.86 : 0.86;
        xb = -xa;
    } else {
        double x0 = -s.beta2 / (s.beta3 * wn);
        const double sigma0 = x0 >= 0.0 ? 1.0 : -1.0;
        x0 = std::clamp(x0, -0.86, 0.86);
        if (s.beta3 > 0.0) {
            xa = -0.86 * sigma0;
            xb = x0;
        } else {
            xa = x0;
            xb = -0.86 * sigma0;
        }
    }
    auto tau = [&](double x) { return s.beta2 * s.h * wn * x + s.beta3 * s.h * wn * wn * x * x / 2.0; };
    return (tau(xa) - tau(xb)) / dt;
}

std::int32_t initial_filter_exponent(double spread) {
    const double s = std::max(spread, 0.0);
    const double v = std::log2(std::sqrt(256.0 * s + 8281.0) + s);
    if (!(v < 64.0)) return kMaxSearchExponent;
    return static_cast<std::int32_t>(std::min<long>(std::lround(v) + 1, kMaxSearchExponent));
}

namespace {

// First and last index (1-based) of the impulse response of m points whose
// magnitude reaches the fraction of its peak; 1, 1 for a zero response.
void response_extent(const std::vector<std::complex<double>>& h, std::int64_t m, double fraction, std::int64_t& i1,
                     std::int64_t& i2) {
    double peak = 0.0;
    for (std::int64_t j = 0; j < m; ++j) peak = std::max(peak, std::abs(h[static_cast<std::size_t>(j)]));
    i1 = 1;
    i2 = 1;
    if (!(peak > 0.0)) return;
    const double threshold = fraction * peak;
    i1 = 0;
    while (i1 < m - 1 && std::abs(h[static_cast<std::size_t>(i1)]) < threshold) ++i1;
    i2 = m - 1;
    while (i2 > i1 && std::abs(h[static_cast<std::size_t>(i2)]) < threshold) --i2;
    ++i1;  // 1-based
    ++i2;
}

// Group delay per spectrum bin of the designed step: its dispersion plus
// the centring delay of d samples.
void step_group_delay(const StepFilterInput& s, double dt, std::int64_t d, StepFilterDesign& out) {
    const double b2 = s.beta2 * s.h;
    const double b3 = s.beta3 * s.h;
    const double b4 = s.beta4 * s.h;
    const double b5 = s.beta5 * s.h;
    const WwFunc& wwfunc = filter_tables();
    for (int j = 0; j < kBins; ++j) {
        const double w = wwfunc.ep[static_cast<std::size_t>(16 * j)] / dt;
        out.tau[static_cast<std::size_t>(j)] =
            b2 * w + b3 * w * w / 2.0 + b4 * w * w * w / 6.0 + b5 * w * w * w * w / 24.0 + static_cast<double>(d) * dt;
    }
}

}  // namespace

void coefn5(const StepFilterInput& s, double dt, double epsilon, StepFilterDesign& out) {
    const PhaseCoefficients c = phase_coefficients(s, dt);
    std::vector<std::complex<double>> h(static_cast<std::size_t>(kTableSize));

    std::int32_t u = initial_filter_exponent(step_delay_spread(s, dt));
    std::int64_t d0 = 0;
    std::int64_t previous_support = 0;
    bool first = true;
    int grow = 0;
    int shift = 0;
    int shrink = 0;
    // The last measurement: centring delay and first and last index of the response.
    std::int64_t last_d = 0;
    std::int64_t last_i1 = 1;
    std::int64_t last_i2 = 1;
    out.loop = false;
    out.limited = false;
    const double threshold_fraction = std::min(epsilon, 1.0);
    for (;;) {
        const std::int64_t m = std::int64_t{1} << u;
        const std::int64_t d = m / 2 - d0;
        sample_response(s, c, u, d, dt, h.data());
        cfft2(h.data(), u, +1);
        std::int64_t i1 = 1;
        std::int64_t i2 = 1;
        response_extent(h, m, threshold_fraction, i1, i2);
        last_d = d;
        last_i1 = i1;
        last_i2 = i2;
        std::int64_t support = i2 - i1 + 1;
        if (!first) support = std::max(support, previous_support);
        first = false;
        previous_support = support;

        if (m < support + 8) {
            if (u >= kMaxSearchExponent) {
                out.limited = true;
                break;
            }
            ++u;
            ++grow;
        } else if (i1 < 5) {
            if (m / (support + 8) < 2) break;
            d0 -= std::int64_t{1} << (u - 2);
            --u;
            ++shrink;
        } else {
            d0 += i1 - 4;
            ++shift;
        }
        if (grow > 9 || shift > 9 || shrink > 9) {
            out.loop = true;
            break;
        }
    }
    std::int64_t d = (std::int64_t{1} << u) / 2 - d0;
    if (out.limited || u > kMaxFilterExponent) {
        // The final design samples 2M points of the tables, so M stays within
        // 2^13 taps: the response as last measured is centred in them and its
        // ends are cut.
        out.limited = true;
        u = std::min(u, kMaxFilterExponent);
        const std::int64_t centre = (last_i1 - 1 + last_i2 - 1) / 2;
        d = last_d + (std::int64_t{1} << u) / 2 - centre;
    }

    const std::int64_t m = std::int64_t{1} << u;
    out.k = u;
    out.delay = static_cast<std::int32_t>(d);
    out.coef.assign(static_cast<std::size_t>(2 * m), {});
    sample_response(s, c, u + 1, d, dt, out.coef.data());
    cfft2(out.coef.data(), u + 1, +1);
    std::fill(out.coef.begin() + m, out.coef.end(), std::complex<double>{});
    cfft2(out.coef.data(), u + 1, -1);
    step_group_delay(s, dt, d, out);
}

// ---------------------------------------------------------------------------
// Designs per fibre

const StepFilterDesign* StepFilterCache::find(double h, double beta2) const {
    for (const Entry& e : entries_)
        if (e.h == h && e.beta2 == beta2) return &e.design;
    return nullptr;
}

const StepFilterDesign* StepFilterCache::add(double h, double beta2, StepFilterDesign&& d) {
    if (entries_.size() < kCapacity) {
        entries_.push_back(Entry{h, beta2, std::move(d)});
        return &entries_.back().design;
    }
    Entry& e = entries_[next_];
    next_ = (next_ + 1) % kCapacity;
    e = Entry{h, beta2, std::move(d)};
    return &e.design;
}

namespace {

// A value written list-directed into a 20-character field: in single
// precision, whose longest form fits the field (a double's 17 digits do not).
std::string value_line(const char* label, double v) {
    return std::string(label) + fmt::list_real_field(static_cast<float>(v), 20);
}

void report_design(const StepFilterInput& s, const StepFilterDesign& d, const FilterDesignRound& round) {
    if (!d.loop && !d.limited) return;
    const Messages& m = *round.messages;
    m.warning(round.sizing ? " external prerun phase " : " internal prerun phase ");
    m.info(" filter evaluation warning ");
    if (d.loop) m.info(" a loop has been detected ");
    if (d.limited) {
        m.info(" the filter needs more than 8192 taps ");
        m.info(" it is cut to 8192 taps ");
    }
    m.info(value_line("time sampling step =", round.dt));
    m.info(value_line("db2 =", s.beta2));
    m.info(value_line("db3 =", s.beta3));
    m.info(value_line("db4 =", s.beta4));
    m.info(value_line("db5 =", s.beta5));
    m.info(value_line("da1 =", static_cast<double>(s.loss.slope)));
    m.info(value_line("da2 =", static_cast<double>(s.loss.curvature)));
    m.info(value_line("da3 =", 0.0));
    m.info(value_line("dz2 =", s.h));
}

}  // namespace

const StepFilterDesign& sfilco(const StepFilterInput& s, double precision, StepFilterCache& cache,
                               const FilterDesignRound& round) {
    const StepFilterDesign* design = cache.find(s.h, s.beta2);
    if (design == nullptr) {
        StepFilterDesign fresh;
        coefn5(s, round.dt, precision, fresh);
        design = cache.add(s.h, s.beta2, std::move(fresh));
    }
    report_design(s, *design, round);
    return *design;
}

namespace {

// The ten random streams of fibre k, warmed up; each starts again from its seed.
std::array<std::int32_t, 10> warmed_streams(const WrtfisInput& in) {
    std::array<std::int32_t, 10> counters{};
    for (std::int32_t g = 1; g <= 10; ++g) {
        const std::int32_t seed = in.seeds[static_cast<std::size_t>(g - 1)];
        if (seed == 0) continue;
        float u = 0.0f;
        for (std::int32_t i = 0; i < 10 * in.k + 50; ++i)
            in.streams->rndgen(g, counters[static_cast<std::size_t>(g - 1)], seed, u);
    }
    return counters;
}

// The levels the local beta2 is drawn from: one level when the spread is
// negligible.
struct DispersionTable {
    std::int32_t levels = kDispersionLevels;
    std::array<double, kDispersionLevels> table{};
    double low = 0.0, high = 0.0;  // uniform model: beta2 -+ sqrt(3) spread
};

DispersionTable dispersion_table(const WrtfisInput& in) {
    DispersionTable t;
    const double spread = in.spread;
    if (in.beta2 != 0.0 ? std::fabs(spread / in.beta2) < 0.001 : spread < 1e-6) t.levels = 1;
    const double root3 = 1.7320508075688772;
    t.low = in.beta2 - root3 * spread;
    t.high = in.beta2 + root3 * spread;
    if (in.dispersion_model == 1)
        vb2p3s(in.beta2, spread, t.levels, t.table.data());
    else
        valb2p(t.low, t.high, t.levels, t.table.data());
    return t;
}

// The local beta2 of a new section.
void draw_section_beta2(const WrtfisInput& in, DispersionTable& t, std::array<std::int32_t, 10>& counters,
                        double& beta2) {
    if (in.dispersion_model == 1)
        dfib3s(*in.streams, in.k, in.beta2, in.spread, t.levels, t.table.data(), in.seeds.data(), counters.data(),
               beta2);
    else
        detfib(*in.streams, in.k, t.low, t.high, t.levels, t.table.data(), in.seeds.data(), counters.data(), beta2);
}

// Most sections whose draws a piece of a fibre passes over: the draws stay
// quick and the streams' draw counters far from their limit.
constexpr double kMaxSkippedSections = 1e8;

// A piece of a longer fibre takes up the section its start lies in (sections
// counted from the whole fibre's start): the draws of the sections before it
// are passed over, and the section it starts in has run `carry` km. Returns
// that length; the piece's first step draws the section's beta2.
double continue_sections(const WrtfisInput& in, DispersionTable& t, std::array<std::int32_t, 10>& counters) {
    const double section = static_cast<double>(in.section);
    if (!(in.start_km > 0.0) || !(section > 0.0)) return 0.0;
    const double before = std::min(std::floor(in.start_km / section * (1.0 + 1e-12)), kMaxSkippedSections);
    double beta2 = 0.0;
    for (double s = 0.0; s < before; s += 1.0) draw_section_beta2(in, t, counters, beta2);
    return std::max(0.0, in.start_km - before * section);
}

// The totals after the last step: the output delays in single precision,
// the coefficient count, largest exponent and memory length (bounded to
// 32 bits) and the dispersion in single precision.
void keep_totals(const std::array<double, kBins>& acc, std::int64_t ncoef, std::int32_t kmax, std::int64_t memlen,
                 double dispersion, FibreDesignRecords& out) {
    for (int j = 0; j < kBins; ++j)
        out.output_delays[static_cast<std::size_t>(j)] = static_cast<float>(acc[static_cast<std::size_t>(j)]);
    out.ncoef = static_cast<std::int32_t>(std::min<std::int64_t>(ncoef, INT32_MAX));
    out.nexp = kmax;
    out.memlen = static_cast<std::int32_t>(std::min<std::int64_t>(memlen, INT32_MAX));
    out.dispersion = static_cast<float>(dispersion);
    out.has_totals = true;
}

// The accumulated group delay after a step: the step's delays added bin by
// bin (the last bin repeats the one before it).
void add_step_delay(const StepFilterDesign& design, std::array<double, kBins>& acc) {
    for (int j = 0; j < kBins - 1; ++j) acc[static_cast<std::size_t>(j)] += design.tau[static_cast<std::size_t>(j)];
    acc[kBins - 1] = acc[kBins - 2];
}

}  // namespace

void wrtfis(const WrtfisInput& in, FibreDesignRecords& out) {
    const bool keep_filters = !in.round.sizing;
    std::array<std::int32_t, 10> counters = warmed_streams(in);

    std::array<double, kBins> acc{};
    for (int j = 0; j < kBins; ++j) acc[static_cast<std::size_t>(j)] = in.dlyin != nullptr ? in.dlyin[j] : 0.0;

    DispersionTable table = dispersion_table(in);
    const float actual = out.actual_length;
    const bool has_length = out.has_length;
    out = FibreDesignRecords{};
    out.actual_length = actual;
    out.has_length = has_length;

    const double alpha = static_cast<double>(in.loss) / (20.0 * std::log10(std::exp(1.0)));
    const double gamma = 0.001 * static_cast<double>(in.gamma);
    StepFilterCache cache;
    double section_length = continue_sections(in, table, counters);
    bool new_section = true;
    double beta2_local = in.beta2;
    double dispersion = 0.0;
    std::int64_t ncoef = 0;
    std::int64_t memlen = 0;
    std::int64_t centring_delay = 0;
    std::int32_t kmax = 0;
    double d0 = 0.0;
    double previous_h = -1.0;
    double previous_beta2 = 0.0;

    for (std::int32_t i = 0; i < in.nsteps; ++i) {
        const double h = in.h[i];
        if (new_section) draw_section_beta2(in, table, counters, beta2_local);
        section_length += h;
        new_section = section_length >= static_cast<double>(in.section) * (1.0 - 1e-12);
        if (new_section) section_length = 0.0;
        dispersion += beta2_local * h;

        const StepFilterInput step{.h = h, .beta2 = beta2_local, .beta3 = in.beta3, .beta4 = in.beta4,
                                   .beta5 = in.beta5, .loss = in.shape};
        if (!in.reuse_designs) cache = StepFilterCache{};
        const StepFilterDesign& design = sfilco(step, in.precision, cache, in.round);
        ncoef += std::int64_t{2} << design.k;
        memlen += std::int64_t{1} << design.k;
        centring_delay += design.delay;
        kmax = std::max(kmax, design.k);

        if (keep_filters) {
            // A step as long as the one before it and of the same local
            // dispersion has the same filter: it shares the coefficients.
            const bool same = i > 0 && previous_h == h && previous_beta2 == beta2_local;
            out.filters.push_back(same ? out.filters.back()
                                       : std::make_shared<const std::vector<std::complex<double>>>(design.coef));
            out.steps.push_back(StepRecord{design.k, alpha, gamma, h});
        }
        previous_h = h;
        previous_beta2 = beta2_local;

        if (i == 0) {
            double dummy = 0.0;
            searmm(103, 923, acc.data(), d0, dummy);
        }
        add_step_delay(design, acc);
        double mn = 0.0;
        double mx = 0.0;
        searmm(103, 923, acc.data(), mn, mx);
        out.delay_extremes.push_back({mn - d0, mx - d0});
    }
    keep_totals(acc, ncoef, kmax, memlen, dispersion, out);
    out.centring_delay = centring_delay;
}

}  // namespace nodrix
