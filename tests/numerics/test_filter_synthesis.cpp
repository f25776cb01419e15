// The numerical tools of filter design against second methods: the FFT against a direct DFT, the spline against a cubic.
#include "numerics/filter_synthesis.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>
#include <string>
#include <vector>

#include "numerics/fft.h"
#include "numerics/spline.h"
#include "kernel/run_context.h"
#include "tests/support/test_support.h"

namespace nodrix {
namespace {

using cd = std::complex<double>;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

class FilterSynthesisTest : public testing::NodrixTest {
protected:
    void SetUp() override {
        NodrixTest::SetUp();
        testing::set_project_constants();
        fs_ = 1.0 / static_cast<double>(SimulationSettings{}.time_step_ps);
    }
    double fs_ = 0.0;
};

// Straightforward DFT bin: sum of x_n e^(sign j 2 pi k n / N), divided by N when `scaled`.
cd dft_bin(const std::vector<cd>& x, std::size_t k, double sign, bool scaled) {
    const std::size_t n = x.size();
    cd sum(0.0, 0.0);
    for (std::size_t i = 0; i < n; ++i) sum += x[i] * std::polar(1.0, sign * 2.0 * M_PI * double((k * i) % n) / double(n));
    return scaled ? sum / double(n) : sum;
}

TEST_F(FilterSynthesisTest, FftMatchesStraightforwardDftBothDirections) {
    // Every bin up to 2^10; single bins of the longest synthesis length (2^18) and of one beyond (2^19).
    for (std::int32_t log2n : {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 18, 19}) {
        const std::size_t n = std::size_t{1} << log2n;
        std::mt19937 gen(17u + unsigned(log2n));
        std::uniform_real_distribution<double> u(-1.0, 1.0);
        std::vector<cd> x(n);
        for (auto& z : x) z = cd(u(gen), u(gen));
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

double cubic(double x) { return 2.0 - 1.5 * x + 0.75 * x * x - 0.3 * x * x * x; }
double cubic_slope(double x) { return -1.5 + 1.5 * x - 0.9 * x * x; }

TEST_F(FilterSynthesisTest, SplineExactOnACubicWithItsTrueEndSlopes) {
    // Uneven abscissas; outside the table the end cubics continue.
    const std::vector<double> x = {-1.0, -0.4, 0.1, 0.3, 1.2, 2.0, 2.1, 3.5};
    std::vector<double> y, y2(x.size());
    for (double v : x) y.push_back(cubic(v));
    dspline(x.data(), y.data(), 8, cubic_slope(x.front()), cubic_slope(x.back()), y2.data());
    for (double t = -1.3; t <= 3.9; t += 0.0371) EXPECT_NEAR(splint(x.data(), y.data(), y2.data(), 8, t), cubic(t), 1e-11) << t;
    dspline(x.data(), y.data(), 8, 1e30, 1e30, y2.data());  // natural ends
    EXPECT_EQ(y2[0], 0.0);
    EXPECT_EQ(y2[7], 0.0);
}

// A polar table of a single-pole resonance of half-width g, dense near its centre, over the whole sampled band.
struct PoleTable {
    std::vector<double> f, b, b2, c, c2;
    PoleTable(double g, double fs) {
        for (double x = -0.6 * fs; x <= 0.6 * fs; x += std::max(g / 20.0, std::fabs(x) / 20.0)) {
            f.push_back(x);
            b.push_back(1.0 / std::sqrt(1.0 + x * x / (g * g)));
            c.push_back(-std::atan(x / g));
        }
        b2.resize(f.size());
        c2.resize(f.size());
        dspline_clamped(f.data(), b.data(), std::int32_t(f.size()), b2.data());
        dspline_clamped(f.data(), c.data(), std::int32_t(f.size()), c2.data());
    }
    SplineTable table() const { return {f.data(), b.data(), b2.data(), c.data(), c2.data(), std::int32_t(f.size()), true}; }
};

}  // namespace
}  // namespace nodrix
