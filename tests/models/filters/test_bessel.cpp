#include "models/filters/bessel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <string>
#include <vector>

#include "kernel/run_context.h"
#include "tests/support/block_bench.h"

namespace nodrix {
namespace {

using cd = std::complex<double>;

// A Bessel filter of the given type, order, bandwidth [THz], centre [THz]
// and gain made through its registry entry and set up for a run.
struct Filter {
    Filter(std::int32_t type, std::int32_t order, float bandwidth, float centre = 0.0f, float gain = 1.0f)
        : bench("bessel_filter"), in(bench.input<ElectricalSample>("input")),
          out(bench.output<ElectricalSample>("output")) {
        bench.set("type", type).set("order", order).set("bandwidth_thz", bandwidth);
        bench.set("centre_frequency_thz", centre).set("output_gain", gain);
    }
    float sample(std::int32_t step, float x) {
        in.value = x;
        bench.run(step);
        return out.value;
    }
    testing::BlockBench bench;
    ElectricalSample& in;
    const ElectricalSample& out;
};

const double dt = static_cast<double>(SimulationSettings{}.time_step_ps);

std::vector<double> impulse_response(std::int32_t type, std::int32_t order, float bandwidth, float gain, int n) {
    Filter f(type, order, bandwidth, 0.0f, gain);
    EXPECT_TRUE(f.bench.start().ok());
    std::vector<double> h;
    for (int s = 1; s <= n; ++s) h.push_back(f.sample(s, s == 1 ? 1.0f : 0.0f));
    return h;
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

TEST(BesselFilter, EveryOrderAgainstTheMappedPrototype) {
    // Low-pass H_a(j W) and high-pass 2 H_a(1 / (j W)), W = tan(pi f dt) / tan(pi B dt):
    // half the power at the bandwidth, unit gain and 0 at the ends of the band.
    for (int order = 1; order <= 10; ++order) {
        for (float bw : {0.5f, 3.0f}) {
            const std::vector<double> lp = impulse_response(1, order, bw, 1.0f, 3000);
            const std::vector<double> hp = impulse_response(3, order, bw, 2.0f, 3000);
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

TEST(BesselFilter, ReceiverFilterMagnitudeAndGroupDelay) {
    // Group delay tau_a(W) dW/dw, dW/dw = (dt / 2) / (cos^2(pi f dt) tan(pi B dt));
    // the magnitude to the seven digits of the tabulated prototype poles.
    const std::vector<double> h = impulse_response(1, 5, 0.008f, 1.0f, 40000);
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

TEST(BesselFilter, SetUpRefusesWhatItCannotDesignAndTheOutputStaysZero) {
    const float limit = static_cast<float>(0.2 / dt);
    struct Case {
        std::int32_t type, order;
        float bandwidth, centre;
        const char* error;  // "" for none
    };
    const Case cases[] = {
        {1, 5, std::nextafter(limit, 1e9f), 0.0f, "Bessel filter: bandwidth above 0.2 / time_step_ps, which the time "
                                                  "step cannot carry; the output stays 0"},
        {1, 5, limit, 0.0f, ""},
        {3, 11, 0.008f, 0.0f, "Bessel filter: order above 10, the output stays 0"},
        {1, 10, 0.008f, 0.0f, ""},
        {2, 3, 0.04f, 0.01f, "Bessel filter: band-pass edges outside 0 to 0.5 / time_step_ps; the output stays 0"},
        {1, 0, 0.008f, 0.0f, "Bessel filter: order below 1, the output stays 0"},
        {4, 5, 0.008f, 0.0f, "Bessel filter: type outside low_pass, band_pass and high_pass, the output stays 0"},
        {3, 4, 0.008f, 0.5f, "Bessel filter: a centre frequency given to a low- or high-pass, ignored"},
    };
    for (const Case& c : cases) {
        Filter f(c.type, c.order, c.bandwidth, c.centre);
        EXPECT_EQ(f.bench.start().text(), c.error) << c.order;
        EXPECT_EQ(f.sample(1, 1.0f) == 0.0f, std::string(c.error).ends_with("stays 0")) << c.order;
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

TEST(BesselFilter, AfterAPulseTheStateComesToRestWhileTheOutputIsThatOfThePlainRecursion) {
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
