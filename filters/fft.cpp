#include "filters/fft.h"

#include <cmath>
#include <utility>

#include "kernel/control_blocks.h"
#include "kernel/storage.h"

namespace nodrix {
namespace {

// Twiddles of every stage up to the length 2^kTableLog2, laid out per stage
// so that a stage reads them in order: the stage that combines halves of h
// points uses entries h..2h-1, entry h + k holding e^(-j 2 pi k / (2h)) as
// (cos, -sin), each computed directly (no recurrence). A stage's entries are
// filled on its first use; the run-time overlap-add then does no trigonometry.
constexpr std::int32_t kTableLog2 = 18;
constexpr std::int64_t kTableSize = std::int64_t{1} << kTableLog2;
double twiddles[2 * kTableSize];
bool stage_ready[kTableLog2 + 1] = {};

const double* stage_twiddles(std::int32_t stage) {  // stage s combines halves of 2^(s-1) points
    const std::int64_t h = std::int64_t{1} << (stage - 1);
    if (!stage_ready[stage]) {
        const double step = kTwoPi / static_cast<double>(2 * h);
        for (std::int64_t k = 0; k < h; ++k) {
            const double a = step * static_cast<double>(k);
            twiddles[2 * (h + k)] = std::cos(a);
            twiddles[2 * (h + k) + 1] = -std::sin(a);
        }
        stage_ready[stage] = true;
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

// Butterflies on interleaved (re, im) doubles with plain real arithmetic (the
// checked complex multiply is slow). kInverse selects the twiddle e^(+j...).
// Stages are taken two at a time: one pass over the data does the stage of
// half-size q and the stage of half-size 2q on four points at a time.
template <bool kInverse>
void butterflies_table(double* a, std::int64_t n, std::int32_t log2n) {
    const double conj = kInverse ? -1.0 : 1.0;
    std::int32_t stage = 1;
    if (log2n % 2 != 0) {
        // A single first stage: the twiddle is 1.
        for (std::int64_t s = 0; s < n; s += 2) {
            const double ur = a[2 * s], ui = a[2 * s + 1];
            const double vr = a[2 * s + 2], vi = a[2 * s + 3];
            a[2 * s] = ur + vr;
            a[2 * s + 1] = ui + vi;
            a[2 * s + 2] = ur - vr;
            a[2 * s + 3] = ui - vi;
        }
        stage = 2;
    }
    for (; stage < log2n; stage += 2) {
        const std::int64_t q = std::int64_t{1} << (stage - 1);
        const double* w_a = stage_twiddles(stage);      // half-size q
        const double* w_b = stage_twiddles(stage + 1);  // half-size 2q
        for (std::int64_t s = 0; s < n; s += 4 * q) {
            double* p0 = a + 2 * s;
            double* p1 = p0 + 2 * q;
            double* p2 = p1 + 2 * q;
            double* p3 = p2 + 2 * q;
            for (std::int64_t k = 0; k < q; ++k) {
                const double ar = w_a[2 * k], ai = conj * w_a[2 * k + 1];
                const double br = w_b[2 * k], bi = conj * w_b[2 * k + 1];
                const double x0r = p0[2 * k], x0i = p0[2 * k + 1];
                const double x1r = p1[2 * k], x1i = p1[2 * k + 1];
                const double x2r = p2[2 * k], x2i = p2[2 * k + 1];
                const double x3r = p3[2 * k], x3i = p3[2 * k + 1];
                // First stage: (x0, x1) and (x2, x3) with the twiddle a.
                const double t1r = ar * x1r - ai * x1i, t1i = ar * x1i + ai * x1r;
                const double t3r = ar * x3r - ai * x3i, t3i = ar * x3i + ai * x3r;
                const double y0r = x0r + t1r, y0i = x0i + t1i;
                const double y1r = x0r - t1r, y1i = x0i - t1i;
                const double y2r = x2r + t3r, y2i = x2i + t3i;
                const double y3r = x2r - t3r, y3i = x2i - t3i;
                // Second stage: (y0, y2) with b, (y1, y3) with b e^(-+j pi/2).
                const double t2r = br * y2r - bi * y2i, t2i = br * y2i + bi * y2r;
                const double ur = br * y3r - bi * y3i, ui = br * y3i + bi * y3r;
                const double t4r = kInverse ? -ui : ui;
                const double t4i = kInverse ? ur : -ur;
                p0[2 * k] = y0r + t2r;
                p0[2 * k + 1] = y0i + t2i;
                p2[2 * k] = y0r - t2r;
                p2[2 * k + 1] = y0i - t2i;
                p1[2 * k] = y1r + t4r;
                p1[2 * k + 1] = y1i + t4i;
                p3[2 * k] = y1r - t4r;
                p3[2 * k + 1] = y1i - t4i;
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
    if (log2n <= kTableLog2) {
        if (direction > 0)
            butterflies_table<true>(d, n, log2n);
        else
            butterflies_table<false>(d, n, log2n);
    } else {
        butterflies_direct(d, n, direction > 0 ? 1.0 : -1.0);
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
