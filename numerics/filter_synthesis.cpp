#include "numerics/filter_synthesis.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "numerics/constants.h"
#include "numerics/fft.h"
#include "numerics/spline.h"
#include "runtime/opxfile.h"
#include "runtime/record_file.h"

namespace nodrix {
namespace {

double magnitude(const std::complex<double>& z) { return std::hypot(z.real(), z.imag()); }

// Raised-erf window of the design: 1 inside [band_lo, band_hi], falling to 0
// across [band_hi, f_max] and [f_min, band_lo]. g is the frequency of an FFT
// point counted in [0, fs); the second term sees it as g - fs (negative half).
struct Taper {
    double hi_mid, hi_scale, lo_mid, lo_scale, fs;
    Taper(double f_min, double band_lo, double band_hi, double f_max, double fs_)
        : hi_mid((f_max + band_hi) / 2.0),
          hi_scale(6.0 / (f_max - band_hi)),
          lo_mid((band_lo + f_min) / 2.0),
          lo_scale(6.0 / (band_lo - f_min)),
          fs(fs_) {}
    double operator()(double g) const {
        return 0.5 * (1.0 - std::erf(hi_scale * (g - hi_mid))) + 0.5 * (1.0 + std::erf(lo_scale * (g - fs - lo_mid)));
    }
};

// Frequency samples of the tapered target on 2^log2n points, delayed by m
// samples, and their inverse transform: the taps of the design.
void design_taps(const SplineTable& table, const Taper& taper, std::int32_t log2n, std::int64_t m, double fb,
                 double dt, std::complex<double>* a) {
    const std::int64_t n = std::int64_t{1} << log2n;
    const double df = 1.0 / (static_cast<double>(n) * dt);
    // e^(-j 2 pi m dt (fb + f_k)): the band-centre part is one constant; the
    // offset part is e^(-j 2 pi (m k mod n) / n), exact for every k.
    const double carrier = -kTwoPi * std::fmod(static_cast<double>(m) * dt * fb, 1.0);
    const std::complex<double> rotation(std::cos(carrier), std::sin(carrier));
    const std::int64_t m_mod = ((m % n) + n) % n;
    for (std::int64_t k = 0; k < n; ++k) {
        const double g = static_cast<double>(k) * df;
        const double f = k < n / 2 ? g : static_cast<double>(k - n) * df;
        const double w = taper(g);
        std::complex<double> h = w == 0.0 ? std::complex<double>(0.0, 0.0) : table.response_at(f);
        const double angle = -kTwoPi * static_cast<double>((m_mod * k) % n) / static_cast<double>(n);
        const std::complex<double> delay(std::cos(angle), std::sin(angle));
        a[k] = w * h * delay * rotation;
    }
    cfft2(a, log2n, +1);
}

enum class Scan { kFound, kGrow };

// First scan: walks down from the last tap to the first run of ten quiet taps.
Scan first_scan(const std::complex<double>* c, std::int64_t n, double threshold, std::int64_t& q_found) {
    auto quiet = [&](std::int64_t k1) { return magnitude(c[k1 - 1]) <= threshold; };  // 1-based
    std::int64_t k = n;
    while (true) {
        if (!quiet(k)) {
            if (k <= 10) return Scan::kGrow;
            --k;
            continue;
        }
        const std::int64_t q = k;
        if (q < 10) return Scan::kGrow;
        std::int64_t above = 0;
        for (std::int64_t j = q - 1; j >= q - 9; --j)
            if (!quiet(j)) {
                above = j;
                break;
            }
        if (above == 0) {
            q_found = q;
            return Scan::kFound;
        }
        k = above;
    }
}

}  // namespace

std::complex<double> SplineTable::response_at(double freq) const {
    const double yb = splint(f, b, b2, n, freq);
    const double yc = splint(f, c, c2, n, freq);
    if (polar) return std::polar(yb, yc);
    return {yb, yc};
}

double SplineTable::power_at(double freq) const {
    const double yb = splint(f, b, b2, n, freq);
    if (polar) return yb * yb;
    const double yc = splint(f, c, c2, n, freq);
    return yb * yb + yc * yc;
}

void coefil(const SplineTable& table, double f_min, double band_lo, double band_hi, double f_max,
            std::complex<double>* realised, std::complex<double>* scratch, std::int32_t& log2n, double band_centre,
            double dt) {
    const double fs = 1.0 / dt;
    const Taper taper(f_min, band_lo, band_hi, f_max, fs);
    const double n0 = std::max(20.0 / ((band_hi - band_lo) * dt), 127.0);
    std::int32_t L = static_cast<std::int32_t>(std::floor(std::log2(n0))) + 1;
    std::int64_t m = 0;
    std::int32_t grows = 0, shifts = 0, shrinks = 0;
    bool scanning = true;
    bool first_measure = true;
    std::int64_t previous_length = 0;
    while (true) {
        // A band so narrow that even the start length is beyond the limit.
        if (L > kMaxDesignLog2) {
            log2n = -1;
            return;
        }
        const std::int64_t n = std::int64_t{1} << L;
        design_taps(table, taper, L, m, band_centre, dt, scratch);
        double largest = 0.0;
        for (std::int64_t k = 0; k < n; ++k) largest = std::max(largest, magnitude(scratch[k]));
        const double threshold = 0.0005 * largest;
        bool change = true;
        if (scanning) {
            std::int64_t q = 0;
            if (first_scan(scratch, n, threshold, q) == Scan::kFound) {
                // Move the taps after the quiet run (the response's early part)
                // to the start: the response then begins at index 6.
                m += n - q + 5;
                scanning = false;
            } else {
                ++L;
                ++grows;
            }
        } else {
            std::int64_t i1 = 1;
            while (i1 <= n && magnitude(scratch[i1 - 1]) < threshold) ++i1;
            std::int64_t i2 = n;
            while (i2 >= 1 && magnitude(scratch[i2 - 1]) < threshold) --i2;
            const std::int64_t length = i2 - i1 + 1;
            std::int64_t used = previous_length;
            if (first_measure || length >= previous_length) {
                previous_length = length;
                used = length;
                first_measure = false;
            }
            if (used + 8 > n) {
                ++L;
                ++grows;
            } else if (i1 > 4) {
                m = m - i1 + 4;
                ++shifts;
            } else if (n / (used + 8) >= 2) {
                --L;
                ++shrinks;
            } else {
                change = false;
            }
        }
        if (grows > 19 || shifts > 19 || shrinks > 19) {
            log2n = -2;
            return;
        }
        if (L > kMaxDesignLog2) {
            log2n = -1;
            return;
        }
        if (!change) break;
    }
    // Realise the N settled taps on 2N points: the run-time blocks of N input
    // samples then convolve without wrap-around.
    const std::int32_t log2_realised = L + 1;
    const std::int64_t n2 = std::int64_t{1} << log2_realised;
    design_taps(table, taper, log2_realised, m, band_centre, dt, realised);
    std::fill(realised + n2 / 2, realised + n2, std::complex<double>(0.0, 0.0));
    cfft2(realised, log2_realised, -1);
    log2n = log2_realised;
}

bool accuracy_check(double band_lo, double band_hi, const std::complex<double>* realised, const SplineTable& table,
                    std::int32_t n, double dt) {
    if (n <= 0) return true;
    double sum_wanted = 0.0;
    double sum_error = 0.0;
    for (std::int32_t k = 1; k <= n; ++k) {
        const double f = static_cast<double>(k - n / 2 - 1) / (static_cast<double>(n) * dt);
        if (f < band_lo || f > band_hi) continue;
        const std::int32_t j = k > n / 2 ? k - n / 2 : k + n / 2;
        const double got = std::norm(realised[j - 1]);
        const double wanted = table.power_at(f);
        sum_wanted += wanted * wanted;
        sum_error += (got - wanted) * (got - wanted);
    }
    // Equal counts on both sides: the ratio of the sums is the ratio of the means.
    return sum_error >= 0.001 * sum_wanted;
}

void estimate_filter_delay(const std::complex<double>* realised, double* d, std::int32_t n, float* bin_delay,
                           double /*band_centre*/, double dt, std::FILE* chart, bool chart_on) {
    const std::int32_t half = n / 2;
    double largest = 0.0;
    for (std::int32_t k = 0; k < n; ++k) largest = std::max(largest, magnitude(realised[k]));
    const double threshold = 0.001 * largest;
    constexpr double kMarker = -100.0;
    // d is 1-based in natural frequency order: entry i is frequency (i - 1 - n/2) df.
    auto H = [&](std::int32_t k1) { return realised[k1 - 1]; };  // FFT order, 1-based
    auto samples = [&](std::complex<double> upper, std::complex<double> lower) {
        return -static_cast<double>(n) * std::arg(upper * std::conj(lower)) / kTwoPi;
    };
    double* e = d - 1;
    // A phase difference needs both of its points: where either is at or
    // below the threshold the entry is marked (a point next to a stop band
    // would otherwise read as zero delay).
    auto quiet = [&](std::int32_t k1, std::int32_t k2) {
        return magnitude(H(k1)) <= threshold || magnitude(H(k2)) <= threshold;
    };
    for (std::int32_t k = 1; k <= half - 1; ++k) e[k + half] = quiet(k, k + 1) ? kMarker : samples(H(k + 1), H(k));
    for (std::int32_t k = n; k >= half + 2; --k) e[k - half] = quiet(k, k - 1) ? kMarker : samples(H(k), H(k - 1));
    e[n] = e[n - 1];
    e[1] = e[2];
    // Leading markers take the mean of the first 8 valid entries.
    double sum = 0.0;
    std::int32_t count = 0;
    for (std::int32_t i = 1; i <= n && count < 8; ++i)
        if (e[i] >= 0.0) {
            sum += e[i];
            ++count;
        }
    const double start = count > 0 ? sum / count : 0.0;
    for (std::int32_t i = 1; i <= n && e[i] < 0.0; ++i) e[i] = start;
    for (std::int32_t i = 3; i <= n; ++i) {
        if (e[i] < 0.0) e[i] = 0.5 * (e[i - 1] + e[i - 2]);
        if (e[i] > half) e[i] = half;
    }
    const double latency = 0.5 * static_cast<double>(n) * dt;
    for (std::int32_t i = 1; i <= n; ++i) e[i] *= dt;
    if (n <= kBins) {
        const std::int32_t repeat = kBins / n;
        for (std::int32_t i = 0; i < kBins; ++i) bin_delay[i] = static_cast<float>(e[i / repeat + 1] + latency);
    } else {
        const std::int32_t group = n / kBins;
        for (std::int32_t i = 0; i < kBins; ++i) {
            double s = 0.0;
            for (std::int32_t j = 0; j < group; ++j) s += e[i * group + j + 1];
            bin_delay[i] = static_cast<float>(s / group + latency);
        }
    }
    if (chart_on && chart != nullptr) {
        records::write_values(chart, n);
        for (std::int32_t i = 1; i <= n; ++i) {
            const double f = static_cast<double>(i - 1 - half) / (static_cast<double>(n) * dt);
            const std::int32_t k = i > half ? i - half : i + half;
            records::write_values(chart, f, std::norm(H(k)), e[i] + latency);
        }
    }
}

void convert_group_delay(const double* f, double* modulus, double* delay, std::int32_t n, double lo, double hi,
                         bool db, bool polar) {
    double weighted = 0.0;
    for (std::int32_t i = 0; i + 1 < n; ++i)
        if (f[i] > lo && f[i] < hi) weighted += (f[i + 1] - f[i]) * delay[i];
    const double mean = weighted / (hi - lo);
    std::vector<double> curvature(static_cast<std::size_t>(std::max(n, 1)));
    dspline_clamped(f, delay, n, curvature.data());
    std::vector<double> phase(static_cast<std::size_t>(std::max(n, 1)), 0.0);
    double phi = 0.0;
    for (std::int32_t i = 0; i + 1 < n; ++i) {
        const double h = (f[i + 1] - f[i]) / 10.0;
        for (int s = 0; s < 10; ++s) {
            const double mid = f[i] + (s + 0.5) * h;
            phi -= kTwoPi * (splint(f, delay, curvature.data(), n, mid) - mean) * h;
        }
        phase[static_cast<std::size_t>(i + 1)] = phi;
    }
    for (std::int32_t i = 0; i < n; ++i) {
        const double a = db ? std::pow(10.0, modulus[i] / 20.0) : std::sqrt(std::max(modulus[i], 0.0));
        const double p = phase[static_cast<std::size_t>(i)];
        if (polar) {
            modulus[i] = a;
            delay[i] = p;
        } else {
            modulus[i] = a * std::cos(p);
            delay[i] = a * std::sin(p);
        }
    }
}

void smooth_data(const double* /*f*/, double* b, double* c, std::int32_t n, std::int32_t window) {
    if (window <= 1 || n <= 1) return;
    const std::vector<double> b0(b, b + n);
    const std::vector<double> c0(c, c + n);
    const std::int32_t left = (window - 1) / 2;
    const std::int32_t right = window / 2;
    for (std::int32_t i = 0; i < n; ++i) {
        const std::int32_t from = std::max(0, i - left);
        const std::int32_t to = std::min(n - 1, i + right);
        double sb = 0.0, sc = 0.0;
        for (std::int32_t j = from; j <= to; ++j) {
            sb += b0[static_cast<std::size_t>(j)];
            sc += c0[static_cast<std::size_t>(j)];
        }
        b[i] = sb / (to - from + 1);
        c[i] = sc / (to - from + 1);
    }
}

void check_input_data(const double* f, const double* b, const double* c, std::int32_t n, double lo, double hi,
                      std::int32_t inside, bool electrical, bool polar, bool quiet) {
    const char* header = electrical ? "User defined electical filter" : "User defined optical filter";
    if (inside < 64) {
        opxwarn(header);
        opxinfo("   The number of data points inside the ");
        opxinfo("   simulation bandwidth is less than 64");
        opxinfo("   This number is usually too small");
        opxinfo("   to obtain a sufficient accuracy");
    }
    std::int32_t first = 0;
    while (first < n && f[first] <= lo) ++first;
    std::int32_t last = first;
    while (last < n - 1 && f[last] < hi) ++last;
    if (first >= n) return;
    auto value = [&](std::int32_t i) { return polar ? std::polar(b[i], c[i]) : std::complex<double>(b[i], c[i]); };
    auto power = [&](std::int32_t i) { return polar ? b[i] * b[i] : b[i] * b[i] + c[i] * c[i]; };
    double largest = 0.0;
    for (std::int32_t i = first; i <= last; ++i) largest = std::max(largest, power(i));
    bool modulus_jump = false;
    bool phase_jump = false;
    for (std::int32_t i = first; i < last; ++i) {
        const double p0 = power(i);
        const double p1 = power(i + 1);
        if (std::fabs(p0 - p1) > 0.1 * largest) modulus_jump = true;
        if (std::min(p0, p1) > 0.01 * largest &&
            std::fabs(to_fase_double(value(i) * std::conj(value(i + 1)))) > 0.6108278)
            phase_jump = true;
    }
    if (phase_jump && !polar && !quiet) {
        opxwarn(header);
        opxinfo("  the phase variation in the input data file are ");
        opxinfo("  probably too large to ensure a high accuracy");
    }
    if (modulus_jump && !quiet) {
        opxwarn(header);
        opxinfo("   the modulus variation in the input data file are");
        opxinfo("   probably too large to ensure a high accuracy");
    }
}

}  // namespace nodrix
