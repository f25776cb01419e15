#include "numerics/fft.h"

#include <atomic>
#include <cmath>
#include <mutex>
#include <utility>
#include <vector>

#include "numerics/constants.h"

namespace nodrix {
namespace {

// Twiddles of every pass up to the length 2^kTableLog2, laid out per length
// so that a pass reads them in order: the pass on sub-sequences of 2h points
// uses entries h..2h-1, entry h + k holding e^(-j 2 pi k / (2h)) as
// (cos, -sin), each computed directly (no recurrence). A length's entries are
// filled on its first use (under the table's lock, so that runs on threads
// at once fill it once); the run-time overlap-add then does no trigonometry.
constexpr std::int32_t kTableLog2 = 18;
constexpr std::int64_t kTableSize = std::int64_t{1} << kTableLog2;
struct TwiddleTable {
    double twiddles[2 * kTableSize];
    std::atomic<bool> ready[kTableLog2 + 1] = {};
    std::mutex lock;
};
TwiddleTable table;

const double* stage_twiddles(std::int32_t stage) {  // sub-sequences of 2^stage points
    const std::int64_t h = std::int64_t{1} << (stage - 1);
    double* const twiddles = table.twiddles;
    if (!table.ready[stage].load(std::memory_order_acquire)) {
        const std::lock_guard<std::mutex> held(table.lock);
        if (!table.ready[stage].load(std::memory_order_relaxed)) {
            const double step = kTwoPi / static_cast<double>(2 * h);
            for (std::int64_t k = 0; k < h; ++k) {
                const double a = step * static_cast<double>(k);
                twiddles[2 * (h + k)] = std::cos(a);
                twiddles[2 * (h + k) + 1] = -std::sin(a);
            }
            table.ready[stage].store(true, std::memory_order_release);
        }
    }
    return twiddles + 2 * h;
}

void bit_reverse(double* a, std::int64_t n) {
    for (std::int64_t i = 0, j = 0; i < n; ++i) {
        if (i < j) {
            std::swap(a[2 * i], a[2 * j]);
            std::swap(a[2 * i + 1], a[2 * j + 1]);
        }
        std::int64_t bit = n >> 1;
        while (bit > 0 && (j & bit)) {
            j ^= bit;
            bit >>= 1;
        }
        j |= bit;
    }
}

// Work area of the self-sorting transform (the data move between it and the
// caller's array from pass to pass): each thread's own, grown to the longest
// transform it made.
double* work_area(std::int64_t n) {
    thread_local std::vector<double> work;
    if (static_cast<std::int64_t>(work.size()) < 2 * n) work.resize(static_cast<std::size_t>(2 * n));
    return work.data();
}

// Self-sorting (Stockham) radix-4 transform on interleaved (re, im) doubles:
// natural order in and out, so no bit-reversal pass; every pass reads and
// writes in order. A pass on sub-sequences of length len (stride s) takes
// four points a, b, c, d a quarter apart and writes
//   a + b + c + d, w (a - c -+ j (b - d)), w^2 (a - b + c - d), w^3 (a - c +- j (b - d)),
// w = e^(-+j 2 pi p / len), the upper signs forward. A last radix-2 pass
// handles odd log2 lengths. Plain real arithmetic keeps the compiler away
// from the slow checked complex multiply. Returns the array holding the result.
template <bool kInverse>
double* stockham(double* x, double* y, std::int64_t total) {
    const double conj = kInverse ? -1.0 : 1.0;  // the table holds e^(-j...)
    const double sg = kInverse ? 1.0 : -1.0;    // sign of j in the butterfly
    std::int64_t len = total;
    std::int64_t s = 1;
    std::int32_t log2len = 0;
    while ((std::int64_t{1} << log2len) < total) ++log2len;
    while (len >= 4) {
        const std::int64_t m = len / 4;
        const double* t = stage_twiddles(log2len);  // e^(-j 2 pi k / len), k < len / 2
        for (std::int64_t p = 0; p < m; ++p) {
            const double w1r = t[2 * p], w1i = conj * t[2 * p + 1];
            const double w2r = t[4 * p], w2i = conj * t[4 * p + 1];
            double w3r, w3i;
            if (3 * p < 2 * m) {
                w3r = t[6 * p];
                w3i = conj * t[6 * p + 1];
            } else {  // e^(-j 2 pi k / len) = -e^(-j 2 pi (k - len/2) / len)
                w3r = -t[2 * (3 * p - 2 * m)];
                w3i = -conj * t[2 * (3 * p - 2 * m) + 1];
            }
            const double* xa = x + 2 * s * p;
            const double* xb = xa + 2 * s * m;
            const double* xc = xb + 2 * s * m;
            const double* xd = xc + 2 * s * m;
            double* y0 = y + 2 * s * 4 * p;
            double* y1 = y0 + 2 * s;
            double* y2 = y1 + 2 * s;
            double* y3 = y2 + 2 * s;
            for (std::int64_t q = 0; q < s; ++q) {
                const double ar = xa[2 * q], ai = xa[2 * q + 1];
                const double br = xb[2 * q], bi = xb[2 * q + 1];
                const double cr = xc[2 * q], ci = xc[2 * q + 1];
                const double dr = xd[2 * q], di = xd[2 * q + 1];
                const double apcr = ar + cr, apci = ai + ci;
                const double amcr = ar - cr, amci = ai - ci;
                const double bpdr = br + dr, bpdi = bi + di;
                // sg j (b - d)
                const double jr = -sg * (bi - di), ji = sg * (br - dr);
                const double u1r = amcr + jr, u1i = amci + ji;
                const double u2r = apcr - bpdr, u2i = apci - bpdi;
                const double u3r = amcr - jr, u3i = amci - ji;
                y0[2 * q] = apcr + bpdr;
                y0[2 * q + 1] = apci + bpdi;
                y1[2 * q] = w1r * u1r - w1i * u1i;
                y1[2 * q + 1] = w1r * u1i + w1i * u1r;
                y2[2 * q] = w2r * u2r - w2i * u2i;
                y2[2 * q + 1] = w2r * u2i + w2i * u2r;
                y3[2 * q] = w3r * u3r - w3i * u3i;
                y3[2 * q + 1] = w3r * u3i + w3i * u3r;
            }
        }
        len = m;
        s *= 4;
        log2len -= 2;
        std::swap(x, y);
    }
    if (len == 2) {
        for (std::int64_t q = 0; q < s; ++q) {
            const double ar = x[2 * q], ai = x[2 * q + 1];
            const double br = x[2 * (q + s)], bi = x[2 * (q + s) + 1];
            y[2 * q] = ar + br;
            y[2 * q + 1] = ai + bi;
            y[2 * (q + s)] = ar - br;
            y[2 * (q + s) + 1] = ai - bi;
        }
        std::swap(x, y);
    }
    return x;
}

// Lengths beyond the table: twiddles computed per stage.
void butterflies_direct(double* a, std::int64_t n, double sign) {
    for (std::int64_t m = 2; m <= n; m <<= 1) {
        const double angle = sign * kTwoPi / static_cast<double>(m);
        const std::int64_t half = m / 2;
        for (std::int64_t k = 0; k < half; ++k) {
            const double wr = std::cos(angle * static_cast<double>(k));
            const double wi = std::sin(angle * static_cast<double>(k));
            for (std::int64_t s = k; s < n; s += m) {
                const double xr = a[2 * (s + half)], xi = a[2 * (s + half) + 1];
                const double tr = wr * xr - wi * xi;
                const double ti = wr * xi + wi * xr;
                const double ur = a[2 * s], ui = a[2 * s + 1];
                a[2 * s] = ur + tr;
                a[2 * s + 1] = ui + ti;
                a[2 * (s + half)] = ur - tr;
                a[2 * (s + half) + 1] = ui - ti;
            }
        }
    }
}

}  // namespace

void cfft2(std::complex<double>* a, std::int32_t log2n, std::int32_t direction) {
    if (log2n <= 0) return;  // a single value is its own transform
    const std::int64_t n = std::int64_t{1} << log2n;
    // std::complex<double> is laid out as two doubles (re, im).
    double* d = reinterpret_cast<double*>(a);
    const double scale = direction > 0 ? 1.0 / static_cast<double>(n) : 1.0;
    if (log2n <= kTableLog2) {
        double* const work = work_area(n);
        const double* result = direction > 0 ? stockham<true>(d, work, n) : stockham<false>(d, work, n);
        if (result != d) {
            for (std::int64_t i = 0; i < 2 * n; ++i) d[i] = result[i] * scale;
            return;
        }
    } else {
        bit_reverse(d, n);
        butterflies_direct(d, n, direction > 0 ? 1.0 : -1.0);
    }
    if (direction > 0)
        for (std::int64_t i = 0; i < 2 * n; ++i) d[i] *= scale;
}

}  // namespace nodrix
