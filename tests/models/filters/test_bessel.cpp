#include "models/filters/bessel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <string>
#include <vector>

#include "kernel/control_blocks.h"
#include "kernel/lib00.h"
#include "kernel/storage.h"
#include "tests/models/filters/block_schedule.h"
#include "tests/support/test_support.h"

namespace nodrix {
namespace {

using cd = std::complex<double>;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

class BesselTest : public testing::NodrixTest {
protected:
    void SetUp() override {
        NodrixTest::SetUp();
        testing::set_project_constants();
        dt = zdctrl.ddelt;
    }
    // The initialisation call of a run on cleared storage.
    void initialise(const FilbesParams& p) {
        std::fill(zzist, zzist + 1000, 0);
        std::fill(zzdist, zzdist + 1000, 0.0);
        testing::begin_run_init();
        filbes(p, in_, out_);
    }
    float sample(const FilbesParams& p, std::int32_t step, float x) {
        testing::begin_sample(step);
        in_.value = x;
        filbes(p, in_, out_);
        return out_.value;
    }
    std::vector<double> impulse_response(const FilbesParams& p, int n) {
        initialise(p);
        std::vector<double> h;
        for (int s = 1; s <= n; ++s) h.push_back(sample(p, s, s == 1 ? 1.0f : 0.0f));
        return h;
    }
    ElectricalSample in_, out_;
    double dt = 0.0;
};

FilbesParams filter(std::int32_t type, std::int32_t order, float bandwidth, float centre = 0.0f, float gain = 1.0f) {
    return {type, order, centre, bandwidth, gain, 0, ""};
}

// Analog Bessel low-pass with its 3-dB point at angular frequency 1:
// theta(0) / theta(w3 s), theta the reverse Bessel polynomial with
// coefficients (2n - k)! / (2^(n - k) k! (n - k)!), w3 found by bisection.
cd analog(int n, cd s) {
    auto theta = [n](cd x) {
        cd sum(0.0, 0.0);
        for (int k = n; k >= 0; --k)
            sum = sum * x + std::tgamma(2 * n - k + 1) / (std::pow(2.0, n - k) * std::tgamma(k + 1) * std::tgamma(n - k + 1));
        return sum;
    };
    double lo = 0.1, hi = 10.0;
    for (int i = 0; i < 60; ++i) {
        const double mid = 0.5 * (lo + hi);
        (std::norm(theta(0.0) / theta(cd(0.0, mid))) > 0.5 ? lo : hi) = mid;
    }
    return theta(0.0) / theta(lo * s);
}

// Spectrum and group delay [ps] of a sampled response at f [THz].
cd spectrum(const std::vector<double>& h, double f, double dt, double* delay = nullptr) {
    cd sum(0.0, 0.0), weighted(0.0, 0.0);
    for (std::size_t n = 0; n < h.size(); ++n) {
        const cd e = std::polar(h[n], -2.0 * M_PI * f * double(n) * dt);
        sum += e;
        weighted += double(n) * e;
    }
    if (delay != nullptr) *delay = (weighted / sum).real() * dt;
    return sum;
}

TEST_F(BesselTest, EveryOrderAgainstTheMappedPrototype) {
    // Low-pass H_a(j W) and high-pass 2 H_a(1 / (j W)), W = tan(pi f dt) / tan(pi B dt):
    // half the power at the bandwidth, unit gain and 0 at the ends of the band.
    for (int order = 1; order <= 10; ++order) {
        for (float bw : {0.5f, 3.0f}) {
            const std::vector<double> lp = impulse_response(filter(1, order, bw), 3000);
            const std::vector<double> hp = impulse_response(filter(3, order, bw, 0.0f, 2.0f), 3000);
            EXPECT_NEAR(std::abs(spectrum(lp, 0.0, dt)), 1.0, 1e-6) << order;
            EXPECT_NEAR(std::abs(spectrum(hp, 0.0, dt)), 0.0, 1e-6) << order;
            EXPECT_NEAR(std::abs(spectrum(hp, 0.5 / dt, dt)), 2.0, 2e-6) << order;
            EXPECT_NEAR(std::norm(spectrum(lp, bw, dt)), 0.5, 5e-7) << order << " " << bw;
            EXPECT_NEAR(std::norm(spectrum(hp, bw, dt)), 2.0, 2e-6) << order << " " << bw;
            for (double f : {0.3 * bw, 1.7 * bw}) {
                const cd s(0.0, std::tan(M_PI * f * dt) / std::tan(M_PI * bw * dt));
                EXPECT_NEAR(std::abs(spectrum(lp, f, dt)), std::abs(analog(order, s)), 1e-6) << order << " " << f;
                EXPECT_NEAR(std::abs(spectrum(hp, f, dt)), 2.0 * std::abs(analog(order, 1.0 / s)), 2e-6) << order;
            }
        }
    }
}

TEST_F(BesselTest, ReceiverFilterMagnitudeAndGroupDelay) {
    // Group delay tau_a(W) dW/dw, dW/dw = (dt / 2) / (cos^2(pi f dt) tan(pi B dt));
    // the magnitude to the seven digits of the tabulated prototype poles.
    const std::vector<double> h = impulse_response(filter(1, 5, 0.008f), 40000);
    const double t = std::tan(M_PI * static_cast<double>(0.008f) * dt);
    for (double f : {0.0, 0.001, 0.004, 0.008, 0.012, 0.02, 0.05}) {
        double delay = 0.0;
        const cd got = spectrum(h, f, dt, &delay);
        const double w = std::tan(M_PI * f * dt) / t, dw = 1e-5;
        EXPECT_NEAR(std::abs(got), std::abs(analog(5, cd(0.0, w))), 3e-7) << f;
        const double tau_a = -std::arg(analog(5, cd(0.0, w + dw)) / analog(5, cd(0.0, w - dw))) / (2.0 * dw);
        const double c = std::cos(M_PI * f * dt);
        EXPECT_NEAR(delay, tau_a * (dt / 2.0) / (c * c * t), 1e-4 * delay) << f;
    }
}

TEST_F(BesselTest, ErrorCodesAtTheirLimitsAndCheckedAgainOnTheFirstSample) {
    const float limit = static_cast<float>(0.2 / zdctrl.ddelt);
    const FilbesParams charts{1, 5, 0.0f, 0.008f, 1.0f, 2, ""};
    struct Case {
        FilbesParams p;
        bool first_pass;   // reported in the initialisation call already
        const char* code;  // "" for none
    };
    const Case cases[] = {
        {filter(4, 5, 0.008f), true, "bR"}, {charts, true, "eR"},
        {filter(1, 5, std::nextafter(limit, 1e9f)), false, "mR"}, {filter(1, 5, limit), false, ""},
        {filter(1, 11, 0.008f), false, "pR"}, {filter(1, 10, 0.008f), false, ""},
    };
    for (const Case& c : cases) {
        reset_kernel_errors();
        CaptureStderr();
        initialise(c.p);
        const std::string first = GetCapturedStderr();
        CaptureStderr();
        sample(c.p, 1, 1.0f);
        sample(c.p, 2, 1.0f);  // the first sample repeats the checks, the second does not
        const std::string run = GetCapturedStderr();
        const std::string code = c.code;
        const std::string want = code.empty() ? "" : "Nodrix-E-  NODRIX PROGRAM INTERRUPT - ERROR CODE =    " + code +
                                                         "   TIME =  0.000000E+00\n  NO ERROR MESSAGE AVAILABLE FOR THIS CODE\n \n";
        EXPECT_EQ(first, c.first_pass ? want : "") << code;
        EXPECT_EQ(run, want) << code;
        EXPECT_EQ(kernel_error_count(), code.empty() ? 0 : c.first_pass ? 2 : 1) << code;
        if (code != "" && code != "dR" && code != "eR") {
            EXPECT_EQ(out_.value, 0.0f) << code;
        }
    }
}

// The sections' recursions as written down, without the floor under which
// the filter drops its state: one (b, c) section for an odd low- or
// high-pass order, then (b0, c1, c2) sections; the band-pass ones have the
// numerator b0 (1 - z^-2).
double plain_cascade(std::int32_t type, std::int32_t order, const double* k, double* s, double x) {
    const double sign = type == 3 ? -1.0 : 1.0;
    if (type != 2 && order % 2 != 0) {
        const double y = k[0] * (x + sign * s[0]) - k[1] * s[1];
        s[0] = x, s[1] = y, x = y, k += 2, s += 2;
    }
    for (std::int32_t i = 0; i < (type == 2 ? order : order / 2); ++i, k += 3, s += 4) {
        const double v = type == 2 ? x - s[1] : x + 2.0 * sign * s[0] + s[1];
        const double y = k[0] * v - k[1] * s[2] - k[2] * s[3];
        s[1] = s[0], s[0] = x, s[3] = s[2], s[2] = y, x = y;
    }
    return x;
}

TEST_F(BesselTest, AfterAPulseTheStateComesToRestWhileTheOutputIsThatOfThePlainRecursion) {
    // A pulse of 3000 samples, then zeros: the plain recursion ends up held
    // among the subnormal doubles for ever; the filter's state must be all
    // zeros instead, and every output it writes (a real) the same.
    struct Case {
        std::int32_t type, order;
        double f1, f2;  // [THz]: the bandwidth, or the band-pass edges
    };
    for (const Case c : {Case{1, 5, 0.008, 0.0}, Case{3, 4, 0.008, 0.0}, Case{2, 3, 0.04, 0.06}}) {
        std::vector<double> k(30), s(c.type == 2 ? 4 * c.order : 2 * c.order), plain(s.size());
        if (c.type == 2)
            design_bandpass(c.order, std::tan(M_PI * c.f1 * dt), std::tan(M_PI * c.f2 * dt), k.data());
        else
            design_lowhigh(c.type, c.order, std::tan(M_PI * c.f1 * dt), k.data());
        int differing = 0;
        for (int n = 0; n < 700000; ++n) {
            const double x = n < 3000 ? 1e-3 : 0.0;
            const auto y = static_cast<float>(c.type == 2 ? run_bandpass(c.order, k.data(), s.data(), x)
                                                          : run_lowhigh(c.type, c.order, k.data(), s.data(), x));
            differing += y != static_cast<float>(plain_cascade(c.type, c.order, k.data(), plain.data(), x));
        }
        EXPECT_EQ(differing, 0) << c.type;
        EXPECT_TRUE(std::any_of(plain.begin(), plain.end(), [](double v) { return std::fpclassify(v) == FP_SUBNORMAL; }));
        EXPECT_TRUE(std::all_of(s.begin(), s.end(), [](double v) { return v == 0.0; })) << c.type;
    }
}

}  // namespace
}  // namespace nodrix
