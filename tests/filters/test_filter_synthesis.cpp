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
    // Frequency of FFT point k of n.
    double freq(std::int32_t k, std::int32_t n) const { return (k < n / 2 ? k : k - n) * fs_ / n; }
    double fs_ = 0.0;
};

// A polar table of a single-pole resonance of half-width g at offset 0,
// dense near its centre, covering the whole sampled band.
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
    // A 0.2 GHz wide resonance rings for about 90000 samples: the search
    // settles at 2^17 taps, realised on 2^18 points (the arrays have room).
    const PoleTable pole(0.0002, fs_);
    std::vector<cd> realised(kMaxRealisedPoints), scratch(kMaxRealisedPoints);
    std::int32_t log2n = 0;
    coefil(pole.table(), -0.5 * fs_, -0.4 * fs_, 0.4 * fs_, 0.5 * fs_, realised.data(), scratch.data(), log2n, 193.6);
    ASSERT_EQ(log2n, kMaxRealisedLog2);
    EXPECT_FALSE(accuracy_check(-0.4 * fs_, 0.4 * fs_, realised.data(), pole.table(), 1 << log2n));
    for (std::int32_t k = 0; k < (1 << log2n); k += 97) {
        const double u = freq(k, 1 << log2n) / 0.0002;
        if (std::fabs(u) < 0.35 * fs_ / 0.0002) {
            ASSERT_NEAR(std::norm(realised[k]), 1.0 / (1.0 + u * u), 5e-3) << k;
        }
    }
    // Half as wide needs 2^18 taps; a band so narrow that the start length is
    // already beyond the limit: both refused.
    coefil(PoleTable(0.0001, fs_).table(), -0.5 * fs_, -0.4 * fs_, 0.4 * fs_, 0.5 * fs_, realised.data(),
           scratch.data(), log2n, 193.6);
    EXPECT_EQ(log2n, -1);
    coefil(pole.table(), -0.001, -0.0005, 0.0005, 0.001, realised.data(), scratch.data(), log2n, 193.6);
    EXPECT_EQ(log2n, -1);
}

TEST_F(FilterSynthesisTest, AccuracyCheckAgainstTheTable) {
    const PoleTable pole(0.5, fs_);
    const SplineTable t = pole.table();
    const std::int32_t n = 1024;
    std::vector<cd> exact(n), spoiled(n);
    for (std::int32_t k = 0; k < n; ++k) exact[k] = t.response_at(freq(k, n));
    // 2 % too much amplitude is a mean squared power error of 0.0016 of the
    // mean squared power: bad; 1 % gives 0.0004: good.
    for (const auto& [scale, bad] : {std::pair{1.0, false}, std::pair{1.02, true}, std::pair{1.01, false}}) {
        for (std::int32_t k = 0; k < n; ++k) spoiled[k] = scale * exact[k];
        EXPECT_EQ(accuracy_check(-0.4 * fs_, 0.4 * fs_, spoiled.data(), t, n), bad) << scale;
    }
    // Only the points inside [band_lo, band_hi] count; no response is always bad.
    for (std::int32_t k = 0; k < n; ++k) spoiled[k] = freq(k, n) > 0.1 * fs_ ? 0.0 : exact[k];
    EXPECT_FALSE(accuracy_check(-0.4 * fs_, 0.1 * fs_ - 1e-9, spoiled.data(), t, n));
    EXPECT_TRUE(accuracy_check(-0.4 * fs_, 0.4 * fs_, spoiled.data(), t, n));
    EXPECT_TRUE(accuracy_check(-0.4 * fs_, 0.4 * fs_, exact.data(), t, 0));
}

TEST_F(FilterSynthesisTest, DelayOfAPureDelayInEveryBin) {
    // H_k = e^(-j 2 pi f_k d dt), cut to 0 beyond 0.3 fs: where a phase
    // difference touches the cut, the valid neighbours stand in. N <= 1024
    // repeats entries into the bins, N > 1024 averages them.
    const double dt = zdctrl.ddelt, d = 37.3;
    for (std::int32_t n : {256, 1024, 8192}) {
        std::vector<cd> h(n);
        for (std::int32_t k = 0; k < n; ++k)
            h[k] = std::fabs(freq(k, n) * dt) < 0.3 ? std::polar(1.0, -2.0 * M_PI * freq(k, n) * d * dt) : 0.0;
        std::vector<double> scratch(n);
        float bins[kBins];
        estimate_filter_delay(h.data(), scratch.data(), n, bins, 193.6, nullptr, false);
        for (int i = 0; i < kBins; ++i) ASSERT_NEAR(bins[i], d * dt + 0.5 * n * dt, 1e-4) << n << " " << i;
    }
}

TEST_F(FilterSynthesisTest, GroupDelayConversionClosedForm) {
    // tau(f) = a + b f is linear, so the clamped spline and the midpoint sums
    // are exact: phi_i = -2 pi ((a - mean)(f_i - f_0) + b (f_i^2 - f_0^2) / 2),
    // mean = sum over the points inside (lo, hi) of (f_(i+1) - f_i) tau_i / (hi - lo).
    const double a = 12.0, b = -3.0, lo = -1.0, hi = 1.0;
    const std::vector<double> f = {-1.5, -0.9, -0.2, 0.4, 0.95, 1.3}, power = {0.25, 0.5, 1.0, 0.81, 0.36, 0.04};
    const double mean = ((-0.2 + 0.9) * (a - 0.9 * b) + 0.6 * (a - 0.2 * b) + 0.55 * (a + 0.4 * b) +
                         0.35 * (a + 0.95 * b)) / (hi - lo);
    for (bool polar : {true, false}) {
        for (bool db : {false, true}) {
            std::vector<double> m, tau;
            for (std::size_t i = 0; i < f.size(); ++i) {
                m.push_back(db ? 10.0 * std::log10(power[i]) : power[i]);
                tau.push_back(a + b * f[i]);
            }
            convert_group_delay(f.data(), m.data(), tau.data(), 6, lo, hi, db, polar);
            for (std::size_t i = 0; i < f.size(); ++i) {
                const double phi = -2.0 * M_PI * ((a - mean) * (f[i] - f[0]) + b * (f[i] * f[i] - f[0] * f[0]) / 2.0);
                const double amp = std::sqrt(power[i]);
                EXPECT_NEAR(m[i], polar ? amp : amp * std::cos(phi), 1e-9) << i;
                EXPECT_NEAR(tau[i], polar ? phi : amp * std::sin(phi), 1e-9) << i;
            }
        }
    }
}

TEST_F(FilterSynthesisTest, SmoothingIsACentredMovingAverageShortenedAtTheEnds) {
    const double f[] = {0, 1, 2, 3, 4};
    // An even window reaches one point further to the right; a window of 1 changes nothing.
    const std::pair<int, std::vector<double>> cases[] = {
        {3, {1.5, 3.0, 3.0, 2.0, 0.0}}, {4, {3.0, 2.25, 2.25, 2.0, 0.0}}, {1, {0, 3, 6, 0, 0}}};
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
        {one, zero, 83, false, false, false, ""},
        {cosine, sine, 83, false, false, false, phase},  // 0.7 rad between neighbours
        {cosine, sine, 83, false, false, true, ""},
        {one, ramp, 83, false, true, false, ""},  // the phase itself is not checked in polar form
        {dip, zero, 83, false, true, false, modulus},
        {dip_outside, zero, 83, false, true, false, ""},
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
