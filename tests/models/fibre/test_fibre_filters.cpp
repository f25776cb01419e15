// Step-filter synthesis: random streams worked by hand, dispersion levels,
// filters against their closed-form response, the working-file layouts built
// byte by byte, and the equality of reused and freshly designed filters.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <cstring>
#include <vector>

#include "numerics/filter_tables.h"
#include "numerics/spline.h"
#include "kernel/control_blocks.h"
#include "models/fibre/fibre_filters.h"
#include "kernel/filexx.h"
#include "runtime/opxfile.h"
#include "tests/models/fibre/fibre_test_support.h"

namespace nodrix {
namespace {

using testing::put_f32;
using testing::put_i32;
using Bytes = std::vector<unsigned char>;

class FibreFilters : public testing::FibreTest {
protected:
    double dt() const { return zdctrl.ddelt; }
};

// A draw is x <- a x mod (2^31 - 1), scaled to [0, 1).
constexpr std::int64_t kA[5] = {65539, 71335, 68771, 68773, 16807};
constexpr float kScale = 4.656613e-10f;

float draw(std::int32_t stream, std::int32_t& counter, std::int32_t seed) {
    float u = 0.0f;
    rndgen(stream, counter, seed, u);
    return u;
}

TEST_F(FibreFilters, RandomStreamsFirstDrawsByHand) {
    // Stream 1 from seed 349: x0 = 697; 65539 * 697 = 45680683, and so on.
    std::int32_t counter = 0;
    for (std::int64_t x : {45680683LL, 274079219LL, 1324710533LL}) EXPECT_EQ(draw(1, counter, 349), static_cast<float>(x) * kScale);
    EXPECT_EQ(counter, 3);
    // Stream 5 (Schrage form) from seed 457: 16807 * 913 = 15344791. Seed 1
    // gives x0 = 1, replaced by 3173 on streams 1-5 and 1234 on 6-10.
    const struct { std::int32_t stream, seed; std::int64_t x; } first[] = {
        {5, 457, 15344791}, {2, 1, 71335LL * 3173}, {6, 1, 65539LL * 1234}};
    for (const auto& f : first) {
        counter = 0;
        EXPECT_EQ(draw(f.stream, counter, f.seed), static_cast<float>(f.x) * kScale) << f.stream;
    }
    // A cleared counter starts the stream again, once: clearing it again
    // right after continues the stream.
    counter = 0;
    EXPECT_EQ(draw(1, counter, 349), 45680683.0f * kScale);
    counter = 0;
    EXPECT_EQ(draw(1, counter, 349), 274079219.0f * kScale);
}

TEST_F(FibreFilters, RandomStreamsFollowTheirMultipliers) {
    for (std::int32_t g = 1; g <= 10; ++g) {
        const std::int32_t seed = seeds[static_cast<std::size_t>(g - 1)];
        std::int64_t x = 2LL * seed - 1;
        std::int32_t counter = 0;
        for (int i = 0; i < 5000; ++i) {
            x = kA[(g - 1) % 5] * x % 2147483647;
            ASSERT_EQ(draw(g, counter, seed), static_cast<float>(x) * kScale) << "stream " << g << " draw " << i;
        }
    }
}

void expect_table(const double* t, std::initializer_list<double> expected) {
    const double* e = expected.begin();
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_DOUBLE_EQ(t[i], e[i]) << i;
}

TEST_F(FibreFilters, DispersionLevelTables) {
    double t[5];
    valb2p(-3.0, 5.0, 5, t);
    expect_table(t, {-3.0, -1.0, 1.0, 3.0, 5.0});
    valb2p(-3.0, 5.0, 1, t);
    expect_table(t, {1.0});
    vb2p3s(10.0, 2.0, 5, t);
    expect_table(t, {16.0, 13.0, 10.0, 7.0, 4.0});
    vb2p3s(10.0, 2.0, 1, t);
    expect_table(t, {10.0});
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
    for (std::size_t l = 0; l < 5; ++l) EXPECT_NEAR(hits[l] / double(draws), expected[l], 0.015) << l;
}

StepFilterInput step_of(double h, double beta2 = 0.0, double beta3 = 0.0, LossShape loss = {}) {
    return {.h = h, .beta2 = beta2, .beta3 = beta3, .loss = loss};
}

// The realised response of a design against exp(-i (beta2 h w^2/2 + beta3 h w^3/6 + w d dt))
// over the inner 80 % of the band, and its group delay against the bins' delays.
void expect_dispersive_response(const StepFilterInput& s, const StepFilterDesign& d, double dt, double tolerance) {
    const std::size_t p = d.coef.size();
    const double dw = kTwoPi / (static_cast<double>(p) * dt);
    double worst = 0.0;
    for (std::size_t j = 0; j < p; ++j) {
        const double w = dw * (j < p / 2 ? static_cast<double>(j) : static_cast<double>(j) - static_cast<double>(p));
        if (std::fabs(w) > 0.8 * kPi / dt) continue;
        const double phi = s.beta2 * s.h * w * w / 2.0 + s.beta3 * s.h * w * w * w / 6.0 + w * d.delay * dt;
        worst = std::max(worst, std::abs(d.coef[j] - std::polar(1.0, -phi)));
    }
    EXPECT_LT(worst, tolerance);
    // Group delay from the phase step between neighbouring points, at the
    // spectrum bins j = 128..896 (|x| <= 0.75), whose frequency is pi x / dt.
    const auto tau = [&](double w) { return s.beta2 * s.h * w + s.beta3 * s.h * w * w / 2.0 + d.delay * dt; };
    for (int bin = 128; bin <= 896; bin += 64) {
        const double x = -1.0 + 2.0 * bin / 1024.0;
        const double jj = x * static_cast<double>(p) / 2.0;
        const std::size_t j0 = static_cast<std::size_t>(jj < 0 ? jj + static_cast<double>(p) : jj);
        const double measured = -std::arg(d.coef[(j0 + 1) % p] * std::conj(d.coef[j0])) / dw;
        // The phase step is taken half a point above the bin frequency.
        const double tau_mid = tau(kPi * x / dt + dw / 2.0);
        EXPECT_NEAR(measured, tau_mid, 0.01 * std::fabs(tau_mid) + 0.05) << bin;
        EXPECT_NEAR(d.tau[static_cast<std::size_t>(bin)], tau(kPi * x / dt), 1e-9);
    }
}

TEST_F(FibreFilters, ReferenceStepFiltersMatchTheirDispersion) {
    EXPECT_EQ(initial_filter_exponent(step_delay_spread(step_of(1.0 / 598.0, 2448.86), dt())), 14);
    // The longest span step, a grating step, and a short step (a short filter with the same properties).
    const struct { StepFilterInput s; double precision, tolerance; std::int32_t k; } cases[] = {
        {step_of(0.15771, -20.2205, 0.147459), 6.35e-5, 2e-3, 13},
        {step_of(1.0 / 598.0, 2448.86), 3.2e-4, 5e-3, 13},
        {step_of(0.01, -20.2205, 0.147459), 6.35e-5, 2e-3, 9}};
    for (const auto& c : cases) {
        StepFilterDesign d;
        coefn5(c.s, dt(), c.precision, d);
        EXPECT_EQ(d.k, c.k) << c.s.h;
        EXPECT_FALSE(d.limited) << c.s.h;
        expect_dispersive_response(c.s, d, dt(), c.tolerance);
    }
}

TEST_F(FibreFilters, LossShapeOfTheStepFilter) {
    // Zero dispersion, loss slope and curvature over a 2 km step.
    const StepFilterInput s = step_of(2.0, 0.0, 0.0, {.slope = 0.5f, .curvature = 0.2f});
    StepFilterDesign d;
    coefn5(s, dt(), 1e-8, d);
    const std::size_t p = d.coef.size();
    for (std::size_t j = 0; j < p; j += 7) {
        const double f = (j < p / 2 ? static_cast<double>(j) : static_cast<double>(j) - static_cast<double>(p)) /
                         (static_cast<double>(p) * dt());
        if (std::fabs(f) > 0.4 / dt()) continue;
        EXPECT_NEAR(std::abs(d.coef[j]), std::pow(10.0, -0.05 * 2.0 * (0.5 * f + 0.5 * 0.2 * f * f)), 2e-3) << f;
    }
    // A profile: loss relative to the centre, ends held outside the data.
    LossProfile profile{.f = {190.0, 193.0, 196.0}, .loss = {0.3, 0.2, 0.4}, .y2 = {0.0, 0.0, 0.0}};
    dspline_clamped(profile.f.data(), profile.loss.data(), 3, profile.y2.data());
    const LossShape shape{.profile = &profile, .fcenter = 193.0};
    EXPECT_NEAR(shape.relative_loss(0.0), 0.0, 1e-15);
    for (const auto& [df, loss] : {std::pair{3.0, 0.2}, {-3.0, 0.1}, {50.0, 0.2}, {-50.0, 0.1}})
        EXPECT_NEAR(shape.relative_loss(df), loss, 1e-12) << df;
}

TEST_F(FibreFilters, DesignLongerThanTheTablesIsCutWithAWarning) {
    // 32 times the longest step dispersion allows.
    const StepFilterInput s = step_of(5.0, -20.2205, 0.147459);
    StepFilterCache cache;
    const StepFilterDesign* d = nullptr;
    optcl_ctrl.blkmode = 1;
    zzflmn.nohist = 1;
    bool written = false;
    const std::string err = testing::stderr_of([&] { written = sfilco(0, s, 1e-8, &cache, d); });
    ASSERT_TRUE(written);
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

// One unformatted record: its byte count, the values, the count again.
void put(Bytes& b, std::int32_t v) { put_i32(b, v); }
void put(Bytes& b, float v) { put_f32(b, v); }
void put(Bytes& b, double v) { testing::put_f64(b, v); }
template <class... T>
void put_record(Bytes& b, T... values) {
    const std::int32_t size = static_cast<std::int32_t>((sizeof(T) + ...));
    put_i32(b, size);
    (put(b, values), ...);
    put_i32(b, size);
}

// The working files of a synthesis, in the order om, o1, o4, o7, os.
enum { kOm, kO1, kO4, kO7, kOs };
using WorkingFiles = std::array<Bytes, 5>;
constexpr const char* kFileNames[5] = {"om000009", "o1000009", "o4000009", "o7000009", "os000009"};

WorkingFiles synthesise(WrtfisInput in, bool reuse) {
    std::int32_t units[5] = {};
    for (int i = 0; i < 5; ++i) opnfil(kFileNames[i], kUnformattedUnknown, units[i], 8);
    Bytes length;  // the length record that the block writes first
    put_record(length, 1.0f);
    std::fwrite(length.data(), 1, length.size(), unit_stream(units[0]));
    in.unit_om = units[kOm];
    in.unit_o1 = units[kO1];
    in.unit_o4 = units[kO4];
    in.unit_o7 = units[kO7];
    in.unit_os = units[kOs];
    in.reuse_designs = reuse;
    EXPECT_TRUE(wrtfis(in));
    WorkingFiles w;
    for (int i = 0; i < 5; ++i) {
        clodev(units[i], 0);
        const std::string file = std::string(kFileNames[i]) + ".DAT";
        w[static_cast<std::size_t>(i)] = testing::read_bytes(file);
        std::remove(file.c_str());
    }
    return w;
}

// The accumulated dispersion in the header records of "om".
float om_dispersion(const WorkingFiles& w) {
    float dispersion = 0.0f;
    std::memcpy(&dispersion, &w[kOm][12 + 3 * 12 + 4], 4);
    return dispersion;
}

TEST_F(FibreFilters, WorkingFileLayoutByteByByte) {
    // Two lossless steps without dispersion: no delay spread, so the search for
    // the filter size starts at M = 256, puts the delta at sample 4 and shrinks
    // while M >= 2 (L + 8): filters of 16 taps delaying by 3 samples.
    EXPECT_EQ(step_delay_spread(step_of(0.5), dt()), 0.0);
    EXPECT_EQ(initial_filter_exponent(0.0), 8);
    const double h[2] = {0.25, 0.75};
    std::array<float, kBins> dlyin{};
    const WorkingFiles w = synthesise({.k = 9, .loss = 0.2f, .shape = {}, .gamma = 1.5f, .nsteps = 2, .h = h, .dlyin = dlyin.data()}, true);
    Bytes om;
    put_record(om, 1.0f);
    for (std::int32_t v : {64, 4, 32}) put_record(om, v);
    put_record(om, 0.0f);
    for (int i = 0; i < 6; ++i) put_record(om, std::int32_t{0});
    EXPECT_EQ(w[kOm], om);
    Bytes o1;
    const double alpha = static_cast<double>(0.2f) / (20.0 * std::log10(std::exp(1.0)));
    for (double step : h) put_record(o1, std::int32_t{4}, alpha, 0.001 * static_cast<double>(1.5f), step);
    EXPECT_EQ(w[kO1], o1);
    Bytes o7;
    for (int step = 1; step <= 2; ++step) put_record(o7, 3.0 * step * dt(), 3.0 * step * dt());
    EXPECT_EQ(w[kO7], o7);
    Bytes os;
    put_i32(os, 4096);
    for (int j = 0; j < kBins; ++j) put_f32(os, static_cast<float>(6.0 * dt()));
    put_i32(os, 4096);
    EXPECT_EQ(w[kOs], os);
    // 2 x 32 coefficient records of 16 bytes: the delay of 3 samples.
    ASSERT_EQ(w[kO4].size(), 64u * 24u);
    for (std::size_t r = 0; r < 64; ++r) {
        std::int32_t head = 0;
        std::int32_t tail = 0;
        std::complex<double> c;
        std::memcpy(&head, &w[kO4][r * 24], 4);
        std::memcpy(&c, &w[kO4][r * 24 + 4], 16);
        std::memcpy(&tail, &w[kO4][r * 24 + 20], 4);
        EXPECT_EQ(head, 16);
        EXPECT_EQ(tail, 16);
        EXPECT_NEAR(std::abs(c - std::polar(1.0, -kTwoPi * 3.0 * static_cast<double>(r % 32) / 32.0)), 0.0, 1e-12);
    }
}

TEST_F(FibreFilters, ReusedDesignsGiveIdenticalFilesAndZeroSeedsTheFirstLevel) {
    // Short distinct steps, then equal ones, with a random beta2 per 0.05 km
    // section drawn from five levels (so designs come back after eviction too).
    std::vector<double> h;
    for (int i = 1; i <= 6; ++i) h.push_back(0.002 * i);
    h.resize(66, 0.015);
    std::array<float, kBins> dlyin{};
    for (int j = 0; j < kBins; ++j) dlyin[static_cast<std::size_t>(j)] = 0.01f * static_cast<float>(j);
    const WrtfisInput in{.k = 24, .loss = 0.2f, .shape = {.slope = 0.01f}, .beta2 = -20.2205, .beta3 = 0.147459,
                         .spread = 2.0f, .section = 0.05f, .gamma = 1.26809f, .nsteps = 66, .h = h.data(),
                         .dlyin = dlyin.data()};
    const WorkingFiles once = synthesise(in, true);
    const WorkingFiles every = synthesise(in, false);
    for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(once[i], every[i]) << kFileNames[i];
    EXPECT_GT(once[kO4].size(), 60u * 24u * 64u);
    // More than one level was drawn: the accumulated dispersion is not the nominal one.
    EXPECT_GT(std::fabs(om_dispersion(once) - static_cast<float>(-20.2205 * 0.942)), 0.01f);
    // Seeds of zero give the first level, -sqrt(3) spread from the mean, on every section.
    seeds.fill(0);
    const double equal[3] = {0.01, 0.01, 0.01};
    EXPECT_FLOAT_EQ(om_dispersion(synthesise({.k = 5, .shape = {}, .beta2 = -20.0, .spread = 2.0f, .section = 0.01f, .nsteps = 3,
                                              .h = equal, .dlyin = dlyin.data()}, true)),
                    static_cast<float>((-20.0 - 1.7320508075688772 * 2.0) * 0.03));
}

TEST_F(FibreFilters, AccumulatedDelayFollowsTheFibreDispersion) {
    // Four steps (0.4 km) of the reference dispersion on top of an input delay profile.
    const double h[4] = {0.05, 0.1, 0.1, 0.15};
    std::array<float, kBins> dlyin{};
    for (int j = 0; j < kBins; ++j) dlyin[static_cast<std::size_t>(j)] = 7.0f + 0.002f * static_cast<float>(j);
    const WorkingFiles w = synthesise(
        {.k = 3, .shape = {}, .beta2 = -20.2205, .beta3 = 0.147459, .nsteps = 4, .h = h, .dlyin = dlyin.data(), .precision = 1e-6},
        true);
    ASSERT_EQ(w[kOs].size(), 4u + 4096u + 4u);
    std::vector<double> residual;
    double lo = 1e30;
    double hi = -1e30;
    for (std::size_t j = 0; j < kBins - 1; ++j) {
        float v = 0.0f;
        std::memcpy(&v, &w[kOs][4 + 4 * j], 4);
        const double omega = kPi * (-1.0 + 2.0 * static_cast<double>(j) / 1024.0) / dt();
        residual.push_back(v - dlyin[j] - (-20.2205 * 0.4 * omega + 0.147459 * 0.4 * omega * omega / 2.0));
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
    std::memcpy(&dmin, &w[kO7][w[kO7].size() - 20], 8);
    std::memcpy(&dmax, &w[kO7][w[kO7].size() - 12], 8);
    const double d0 = 7.0 + 0.002 * 102;
    EXPECT_NEAR(dmin, lo - d0, 2e-3);
    EXPECT_NEAR(dmax, hi - d0, 2e-3);
}

}  // namespace
}  // namespace nodrix
