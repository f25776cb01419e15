#include "filters/filter_synthesis.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <string>
#include <vector>

#include "filters/spline.h"
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

// A polar table of a single-pole resonance of half-width g at offset 0,
// dense near its centre, covering the whole sampled band.
struct PoleTable {
    std::vector<double> f, b, b2, c, c2;
    explicit PoleTable(double g, double fs) {
        for (double x = -0.6 * fs; x <= 0.6 * fs;) {
            const double u = x / g;
            f.push_back(x);
            b.push_back(1.0 / std::sqrt(1.0 + u * u));
            c.push_back(-std::atan(u));
            x += std::max(g / 20.0, std::fabs(x) / 20.0);
        }
        b2.resize(f.size());
        c2.resize(f.size());
        const auto n = static_cast<std::int32_t>(f.size());
        dspline_clamped(f.data(), b.data(), n, b2.data());
        dspline_clamped(f.data(), c.data(), n, c2.data());
    }
    SplineTable table() const {
        return {f.data(), b.data(), b2.data(), c.data(), c2.data(), static_cast<std::int32_t>(f.size()), true};
    }
};

TEST_F(FilterSynthesisTest, LongestSettledDesignIsRealisedOnTwoTo18Points) {
    // A 0.2 GHz wide resonance rings for about 90000 samples: the search
    // settles at 2^17 taps, realised on 2^18 points (the arrays have room).
    const PoleTable pole(0.0002, fs_);
    std::vector<cd> realised(static_cast<std::size_t>(kMaxRealisedPoints));
    std::vector<cd> scratch(static_cast<std::size_t>(kMaxRealisedPoints));
    std::int32_t log2n = 0;
    coefil(pole.table(), -0.5 * fs_, -0.4 * fs_, 0.4 * fs_, 0.5 * fs_, realised.data(), scratch.data(), log2n, 193.6);
    ASSERT_EQ(log2n, kMaxRealisedLog2);
    EXPECT_FALSE(accuracy_check(-0.4 * fs_, 0.4 * fs_, realised.data(), pole.table(), 1 << log2n));
    const std::int32_t n = 1 << log2n;
    for (std::int32_t k = 0; k < n; k += 97) {
        const double f = (k < n / 2 ? k : k - n) * fs_ / n;
        if (std::fabs(f) > 0.35 * fs_) continue;
        const double u = f / 0.0002;
        ASSERT_NEAR(std::norm(realised[static_cast<std::size_t>(k)]), 1.0 / (1.0 + u * u), 5e-3) << f;
    }
    // Half as wide again needs 2^18 taps: refused.
    const PoleTable narrower(0.0001, fs_);
    coefil(narrower.table(), -0.5 * fs_, -0.4 * fs_, 0.4 * fs_, 0.5 * fs_, realised.data(), scratch.data(), log2n, 193.6);
    EXPECT_EQ(log2n, -1);
    // A band so narrow that the start length is already beyond the limit.
    coefil(pole.table(), -0.001, -0.0005, 0.0005, 0.001, realised.data(), scratch.data(), log2n, 193.6);
    EXPECT_EQ(log2n, -1);
}

TEST_F(FilterSynthesisTest, AccuracyCheckAgainstTheTable) {
    const PoleTable pole(0.5, fs_);
    const SplineTable t = pole.table();
    const std::int32_t n = 1024;
    std::vector<cd> exact(n);
    for (std::int32_t k = 0; k < n; ++k) exact[static_cast<std::size_t>(k)] = t.response_at((k < n / 2 ? k : k - n) * fs_ / n);
    EXPECT_FALSE(accuracy_check(-0.4 * fs_, 0.4 * fs_, exact.data(), t, n));
    // 2 % too much amplitude is 4 % in power, a mean squared error of 0.0016
    // of the mean squared power: bad; 1 % gives 0.0004: good.
    for (const auto& [scale, bad] : {std::pair{1.02, true}, std::pair{1.01, false}}) {
        std::vector<cd> off = exact;
        for (cd& v : off) v *= scale;
        EXPECT_EQ(accuracy_check(-0.4 * fs_, 0.4 * fs_, off.data(), t, n), bad) << scale;
    }
    // Outside [band_lo, band_hi] nothing counts.
    std::vector<cd> spoiled = exact;
    for (std::int32_t k = 0; k < n; ++k) {
        const double f = (k < n / 2 ? k : k - n) * fs_ / n;
        if (f > 0.1 * fs_) spoiled[static_cast<std::size_t>(k)] = 0.0;
    }
    EXPECT_FALSE(accuracy_check(-0.4 * fs_, 0.1 * fs_ - 1e-9, spoiled.data(), t, n));
    EXPECT_TRUE(accuracy_check(-0.4 * fs_, 0.4 * fs_, spoiled.data(), t, n));
    // No response at all is always bad.
    EXPECT_TRUE(accuracy_check(-0.4 * fs_, 0.4 * fs_, exact.data(), t, 0));
}

TEST_F(FilterSynthesisTest, DelayOfAPureDelayInEveryBin) {
    // H_k = e^(-j 2 pi f_k d dt): d samples everywhere; where the response is
    // cut to 0 the markers take the valid neighbours. Both resampling rules:
    // N <= 1024 repeats entries, N > 1024 averages them.
    const double dt = zdctrl.ddelt;
    for (std::int32_t n : {256, 1024, 8192}) {
        const double d = 37.3;
        std::vector<cd> h(static_cast<std::size_t>(n));
        for (std::int32_t k = 0; k < n; ++k) {
            const double f = (k < n / 2 ? k : k - n) / (n * dt);
            h[static_cast<std::size_t>(k)] = std::fabs(f * dt) < 0.3 ? std::polar(1.0, -2.0 * M_PI * f * d * dt) : 0.0;
        }
        std::vector<double> scratch(static_cast<std::size_t>(n));
        float bins[kBins];
        estimate_filter_delay(h.data(), scratch.data(), n, bins, 193.6, nullptr, false);
        for (int i = 0; i < kBins; ++i) ASSERT_NEAR(bins[i], d * dt + 0.5 * n * dt, 1e-4) << n << " " << i;
    }
}

TEST_F(FilterSynthesisTest, GroupDelayConversionClosedForm) {
    // tau(f) = a + b f, linear, so the clamped spline and the midpoint sums
    // are exact: phi_i = -2 pi ((a - mean)(f_i - f_0) + b (f_i^2 - f_0^2) / 2),
    // mean = sum over points inside (lo, hi) of (f_(i+1) - f_i) tau_i / (hi - lo).
    const double a = 12.0, b = -3.0, lo = -1.0, hi = 1.0;
    const std::vector<double> f = {-1.5, -0.9, -0.2, 0.4, 0.95, 1.3};
    double mean = 0.0;
    for (std::size_t i = 0; i + 1 < f.size(); ++i)
        if (f[i] > lo && f[i] < hi) mean += (f[i + 1] - f[i]) * (a + b * f[i]);
    mean /= hi - lo;
    const std::vector<double> power = {0.25, 0.5, 1.0, 0.81, 0.36, 0.04};
    for (bool polar : {true, false}) {
        for (bool db : {false, true}) {
            std::vector<double> m, tau;
            for (std::size_t i = 0; i < f.size(); ++i) {
                m.push_back(db ? 10.0 * std::log10(power[i]) : power[i]);
                tau.push_back(a + b * f[i]);
            }
            convert_group_delay(f.data(), m.data(), tau.data(), static_cast<std::int32_t>(f.size()), lo, hi, db, polar);
            for (std::size_t i = 0; i < f.size(); ++i) {
                const double phi =
                    -2.0 * M_PI * ((a - mean) * (f[i] - f[0]) + b * (f[i] * f[i] - f[0] * f[0]) / 2.0);
                const double amp = std::sqrt(power[i]);
                if (polar) {
                    EXPECT_NEAR(m[i], amp, 1e-12);
                    EXPECT_NEAR(tau[i], phi, 1e-9) << i;
                } else {
                    EXPECT_NEAR(m[i], amp * std::cos(phi), 1e-9);
                    EXPECT_NEAR(tau[i], amp * std::sin(phi), 1e-9);
                }
            }
        }
    }
}

TEST_F(FilterSynthesisTest, SmoothingIsACentredMovingAverageShortenedAtTheEnds) {
    const std::vector<double> f = {0, 1, 2, 3, 4};
    std::vector<double> b = {0, 3, 6, 0, 0};
    std::vector<double> c = {4, 4, 4, 4, 4};
    smooth_data(f.data(), b.data(), c.data(), 5, 3);
    const std::vector<double> want3 = {1.5, 3.0, 3.0, 2.0, 0.0};
    for (int i = 0; i < 5; ++i) {
        EXPECT_DOUBLE_EQ(b[static_cast<std::size_t>(i)], want3[static_cast<std::size_t>(i)]);
        EXPECT_DOUBLE_EQ(c[static_cast<std::size_t>(i)], 4.0);
    }
    // An even window reaches one point further to the right.
    b = {0, 3, 6, 0, 0};
    smooth_data(f.data(), b.data(), c.data(), 5, 4);
    const std::vector<double> want4 = {3.0, 2.25, 2.25, 2.0, 0.0};
    for (int i = 0; i < 5; ++i) EXPECT_DOUBLE_EQ(b[static_cast<std::size_t>(i)], want4[static_cast<std::size_t>(i)]);
    // A window of 1 changes nothing.
    smooth_data(f.data(), b.data(), c.data(), 5, 1);
    EXPECT_DOUBLE_EQ(b[0], 3.0);
}

TEST_F(FilterSynthesisTest, InputCheckWarnings) {
    const double lo = -1.0, hi = 1.0;
    std::vector<double> f;
    for (int i = 0; i <= 100; ++i) f.push_back(-1.2 + 2.4 * i / 100.0);
    const auto n = static_cast<std::int32_t>(f.size());
    std::int32_t inside = 0;
    for (double v : f) inside += v > lo && v < hi ? 1 : 0;
    const std::string phase_lines =
        "Nodrix-W-User defined optical filter\n  the phase variation in the input data file are \n"
        "  probably too large to ensure a high accuracy\n";
    const std::string modulus_lines =
        "Nodrix-W-User defined optical filter\n   the modulus variation in the input data file are\n"
        "   probably too large to ensure a high accuracy\n";
    // Smooth data: no warning.
    std::vector<double> re(f.size(), 1.0), im(f.size(), 0.0);
    CaptureStderr();
    check_input_data(f.data(), re.data(), im.data(), n, lo, hi, inside, false, false, false);
    EXPECT_EQ(GetCapturedStderr(), "");
    // A phase step of 0.7 rad between neighbours (cartesian form): warned;
    // the same in polar form, or with quiet checks: not.
    for (std::size_t i = 0; i < f.size(); ++i) {
        re[i] = std::cos(0.7 * static_cast<double>(i));
        im[i] = std::sin(0.7 * static_cast<double>(i));
    }
    CaptureStderr();
    check_input_data(f.data(), re.data(), im.data(), n, lo, hi, inside, false, false, false);
    EXPECT_EQ(GetCapturedStderr(), phase_lines);
    CaptureStderr();
    check_input_data(f.data(), re.data(), im.data(), n, lo, hi, inside, false, false, true);
    EXPECT_EQ(GetCapturedStderr(), "");
    std::vector<double> amp(f.size(), 1.0), phase;
    for (std::size_t i = 0; i < f.size(); ++i) phase.push_back(0.7 * static_cast<double>(i));
    CaptureStderr();
    check_input_data(f.data(), amp.data(), phase.data(), n, lo, hi, inside, false, true, false);
    EXPECT_EQ(GetCapturedStderr(), "");
    // A power jump of more than 0.1 of the largest power inside the band.
    amp[50] = 0.9;  // power 0.81: a step of 0.19
    CaptureStderr();
    check_input_data(f.data(), amp.data(), std::vector<double>(f.size(), 0.0).data(), n, lo, hi, inside, false, true,
                     false);
    EXPECT_EQ(GetCapturedStderr(), modulus_lines);
    // A jump outside the band does not count.
    amp[50] = 1.0;
    amp[2] = 0.1;
    CaptureStderr();
    check_input_data(f.data(), amp.data(), std::vector<double>(f.size(), 0.0).data(), n, lo, hi, inside, false, true,
                     false);
    EXPECT_EQ(GetCapturedStderr(), "");
    // Fewer than 64 points inside: warned even when quiet; the electrical header.
    CaptureStderr();
    check_input_data(f.data(), amp.data(), phase.data(), n, lo, hi, 63, true, true, true);
    EXPECT_EQ(GetCapturedStderr(),
              "Nodrix-W-User defined electical filter\n   The number of data points inside the \n"
              "   simulation bandwidth is less than 64\n   This number is usually too small\n"
              "   to obtain a sufficient accuracy\n");
}

}  // namespace
}  // namespace nodrix
