#include "filters/fft.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>
#include <vector>

#include "kernel/storage.h"
#include "tests/support/test_support.h"

namespace nodrix {
namespace {

using cd = std::complex<double>;

class FftTest : public testing::NodrixTest {};

std::vector<cd> random_vector(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::vector<cd> v(n);
    for (auto& z : v) z = cd(u(gen), u(gen));
    return v;
}

// Straightforward DFT bin: sum of x_n e^(sign j 2 pi k n / N), divided by N when `scaled`.
cd dft_bin(const std::vector<cd>& x, std::size_t k, double sign, bool scaled) {
    const std::size_t n = x.size();
    cd sum(0.0, 0.0);
    for (std::size_t i = 0; i < n; ++i) sum += x[i] * std::polar(1.0, sign * 2.0 * M_PI * double((k * i) % n) / double(n));
    return scaled ? sum / double(n) : sum;
}

TEST_F(FftTest, MatchesStraightforwardDftBothDirections) {
    // Every bin up to 2^10; single bins of the longest synthesis length (2^18)
    // and of one beyond the twiddle table (2^19).
    for (std::int32_t log2n : {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 18, 19}) {
        const std::size_t n = std::size_t{1} << log2n;
        const std::vector<cd> x = random_vector(n, 17u + unsigned(log2n));
        std::vector<std::size_t> bins = {0, 1, n / 2, n - 1, 12345 % n};
        if (log2n <= 10)
            for (std::size_t k = 0; k < n; ++k) bins.push_back(k);
        for (std::int32_t dir : {-1, +1}) {
            std::vector<cd> a = x;
            cfft2(a.data(), log2n, dir);
            for (std::size_t k : bins)
                ASSERT_LT(std::abs(a[k] - dft_bin(x, k, dir, dir > 0)), 1e-11 * std::sqrt(double(n)))
                    << log2n << " " << dir << " " << k;
        }
    }
}

TEST_F(FftTest, Cfft3WorksInPlaceOnKernelStorage) {
    const std::int32_t position = 41;
    const std::vector<cd> x = random_vector(32, 5u);
    *zisd_at(position - 1) = cd(7.0, 7.0);  // guards around the area
    *zisd_at(position + 32) = cd(9.0, 9.0);
    for (std::size_t i = 0; i < 32; ++i) zisd_at(position)[i] = x[i];
    cfft3(position, 5, -1);
    for (std::size_t k = 0; k < 32; ++k) EXPECT_LT(std::abs(zisd_at(position)[k] - dft_bin(x, k, -1, false)), 1e-12);
    cfft3(position, 5, +1);
    for (std::size_t i = 0; i < 32; ++i) EXPECT_LT(std::abs(zisd_at(position)[i] - x[i]), 1e-14);
    EXPECT_EQ(*zisd_at(position - 1), cd(7.0, 7.0));
    EXPECT_EQ(*zisd_at(position + 32), cd(9.0, 9.0));
}

}  // namespace
}  // namespace nodrix
