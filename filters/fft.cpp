#include "filters/fft.h"

#include <cmath>
#include <utility>

#include "kernel/control_blocks.h"
#include "kernel/storage.h"

namespace nodrix {

void cfft2(std::complex<double>* a, std::int32_t log2n, std::int32_t direction) {
    const std::int64_t n = std::int64_t{1} << log2n;
    for (std::int64_t i = 0, j = 0; i < n; ++i) {
        if (i < j) std::swap(a[i], a[j]);
        std::int64_t bit = n >> 1;
        while (bit > 0 && (j & bit)) {
            j ^= bit;
            bit >>= 1;
        }
        j |= bit;
    }
    const double sign = direction > 0 ? 1.0 : -1.0;
    for (std::int64_t m = 2; m <= n; m <<= 1) {
        const double angle = sign * kTwoPi / static_cast<double>(m);
        const std::int64_t half = m / 2;
        // Twiddles of this stage, computed directly to keep their accuracy.
        for (std::int64_t k = 0; k < half; ++k) {
            const double a_k = angle * static_cast<double>(k);
            const std::complex<double> w(std::cos(a_k), std::sin(a_k));
            for (std::int64_t s = k; s < n; s += m) {
                const std::complex<double> t = w * a[s + half];
                a[s + half] = a[s] - t;
                a[s] += t;
            }
        }
    }
    if (direction > 0) {
        const double scale = 1.0 / static_cast<double>(n);
        for (std::int64_t i = 0; i < n; ++i) a[i] *= scale;
    }
}

void cfft3(std::int32_t position, std::int32_t log2n, std::int32_t direction) {
    cfft2(zisd_at(position), log2n, direction);
}

}  // namespace nodrix
