// Step-filter synthesis: random streams against a second computation, the
// statistics of the local dispersion, and filters against their closed-form
// response.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "models/fibre/fibre_filters.h"
#include "numerics/filter_tables.h"
#include "tests/models/fibre/fibre_test_support.h"

namespace nodrix {
namespace {

class FibreFilters : public testing::FibreTest {
protected:
    double dt() const { return static_cast<double>(SimulationSettings{}.time_step_ps); }
    FibreStreams streams;
    Seeds seeds = SimulationSettings{}.seeds;
};

// A draw is x <- a x mod (2^31 - 1), scaled to [0, 1).
constexpr std::int64_t kA[5] = {65539, 71335, 68771, 68773, 16807};
constexpr float kScale = 4.656613e-10f;

float draw(FibreStreams& streams, std::int32_t stream, std::int32_t& counter, std::int32_t seed) {
    float u = 0.0f;
    streams.rndgen(stream, counter, seed, u);
    return u;
}

TEST_F(FibreFilters, RandomStreamsFollowTheirMultipliers) {
    for (std::int32_t g = 1; g <= 10; ++g) {
        const std::int32_t seed = seeds[static_cast<std::size_t>(g - 1)];
        std::int64_t x = 2LL * seed - 1;
        std::int32_t counter = 0;
        for (int i = 0; i < 5000; ++i) {
            x = kA[(g - 1) % 5] * x % 2147483647;
            ASSERT_EQ(draw(streams, g, counter, seed), static_cast<float>(x) * kScale) << "stream " << g << " draw " << i;
        }
    }
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
    detfib(streams, 7, -2.0, 2.0, 5, uniform_levels, zero.data(), counters.data(), b2);
    EXPECT_EQ(b2, -2.0);
    dfib3s(streams, 7, 0.0, 1.0, 5, gauss_levels, zero.data(), counters.data(), b2);
    EXPECT_EQ(b2, 3.0);
    // One level: the table's only value.
    detfib(streams, 7, -2.0, 2.0, 1, uniform_levels, seeds.data(), counters.data(), b2);
    EXPECT_EQ(b2, -2.0);
    // Uniform model: every level about equally often.
    std::array<int, 5> hits{};
    const int draws = 20000;
    for (int i = 0; i < draws; ++i) {
        detfib(streams, 7, -2.0, 2.0, 5, uniform_levels, seeds.data(), counters.data(), b2);
        ++hits[static_cast<std::size_t>(std::lround(b2 + 2.0))];
    }
    for (int h : hits) EXPECT_NEAR(h / double(draws), 0.2, 0.015);
    // Gaussian model mapped onto the nearest of +3, +1.5, 0, -1.5, -3 sigma:
    // probabilities of |v| beyond 2.25, between 0.75 and 2.25, below 0.75.
    hits = {};
    for (int i = 0; i < draws; ++i) {
        dfib3s(streams, 7, 0.0, 1.0, 5, gauss_levels, seeds.data(), counters.data(), b2);
        ++hits[static_cast<std::size_t>(std::lround((3.0 - b2) / 1.5))];
    }
    const double p_outer = 0.5 * std::erfc(2.25 / std::sqrt(2.0));
    const double p_inner = 0.5 * std::erfc(0.75 / std::sqrt(2.0)) - p_outer;
    const double expected[5] = {p_outer, p_inner, 1.0 - 2.0 * (p_outer + p_inner), p_inner, p_outer};
    for (std::size_t l = 0; l < 5; ++l) EXPECT_NEAR(hits[l] / double(draws), expected[l], 0.015) << l;
}

// The dispersion accumulated over a fibre of `steps` (sum of local beta2 h)
// with random local beta2 over sections of 0.02 km, for a fibre starting
// `start_km` along the whole fibre 6, in a sizing round.
double accumulated_dispersion(const std::vector<double>& steps, double start_km) {
    FibreStreams streams;
    const Messages messages;
    FibreDesignRecords records;
    wrtfis({.k = 7, .shape = {}, .beta2 = -0.2, .spread = 0.02f, .section = 0.02f, .start_km = start_km,
            .nsteps = static_cast<std::int32_t>(steps.size()), .h = steps.data(), .precision = 1e-3,
            .round = {.dt = static_cast<double>(SimulationSettings{}.time_step_ps), .sizing = true, .messages = &messages},
            .seeds = SimulationSettings{}.seeds, .streams = &streams},
           records);
    EXPECT_TRUE(records.has_totals);
    return records.dispersion;
}

// A fibre cut at 0.05 km, in the middle of its third section: the second
// piece takes up that section's draw and the draws after it, so the pieces
// have the dispersion of the whole fibre; restarted, they would not.
TEST_F(FibreFilters, PiecesContinueTheSectionsOfTheWholeFibre) {
    const std::vector<double> whole(10, 0.01);
    const std::vector<double> half(5, 0.01);
    const double together = accumulated_dispersion(whole, 0.0);
    EXPECT_NEAR(accumulated_dispersion(half, 0.0) + accumulated_dispersion(half, 0.05), together, 1e-7);
    EXPECT_GT(std::fabs(2.0 * accumulated_dispersion(half, 0.0) - together), 1e-5);
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

}  // namespace
}  // namespace nodrix
