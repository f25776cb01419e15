// The numerical tools of filter design (FFT, cubic spline) and the synthesis of a filter from a table.
#include "numerics/filter_synthesis.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>
#include <string>
#include <vector>

#include "numerics/fft.h"
#include "numerics/spline.h"
#include "kernel/control_blocks.h"
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
        fs_ = 1.0 / zdctrl.ddelt;
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

TEST_F(FilterSynthesisTest, LongestSettledDesignIsRealisedOnTwoTo18Points) {
    // A 0.2 GHz wide resonance rings for about 90000 samples: 2^17 taps on 2^18 points.
    const PoleTable pole(0.0002, fs_);
    std::vector<cd> realised(kMaxRealisedPoints), scratch(kMaxRealisedPoints);
    std::int32_t log2n = 0;
    coefil(pole.table(), -0.5 * fs_, -0.4 * fs_, 0.4 * fs_, 0.5 * fs_, realised.data(), scratch.data(), log2n, 193.6);
    ASSERT_EQ(log2n, kMaxRealisedLog2);
    EXPECT_FALSE(accuracy_check(-0.4 * fs_, 0.4 * fs_, realised.data(), pole.table(), 1 << log2n));
    // Refused: half as wide (2^18 taps), and a band whose start length is already too long.
    coefil(PoleTable(0.0001, fs_).table(), -0.5 * fs_, -0.4 * fs_, 0.4 * fs_, 0.5 * fs_, realised.data(),
           scratch.data(), log2n, 193.6);
    EXPECT_EQ(log2n, -1);
    coefil(pole.table(), -0.001, -0.0005, 0.0005, 0.001, realised.data(), scratch.data(), log2n, 193.6);
    EXPECT_EQ(log2n, -1);
}

TEST_F(FilterSynthesisTest, SmoothingIsACentredMovingAverageShortenedAtTheEnds) {
    const double f[] = {0, 1, 2, 3, 4};
    // An even window reaches one point further to the right; a window of 1 changes nothing.
    const std::pair<int, std::vector<double>> cases[] = {{3, {1.5, 3.0, 3.0, 2.0, 0.0}}, {4, {3.0, 2.25, 2.25, 2.0, 0.0}},
                                                         {1, {0, 3, 6, 0, 0}}};
    for (const auto& [window, want] : cases) {
        std::vector<double> b = {0, 3, 6, 0, 0}, c(5, 4.0);
        smooth_data(f, b.data(), c.data(), 5, window);
        EXPECT_EQ(b, want) << window;
        EXPECT_EQ(c, std::vector<double>(5, 4.0));
    }
}

TEST_F(FilterSynthesisTest, InputCheckWarnings) {
    std::vector<double> f, one(101, 1.0), zero(101, 0.0), cosine, sine, ramp;
    for (int i = 0; i <= 100; ++i) {
        f.push_back(-1.2 + 2.4 * i / 100.0);  // 83 points inside (-1, 1)
        cosine.push_back(std::cos(0.7 * i));
        sine.push_back(std::sin(0.7 * i));
        ramp.push_back(0.7 * i);
    }
    std::vector<double> dip = one, dip_outside = one;
    dip[50] = 0.9;  // a power step of 0.19 inside the band
    dip_outside[2] = 0.1;
    const std::string phase = "Nodrix-W-User defined optical filter\n  the phase variation in the input data file are \n"
                              "  probably too large to ensure a high accuracy\n";
    const std::string modulus = "Nodrix-W-User defined optical filter\n   the modulus variation in the input data file are\n"
                                "   probably too large to ensure a high accuracy\n";
    struct Case {
        const std::vector<double>&b, &c;
        int inside;
        bool electrical, polar, quiet;
        std::string want;
    };
    const Case cases[] = {
        {one, zero, 83, false, false, false, ""}, {cosine, sine, 83, false, false, false, phase},  // 0.7 rad steps
        {cosine, sine, 83, false, false, true, ""},
        {one, ramp, 83, false, true, false, ""},  // the phase itself is not checked in polar form
        {dip, zero, 83, false, true, false, modulus}, {dip_outside, zero, 83, false, true, false, ""},
        // Fewer than 64 points inside: warned even when quiet; the electrical header.
        {one, zero, 63, true, true, true,
         "Nodrix-W-User defined electical filter\n   The number of data points inside the \n"
         "   simulation bandwidth is less than 64\n   This number is usually too small\n"
         "   to obtain a sufficient accuracy\n"},
    };
    for (const Case& c : cases) {
        CaptureStderr();
        check_input_data(f.data(), c.b.data(), c.c.data(), 101, -1.0, 1.0, c.inside, c.electrical, c.polar, c.quiet);
        EXPECT_EQ(GetCapturedStderr(), c.want) << &c - cases;
    }
}

}  // namespace
}  // namespace nodrix
