#include "filters/fft.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>
#include <vector>

#include "kernel/control_blocks.h"
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

// Straightforward DFT: sum over n of x_n e^(sign j 2 pi k n / N), divided by
// N when `scaled`.
cd dft_bin(const std::vector<cd>& x, std::size_t k, double sign, bool scaled) {
    const std::size_t n = x.size();
    cd sum(0.0, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        const double a = sign * 2.0 * M_PI * static_cast<double>((k * i) % n) / static_cast<double>(n);
        sum += x[i] * cd(std::cos(a), std::sin(a));
    }
    return scaled ? sum / static_cast<double>(n) : sum;
}

TEST_F(FftTest, MatchesStraightforwardDftBothDirections) {
    struct Case {
        std::int32_t direction;
        double sign;
        bool scaled;
    };
    const Case cases[] = {{-1, -1.0, false}, {+1, +1.0, true}};
    for (std::int32_t log2n = 1; log2n <= 10; ++log2n) {
        const std::size_t n = std::size_t{1} << log2n;
        for (const Case& c : cases) {
            const std::vector<cd> x = random_vector(n, 17u + static_cast<unsigned>(log2n));
            std::vector<cd> a = x;
            cfft2(a.data(), log2n, c.direction);
            for (std::size_t k = 0; k < n; ++k) {
                const cd ref = dft_bin(x, k, c.sign, c.scaled);
                ASSERT_NEAR(a[k].real(), ref.real(), 1e-11 * std::sqrt(static_cast<double>(n)))
                    << "log2n " << log2n << " dir " << c.direction << " k " << k;
                ASSERT_NEAR(a[k].imag(), ref.imag(), 1e-11 * std::sqrt(static_cast<double>(n)));
            }
        }
    }
}

TEST_F(FftTest, ForwardOfImpulseAndToneAndRoundTrip) {
    const std::int32_t log2n = 6;
    const std::size_t n = 64;
    // A unit impulse at 0 transforms to all ones (unscaled forward).
    std::vector<cd> a(n, cd(0.0, 0.0));
    a[0] = 1.0;
    cfft2(a.data(), log2n, -1);
    for (const cd& z : a) EXPECT_NEAR(std::abs(z - cd(1.0, 0.0)), 0.0, 1e-14);
    // e^(+j 2 pi 5 n / N) puts N into bin 5 of the forward transform.
    for (std::size_t i = 0; i < n; ++i) a[i] = std::polar(1.0, 2.0 * M_PI * 5.0 * static_cast<double>(i) / 64.0);
    cfft2(a.data(), log2n, -1);
    for (std::size_t k = 0; k < n; ++k) EXPECT_NEAR(std::abs(a[k]), k == 5 ? 64.0 : 0.0, 1e-11);
    // Inverse after forward restores the data (the inverse carries 1/N).
    const std::vector<cd> x = random_vector(n, 3u);
    a = x;
    cfft2(a.data(), log2n, -1);
    cfft2(a.data(), log2n, +1);
    for (std::size_t i = 0; i < n; ++i) EXPECT_NEAR(std::abs(a[i] - x[i]), 0.0, 1e-14);
}

TEST_F(FftTest, LongLengthsAgainstSingleBins) {
    // The longest synthesis length (2^18) and one beyond the twiddle table.
    for (std::int32_t log2n : {18, 19}) {
        const std::size_t n = std::size_t{1} << log2n;
        const std::vector<cd> x = random_vector(n, 99u);
        std::vector<cd> a = x;
        cfft2(a.data(), log2n, -1);
        for (std::size_t k : {std::size_t{0}, std::size_t{1}, std::size_t{12345}, n / 2, n - 1}) {
            const cd ref = dft_bin(x, k, -1.0, false);
            EXPECT_NEAR(std::abs(a[k] - ref), 0.0, 1e-8) << log2n << " " << k;
        }
        cfft2(a.data(), log2n, +1);
        double worst = 0.0;
        for (std::size_t i = 0; i < n; ++i) worst = std::max(worst, std::abs(a[i] - x[i]));
        EXPECT_LT(worst, 1e-13);
    }
}

TEST_F(FftTest, Cfft3WorksOnKernelDoubleComplexStorageInPlace) {
    const std::int32_t log2n = 5;
    const std::size_t n = 32;
    const std::int32_t position = 41;
    const std::vector<cd> x = random_vector(n, 5u);
    zisd_at(position - 1)[0] = cd(7.0, 7.0);  // guard values around the area
    zisd_at(position + 32)[0] = cd(9.0, 9.0);
    for (std::size_t i = 0; i < n; ++i) zisd_at(position)[i] = x[i];
    cfft3(position, log2n, -1);
    for (std::size_t k = 0; k < n; ++k) {
        const cd ref = dft_bin(x, k, -1.0, false);
        EXPECT_NEAR(std::abs(zisd_at(position)[k] - ref), 0.0, 1e-12);
    }
    cfft3(position, log2n, +1);
    for (std::size_t i = 0; i < n; ++i) EXPECT_NEAR(std::abs(zisd_at(position)[i] - x[i]), 0.0, 1e-14);
    EXPECT_EQ(*zisd_at(position - 1), cd(7.0, 7.0));
    EXPECT_EQ(*zisd_at(position + 32), cd(9.0, 9.0));
}

}  // namespace
}  // namespace nodrix
