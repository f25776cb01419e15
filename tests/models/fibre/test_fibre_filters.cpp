// Step-filter synthesis: random streams worked by hand, dispersion levels,
// filters against their closed-form response, the working-file layouts built
// byte by byte, and the equality of reused and freshly designed filters.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <cstring>
#include <vector>

#include "filters/filter_tables.h"
#include "filters/spline.h"
#include "kernel/control_blocks.h"
#include "models/fibre/fibre_filters.h"
#include "runtime/filexx.h"
#include "runtime/opxfile.h"
#include "tests/support/test_support.h"

namespace nodrix {
namespace {

using testing::NodrixTest;
using testing::put_f32;
using testing::put_f64;
using testing::put_i32;
using testing::read_bytes;

class FibreFilters : public NodrixTest {
protected:
    void SetUp() override {
        NodrixTest::SetUp();
        testing::set_project_constants();
        reset_random_streams();
    }
    double dt() const { return zdctrl.ddelt; }
};

// The streams' multipliers; a draw is x <- a x mod (2^31 - 1).
constexpr std::int64_t kA[5] = {65539, 71335, 68771, 68773, 16807};
constexpr std::int64_t kM = 2147483647;

TEST_F(FibreFilters, RandomStreamsFirstDrawsByHand) {
    // Stream 1 from seed 349: x0 = 697; 65539 * 697 = 45680683, and so on.
    std::int32_t counter = 0;
    float u = 0.0f;
    const std::int64_t hand[3] = {45680683, 274079219, 1324710533};
    for (std::int64_t x : hand) {
        rndgen(1, counter, 349, u);
        EXPECT_EQ(u, static_cast<float>(x) * 4.656613e-10f);
    }
    EXPECT_EQ(counter, 3);
    // Stream 5 (Schrage form) from seed 457: 16807 * 913 = 15344791.
    counter = 0;
    rndgen(5, counter, 457, u);
    EXPECT_EQ(u, 15344791.0f * 4.656613e-10f);
    // Seed 1 gives x0 = 1, replaced by 3173 on streams 1-5 and 1234 on 6-10.
    counter = 0;
    rndgen(2, counter, 1, u);
    EXPECT_EQ(u, static_cast<float>(71335LL * 3173) * 4.656613e-10f);
    counter = 0;
    rndgen(6, counter, 1, u);
    EXPECT_EQ(u, static_cast<float>(65539LL * 1234) * 4.656613e-10f);
    // A cleared counter starts the stream again, once: a second draw at
    // counter 1 right after continues the stream.
    counter = 0;
    rndgen(1, counter, 349, u);
    EXPECT_EQ(u, 45680683.0f * 4.656613e-10f);
    counter = 0;
    rndgen(1, counter, 349, u);
    EXPECT_EQ(u, 274079219.0f * 4.656613e-10f);
}

TEST_F(FibreFilters, RandomStreamsFollowTheirMultipliers) {
    for (std::int32_t g = 1; g <= 10; ++g) {
        const std::int32_t seed = seeds[static_cast<std::size_t>(g - 1)];
        std::int64_t x = 2LL * seed - 1;
        std::int32_t counter = 0;
        for (int i = 0; i < 5000; ++i) {
            x = kA[(g - 1) % 5] * x % kM;
            float u = 0.0f;
            rndgen(g, counter, seed, u);
            ASSERT_EQ(u, static_cast<float>(x) * 4.656613e-10f) << "stream " << g << " draw " << i;
            ASSERT_GE(u, 0.0f);
        }
    }
}

TEST_F(FibreFilters, DispersionLevelTables) {
    double t[5];
    valb2p(-3.0, 5.0, 5, t);
    EXPECT_DOUBLE_EQ(t[0], -3.0);
    EXPECT_DOUBLE_EQ(t[1], -1.0);
    EXPECT_DOUBLE_EQ(t[2], 1.0);
    EXPECT_DOUBLE_EQ(t[3], 3.0);
    EXPECT_DOUBLE_EQ(t[4], 5.0);
    valb2p(-3.0, 5.0, 1, t);
    EXPECT_DOUBLE_EQ(t[0], 1.0);
    vb2p3s(10.0, 2.0, 5, t);
    EXPECT_DOUBLE_EQ(t[0], 16.0);
    EXPECT_DOUBLE_EQ(t[1], 13.0);
    EXPECT_DOUBLE_EQ(t[2], 10.0);
    EXPECT_DOUBLE_EQ(t[3], 7.0);
    EXPECT_DOUBLE_EQ(t[4], 4.0);
    vb2p3s(10.0, 2.0, 1, t);
    EXPECT_DOUBLE_EQ(t[0], 10.0);

    double lo = 0.0;
    double hi = 0.0;
    const double a[6] = {4.0, -1.0, 9.0, 2.0, -7.0, 3.0};
    searmm(2, 4, a, lo, hi);
    EXPECT_EQ(lo, -1.0);
    EXPECT_EQ(hi, 9.0);
    searmm(1, 6, a, lo, hi);
    EXPECT_EQ(lo, -7.0);
}

TEST_F(FibreFilters, LocalDispersionDraws) {
    double uniform_levels[5];
    valb2p(-2.0, 2.0, 5, uniform_levels);
    double gauss_levels[5];
    vb2p3s(0.0, 1.0, 5, gauss_levels);
    std::array<std::int32_t, 10> zero{};
    std::array<std::int32_t, 10> counters{};
    double b2 = 0.0;
    // Seed 0: no draw, the first level.
    detfib(7, -2.0, 2.0, 5, uniform_levels, zero.data(), counters.data(), b2);
    EXPECT_EQ(b2, -2.0);
    dfib3s(7, 0.0, 1.0, 5, gauss_levels, zero.data(), counters.data(), b2);
    EXPECT_EQ(b2, 3.0);
    // One level: the table's only value.
    detfib(7, -2.0, 2.0, 1, uniform_levels, seeds.data(), counters.data(), b2);
    EXPECT_EQ(b2, -2.0);

    // Uniform model: every level about equally often.
    std::array<int, 5> hits{};
    const int draws = 20000;
    for (int i = 0; i < draws; ++i) {
        detfib(7, -2.0, 2.0, 5, uniform_levels, seeds.data(), counters.data(), b2);
        ++hits[static_cast<std::size_t>(std::lround(b2 + 2.0))];
    }
    for (int h : hits) EXPECT_NEAR(h / double(draws), 0.2, 0.015);

    // Gaussian model mapped onto the nearest of +3, +1.5, 0, -1.5, -3 sigma:
    // probabilities of |v| beyond 2.25, between 0.75 and 2.25, below 0.75.
    hits = {};
    for (int i = 0; i < draws; ++i) {
        dfib3s(7, 0.0, 1.0, 5, gauss_levels, seeds.data(), counters.data(), b2);
        ++hits[static_cast<std::size_t>(std::lround((3.0 - b2) / 1.5))];
    }
    const double p_outer = 0.5 * std::erfc(2.25 / std::sqrt(2.0));
    const double p_inner = 0.5 * std::erfc(0.75 / std::sqrt(2.0)) - p_outer;
    const double expected[5] = {p_outer, p_inner, 1.0 - 2.0 * (p_outer + p_inner), p_inner, p_outer};
    for (int l = 0; l < 5; ++l) EXPECT_NEAR(hits[static_cast<std::size_t>(l)] / double(draws), expected[l], 0.015) << l;
}

TEST_F(FibreFilters, FrequencyTablesHoldSmoothedPowers) {
    EXPECT_EQ(wwfunc.dmfraz, 1e-8);
    // Away from the Nyquist point (x = 0) E1..E5 are the powers of the FFT-bin
    // frequency: (x - 1)^p above, (x + 1)^p below.
    for (int i = 0; i < kTableSize; i += 97) {
        const double x = table_x(i);
        if (std::fabs(x) < 0.25) continue;
        const double nu = x > 0.0 ? x - 1.0 : x + 1.0;
        const std::size_t at = static_cast<std::size_t>(i);
        EXPECT_NEAR(wwfunc.e1[at], nu, 1e-7) << x;
        EXPECT_NEAR(wwfunc.e2[at], nu * nu, 1e-7) << x;
        EXPECT_NEAR(wwfunc.e3[at], nu * nu * nu, 1e-7) << x;
        EXPECT_NEAR(wwfunc.e4[at], std::pow(nu, 4), 1e-7) << x;
        EXPECT_NEAR(wwfunc.e5[at], std::pow(nu, 5), 1e-7) << x;
        EXPECT_NEAR(wwfunc.es[at], x > 0.0 ? 1.0 : -1.0, 1e-7) << x;
        EXPECT_NEAR(wwfunc.ew[at], 1.0, 1e-7) << x;
        EXPECT_NEAR(wwfunc.eg[at], 0.0, 1e-7) << x;
    }
    // Across the Nyquist point the odd powers pass smoothly through zero.
    const std::size_t mid = kTableSize / 2;
    EXPECT_EQ(table_x(static_cast<int>(mid)), 0.0);
    EXPECT_EQ(wwfunc.e1[mid], 0.0);
    EXPECT_EQ(wwfunc.e3[mid], 0.0);
    EXPECT_NEAR(wwfunc.e2[mid], 1.0 - 0.1 / std::sqrt(kPi), 1e-15);
    EXPECT_EQ(wwfunc.eg[mid], 1.0);
    EXPECT_NEAR(wwfunc.ew[mid], 0.5 * (2.0 - 2.0 * std::erf(4.0)), 1e-15);
    EXPECT_DOUBLE_EQ(wwfunc.ep[0], -kPi);
    for (std::size_t i = mid - 40; i < mid + 40; ++i)
        EXPECT_LT(std::fabs(wwfunc.e1[i + 1] - wwfunc.e1[i]), 0.01) << "no jump at the Nyquist point";
}

TEST_F(FibreFilters, ZeroDispersionIsAShortDelay) {
    StepFilterInput s;
    s.h = 0.5;
    EXPECT_EQ(step_delay_spread(s, dt()), 0.0);
    EXPECT_EQ(initial_filter_exponent(0.0), 8);  // M = 256
    StepFilterDesign d;
    coefn5(s, dt(), 1e-8, d);
    // The search shifts the delta to sample 4 and shrinks while M >= 2 (L + 8):
    // M = 16, d = 3.
    EXPECT_EQ(d.k, 4);
    EXPECT_EQ(d.delay, 3);
    ASSERT_EQ(d.coef.size(), 32u);
    for (int j = 0; j < 32; ++j)
        EXPECT_NEAR(std::abs(d.coef[static_cast<std::size_t>(j)] - std::polar(1.0, -kTwoPi * 3.0 * j / 32.0)), 0.0, 1e-12);
    for (double tau : d.tau) EXPECT_NEAR(tau, 3.0 * dt(), 1e-12);
    EXPECT_FALSE(d.loop);
    EXPECT_FALSE(d.limited);
}

// The realised response of a design against exp(-i (beta2 h w^2/2 + beta3 h w^3/6 + w d dt))
// over the inner 80 % of the band, and its group delay against the bins' delays.
void expect_dispersive_response(const StepFilterInput& s, const StepFilterDesign& d, double dt, double tolerance) {
    const std::size_t p = d.coef.size();
    double worst = 0.0;
    for (std::size_t j = 0; j < p; ++j) {
        const double jj = j < p / 2 ? static_cast<double>(j) : static_cast<double>(j) - static_cast<double>(p);
        const double w = kTwoPi * jj / (static_cast<double>(p) * dt);
        if (std::fabs(w) > 0.8 * kPi / dt) continue;
        const double phi = s.beta2 * s.h * w * w / 2.0 + s.beta3 * s.h * w * w * w / 6.0 + w * d.delay * dt;
        worst = std::max(worst, std::abs(d.coef[j] - std::polar(1.0, -phi)));
    }
    EXPECT_LT(worst, tolerance);
    // Group delay from the phase step between neighbouring points, at the
    // spectrum bins j = 128..896 (|x| <= 0.75), whose frequency is pi x / dt.
    for (int bin = 128; bin <= 896; bin += 64) {
        const double x = -1.0 + 2.0 * bin / 1024.0;
        const double jj = x * static_cast<double>(p) / 2.0;
        const std::size_t j0 = static_cast<std::size_t>(jj < 0 ? jj + static_cast<double>(p) : jj);
        const std::complex<double> step = d.coef[(j0 + 1) % p] * std::conj(d.coef[j0]);
        const double dw = kTwoPi / (static_cast<double>(p) * dt);
        const double measured = -std::arg(step) / dw;
        // The phase step is taken half a point above the bin frequency.
        const double w = kPi * x / dt + dw / 2.0;
        const double tau_mid = s.beta2 * s.h * w + s.beta3 * s.h * w * w / 2.0 + d.delay * dt;
        EXPECT_NEAR(measured, tau_mid, 0.01 * std::fabs(tau_mid) + 0.05) << bin;
        EXPECT_NEAR(d.tau[static_cast<std::size_t>(bin)],
                    s.beta2 * s.h * (kPi * x / dt) + s.beta3 * s.h * std::pow(kPi * x / dt, 2) / 2.0 + d.delay * dt,
                    1e-9);
    }
}

TEST_F(FibreFilters, ReferenceStepFiltersMatchTheirDispersion) {
    // The longest span step and a grating step.
    StepFilterInput span;
    span.h = 0.15771;
    span.beta2 = -20.2205;
    span.beta3 = 0.147459;
    StepFilterDesign d;
    coefn5(span, dt(), 6.35e-5, d);
    EXPECT_EQ(d.k, 13);
    EXPECT_FALSE(d.limited);
    expect_dispersive_response(span, d, dt(), 2e-3);

    StepFilterInput grating;
    grating.h = 1.0 / 598.0;
    grating.beta2 = 2448.86;
    EXPECT_EQ(initial_filter_exponent(step_delay_spread(grating, dt())), 14);
    coefn5(grating, dt(), 3.2e-4, d);
    EXPECT_EQ(d.k, 13);
    expect_dispersive_response(grating, d, dt(), 5e-3);

    // A short step: a short filter with the same properties.
    StepFilterInput small = span;
    small.h = 0.01;
    coefn5(small, dt(), 6.35e-5, d);
    EXPECT_EQ(d.k, 9);
    expect_dispersive_response(small, d, dt(), 2e-3);
}

TEST_F(FibreFilters, LossShapeOfTheStepFilter) {
    // Zero dispersion, loss slope and curvature over a 2 km step.
    StepFilterInput s;
    s.h = 2.0;
    s.loss.slope = 0.5f;
    s.loss.curvature = 0.2f;
    StepFilterDesign d;
    coefn5(s, dt(), 1e-8, d);
    const std::size_t p = d.coef.size();
    for (std::size_t j = 0; j < p; j += 7) {
        const double jj = j < p / 2 ? static_cast<double>(j) : static_cast<double>(j) - static_cast<double>(p);
        const double f = jj / (static_cast<double>(p) * dt());
        if (std::fabs(f) > 0.4 / dt()) continue;
        const double db = 0.5 * f + 0.5 * 0.2 * f * f;
        EXPECT_NEAR(std::abs(d.coef[j]), std::pow(10.0, -0.05 * 2.0 * db), 2e-3) << f;
    }

    // A profile: loss relative to the centre, ends held outside the data.
    LossProfile profile;
    profile.f = {190.0, 193.0, 196.0};
    profile.loss = {0.3, 0.2, 0.4};
    profile.y2.assign(3, 0.0);
    dspline_clamped(profile.f.data(), profile.loss.data(), 3, profile.y2.data());
    LossShape shape;
    shape.profile = &profile;
    shape.fcenter = 193.0;
    EXPECT_NEAR(shape.relative_loss(0.0), 0.0, 1e-15);
    EXPECT_NEAR(shape.relative_loss(3.0), 0.2, 1e-12);
    EXPECT_NEAR(shape.relative_loss(-3.0), 0.1, 1e-12);
    EXPECT_NEAR(shape.relative_loss(50.0), 0.2, 1e-12);
    EXPECT_NEAR(shape.relative_loss(-50.0), 0.1, 1e-12);
}

TEST_F(FibreFilters, DesignLongerThanTheTablesIsCutWithAWarning) {
    StepFilterInput s;
    s.h = 5.0;  // 32 times the longest step dispersion allows
    s.beta2 = -20.2205;
    s.beta3 = 0.147459;
    StepFilterCache cache;
    const StepFilterDesign* d = nullptr;
    optcl_ctrl.blkmode = 1;
    zzflmn.nohist = 1;
    ::testing::internal::CaptureStderr();
    ASSERT_TRUE(sfilco(0, s, &cache, d));
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(d->k, 13);
    EXPECT_TRUE(d->limited);
    EXPECT_EQ(d->coef.size(), 16384u);
    EXPECT_EQ(err,
              "Nodrix-W- external prerun phase \n"
              " filter evaluation warning \n"
              " the filter needs more than 8192 taps \n"
              " it is cut to 8192 taps \n"
              "time sampling step = 6.40442967E-02     \n"
              "db2 = -20.2205009        \n"
              "db3 = 0.147459000        \n"
              "db4 = 0.00000000         \n"
              "db5 = 0.00000000         \n"
              "da1 = 0.00000000         \n"
              "da2 = 0.00000000         \n"
              "da3 = 0.00000000         \n"
              "dz2 = 5.00000000         \n");
}

// Runs the synthesis of a fibre into named working files and returns them.
struct WorkingFiles {
    std::vector<unsigned char> om, o1, o4, o7, os;
};

WorkingFiles synthesise(WrtfisInput in, bool reuse) {
    std::int32_t units[5] = {};
    const char* names[5] = {"om000009", "o1000009", "o4000009", "o7000009", "os000009"};
    for (int i = 0; i < 5; ++i) opnfil(names[i], kUnformattedUnknown, units[i], 8);
    // The length record that the block writes first.
    const float length = 1.0f;
    std::fwrite("\4\0\0\0", 1, 4, unit_stream(units[0]));
    std::fwrite(&length, 4, 1, unit_stream(units[0]));
    std::fwrite("\4\0\0\0", 1, 4, unit_stream(units[0]));
    in.unit_om = units[0];
    in.unit_o1 = units[1];
    in.unit_o4 = units[2];
    in.unit_o7 = units[3];
    in.unit_os = units[4];
    in.reuse_designs = reuse;
    EXPECT_TRUE(wrtfis(in));
    for (int i = 0; i < 5; ++i) clodev(units[i], 0);
    WorkingFiles w{read_bytes("om000009.DAT"), read_bytes("o1000009.DAT"), read_bytes("o4000009.DAT"),
                   read_bytes("o7000009.DAT"), read_bytes("os000009.DAT")};
    for (const char* n : names) std::remove((std::string(n) + ".DAT").c_str());
    return w;
}

TEST_F(FibreFilters, WorkingFileLayoutByteByByte) {
    // Two lossless steps without dispersion: filters of 16 taps delaying by 3 samples.
    const double h[2] = {0.25, 0.75};
    std::array<float, kBins> dlyin{};
    WrtfisInput in;
    in.k = 9;
    in.loss = 0.2f;
    in.gamma = 1.5f;
    in.nsteps = 2;
    in.h = h;
    in.dlyin = dlyin.data();
    const WorkingFiles w = synthesise(in, true);

    std::vector<unsigned char> om;
    put_i32(om, 4);
    put_f32(om, 1.0f);
    put_i32(om, 4);
    for (std::int32_t v : {64, 4, 32}) {
        put_i32(om, 4);
        put_i32(om, v);
        put_i32(om, 4);
    }
    put_i32(om, 4);
    put_f32(om, 0.0f);
    put_i32(om, 4);
    for (int i = 0; i < 6; ++i) {
        put_i32(om, 4);
        put_i32(om, 0);
        put_i32(om, 4);
    }
    EXPECT_EQ(w.om, om);

    std::vector<unsigned char> o1;
    const double alpha = static_cast<double>(0.2f) / (20.0 * std::log10(std::exp(1.0)));
    for (double step : h) {
        put_i32(o1, 28);
        put_i32(o1, 4);
        put_f64(o1, alpha);
        put_f64(o1, 0.001 * static_cast<double>(1.5f));
        put_f64(o1, step);
        put_i32(o1, 28);
    }
    EXPECT_EQ(w.o1, o1);

    std::vector<unsigned char> o7;
    for (int step = 1; step <= 2; ++step) {
        put_i32(o7, 16);
        put_f64(o7, 3.0 * step * dt());
        put_f64(o7, 3.0 * step * dt());
        put_i32(o7, 16);
    }
    EXPECT_EQ(w.o7, o7);

    std::vector<unsigned char> os;
    put_i32(os, 4096);
    for (int j = 0; j < kBins; ++j) put_f32(os, static_cast<float>(6.0 * dt()));
    put_i32(os, 4096);
    EXPECT_EQ(w.os, os);

    // 2 x 32 coefficient records of 16 bytes: the delay of 3 samples.
    ASSERT_EQ(w.o4.size(), 64u * 24u);
    for (int r = 0; r < 64; ++r) {
        std::int32_t head = 0;
        std::int32_t tail = 0;
        std::complex<double> c;
        std::memcpy(&head, &w.o4[static_cast<std::size_t>(r) * 24], 4);
        std::memcpy(&c, &w.o4[static_cast<std::size_t>(r) * 24 + 4], 16);
        std::memcpy(&tail, &w.o4[static_cast<std::size_t>(r) * 24 + 20], 4);
        EXPECT_EQ(head, 16);
        EXPECT_EQ(tail, 16);
        EXPECT_NEAR(std::abs(c - std::polar(1.0, -kTwoPi * 3.0 * (r % 32) / 32.0)), 0.0, 1e-12);
    }
}

TEST_F(FibreFilters, ReusedDesignsGiveIdenticalFiles) {
    // Short distinct steps, then equal ones, with a random beta2 per 0.05 km
    // section drawn from five levels (so designs come back after eviction too).
    std::vector<double> h;
    for (int i = 1; i <= 6; ++i) h.push_back(0.002 * i);
    for (int i = 0; i < 60; ++i) h.push_back(0.015);
    std::array<float, kBins> dlyin{};
    for (int j = 0; j < kBins; ++j) dlyin[static_cast<std::size_t>(j)] = 0.01f * static_cast<float>(j);
    WrtfisInput in;
    in.k = 24;
    in.loss = 0.2f;
    in.shape.slope = 0.01f;
    in.beta2 = -20.2205;
    in.beta3 = 0.147459;
    in.spread = 2.0f;
    in.section = 0.05f;
    in.gamma = 1.26809f;
    in.nsteps = static_cast<std::int32_t>(h.size());
    in.h = h.data();
    in.dlyin = dlyin.data();
    const WorkingFiles once = synthesise(in, true);
    const WorkingFiles every = synthesise(in, false);
    EXPECT_EQ(once.om, every.om);
    EXPECT_EQ(once.o1, every.o1);
    EXPECT_EQ(once.o4, every.o4);
    EXPECT_EQ(once.o7, every.o7);
    EXPECT_EQ(once.os, every.os);
    EXPECT_GT(once.o4.size(), 60u * 24u * 64u);
    // More than one level was drawn: the accumulated dispersion is not the nominal one.
    float dispersion = 0.0f;
    std::memcpy(&dispersion, &once.om[12 + 3 * 12 + 4], 4);
    EXPECT_GT(std::fabs(dispersion - static_cast<float>(-20.2205 * 0.942)), 0.01f);
}

TEST_F(FibreFilters, SeedsOfZeroGiveTheFirstLevel) {
    seeds.fill(0);
    const double h[3] = {0.01, 0.01, 0.01};
    std::array<float, kBins> dlyin{};
    WrtfisInput in;
    in.k = 5;
    in.beta2 = -20.0;
    in.spread = 2.0f;
    in.section = 0.01f;
    in.nsteps = 3;
    in.h = h;
    in.dlyin = dlyin.data();
    const WorkingFiles w = synthesise(in, true);
    float dispersion = 0.0f;
    std::memcpy(&dispersion, &w.om[12 + 3 * 12 + 4], 4);
    EXPECT_FLOAT_EQ(dispersion, static_cast<float>((-20.0 - 1.7320508075688772 * 2.0) * 0.03));
}

TEST_F(FibreFilters, AccumulatedDelayFollowsTheFibreDispersion) {
    // Four steps of the reference dispersion on top of an input delay profile.
    const double h[4] = {0.05, 0.1, 0.1, 0.15};
    const double length = 0.4;
    std::array<float, kBins> dlyin{};
    for (int j = 0; j < kBins; ++j) dlyin[static_cast<std::size_t>(j)] = 7.0f + 0.002f * static_cast<float>(j);
    WrtfisInput in;
    in.k = 3;
    in.beta2 = -20.2205;
    in.beta3 = 0.147459;
    in.nsteps = 4;
    in.h = h;
    in.dlyin = dlyin.data();
    wwfunc.dmfraz = 1e-6;
    const WorkingFiles w = synthesise(in, true);
    ASSERT_EQ(w.os.size(), 4u + 4096u + 4u);
    std::vector<double> residual;
    double lo = 1e30;
    double hi = -1e30;
    for (int j = 0; j < kBins - 1; ++j) {
        float v = 0.0f;
        std::memcpy(&v, &w.os[4 + 4 * static_cast<std::size_t>(j)], 4);
        const double omega = kPi * (-1.0 + 2.0 * j / 1024.0) / dt();
        residual.push_back(v - dlyin[static_cast<std::size_t>(j)] -
                           (-20.2205 * length * omega + 0.147459 * length * omega * omega / 2.0));
        if (j >= 102 && j <= 922) {
            lo = std::min<double>(lo, v);
            hi = std::max<double>(hi, v);
        }
    }
    // What is left is the constant centring delay: whole samples.
    const double centring = residual[0];
    for (double r : residual) EXPECT_NEAR(r, centring, 2e-3);
    EXPECT_NEAR(centring / dt(), std::round(centring / dt()), 1e-3);
    EXPECT_GT(centring, 0.0);
    // The last "o7" record: extremes over bins 103..923 less the input's minimum there.
    double dmin = 0.0;
    double dmax = 0.0;
    std::memcpy(&dmin, &w.o7[w.o7.size() - 20], 8);
    std::memcpy(&dmax, &w.o7[w.o7.size() - 12], 8);
    const double d0 = 7.0 + 0.002 * 102;
    EXPECT_NEAR(dmin, lo - d0, 2e-3);
    EXPECT_NEAR(dmax, hi - d0, 2e-3);
}

}  // namespace
}  // namespace nodrix
