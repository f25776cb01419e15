#include "filters/fft.h"

#include <cmath>
#include <utility>

#include "kernel/control_blocks.h"
#include "kernel/storage.h"

namespace nodrix {
namespace {

// Twiddles e^(-j 2 pi k / 2^kTableLog2), k < 2^(kTableLog2 - 1), each computed
// directly (no recurrence), so every stage of every length up to 2^kTableLog2
// reads exact values with a stride. Filled on first use; the run-time
// overlap-add then does no trigonometry at all.
constexpr std::int32_t kTableLog2 = 18;
constexpr std::int64_t kTableHalf = std::int64_t{1} << (kTableLog2 - 1);
double twiddle_re[kTableHalf];
double twiddle_im[kTableHalf];
bool twiddles_ready = false;

void fill_twiddles() {
    const double step = kTwoPi / static_cast<double>(kTableHalf * 2);
    for (std::int64_t k = 0; k < kTableHalf; ++k) {
        const double a = step * static_cast<double>(k);
        twiddle_re[k] = std::cos(a);
        twiddle_im[k] = -std::sin(a);
    }
    twiddles_ready = true;
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

// Butterflies on interleaved (re, im) doubles; `sign` is -1 for the forward
// twiddle e^(-j...) and +1 for e^(+j...). Plain real arithmetic keeps the
// compiler away from the slow checked complex multiply.
void butterflies_table(double* a, std::int64_t n, std::int32_t log2n, double sign) {
    // Stage m = 2: the twiddle is 1.
    for (std::int64_t s = 0; s < n; s += 2) {
        const double ur = a[2 * s], ui = a[2 * s + 1];
        const double vr = a[2 * s + 2], vi = a[2 * s + 3];
        a[2 * s] = ur + vr;
        a[2 * s + 1] = ui + vi;
        a[2 * s + 2] = ur - vr;
        a[2 * s + 3] = ui - vi;
    }
    const double im_sign = -sign;  // the table holds -sin, so e^(sign j a) has im = -sign * table
    for (std::int32_t stage = 2; stage <= log2n; ++stage) {
        const std::int64_t m = std::int64_t{1} << stage;
        const std::int64_t half = m / 2;
        const std::int64_t stride = std::int64_t{1} << (kTableLog2 - stage);
        for (std::int64_t s = 0; s < n; s += m) {
            double* lo = a + 2 * s;
            double* hi = a + 2 * (s + half);
            for (std::int64_t k = 0; k < half; ++k) {
                const double wr = twiddle_re[k * stride];
                const double wi = im_sign * twiddle_im[k * stride];
                const double xr = hi[2 * k], xi = hi[2 * k + 1];
                const double tr = wr * xr - wi * xi;
                const double ti = wr * xi + wi * xr;
                const double ur = lo[2 * k], ui = lo[2 * k + 1];
                lo[2 * k] = ur + tr;
                lo[2 * k + 1] = ui + ti;
                hi[2 * k] = ur - tr;
                hi[2 * k + 1] = ui - ti;
            }
        }
    }
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
    bit_reverse(d, n);
    const double sign = direction > 0 ? 1.0 : -1.0;
    if (log2n <= kTableLog2) {
        if (!twiddles_ready) fill_twiddles();
        butterflies_table(d, n, log2n, sign);
    } else {
        butterflies_direct(d, n, sign);
    }
    if (direction > 0) {
        const double scale = 1.0 / static_cast<double>(n);
        for (std::int64_t i = 0; i < 2 * n; ++i) d[i] *= scale;
    }
}

void cfft3(std::int32_t position, std::int32_t log2n, std::int32_t direction) {
    cfft2(zisd_at(position), log2n, direction);
}

}  // namespace nodrix
