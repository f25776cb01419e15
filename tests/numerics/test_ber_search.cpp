#include <cmath>
#include <random>
#include <vector>

#include "numerics/ber_search.h"
#include "tests/support/test_support.h"

namespace nodrix {
namespace {

using BerSearch = testing::NodrixTest;

double gauss_ber(double q) { return 0.5 * std::erfc(q / std::sqrt(2.0)); }

TEST_F(BerSearch, BerToQ) {
    EXPECT_NEAR(ber_to_q(1e-9), 5.9978, 0.006);  // bisection to 0.1 %
    EXPECT_FLOAT_EQ(ber_to_q(0.1), 2.0f);
    EXPECT_FLOAT_EQ(ber_to_q(1e-41), 100.0f);
    for (double q : {2.5, 7.0, 13.1}) EXPECT_NEAR(ber_to_q(gauss_ber(q)), q, 0.001 * q) << q;
    EXPECT_NEAR(ber_at_q2(), 0.02275013, 1e-8);
}

TEST_F(BerSearch, GaussianNoiseMatchesTheTrueQ) {
    // Levels 0 and 1 with Gaussian noise of deviation 0.1: true Q = 1 / (2 sigma) = 5. Instant 2 holds
    // -0.4 and 1.6, fixing the range so that candidate threshold 16 is 0.5, then a flat closed eye.
    const int bits = 40000;
    const double sigma = 0.1;
    std::mt19937 gen(12345u);
    std::normal_distribution<double> normal(0.0, sigma);
    std::vector<float> s;
    for (int b = 0; b < bits; ++b) {
        s.push_back(static_cast<float>(static_cast<double>(gen() & 1u) + normal(gen)));
        s.push_back(b == 0 ? -0.4f : b == 1 ? 1.6f : 0.5f);
    }
    const EyeSamples eye{s.data(), 2 * bits, 2};
    EXPECT_NEAR(candidate_threshold(-0.4f, 1.6f, 16), 0.5f, 1e-6f);
    ApproxSelector sel;
    // L = 3: about 5000 samples per pattern give each deviation to 1 %, the BER to (Q^2 + 1) x 1 % = 26 %,
    // about 9 % averaged over 8 patterns: 35 % is four standard deviations.
    const SearchResult r3 = q_ber_optimize(eye, 3, 1, sel);
    EXPECT_EQ(r3.instant, 1);
    EXPECT_NEAR(r3.threshold, 0.5f, 1e-6f);
    EXPECT_EQ(r3.best.status, kBerRegular);
    EXPECT_NEAR(r3.best.ber / gauss_ber(5.0), 1.0, 0.35);
    EXPECT_NEAR(r3.best.q, 5.0f, 0.1f);
    // L = 1: Q = (m1 - m0) / (s1 + s0) from 20000 samples per level; the BER is that of the chosen threshold.
    const SearchResult r1 = q_ber_optimize(eye, 1, 1, sel);
    EXPECT_EQ(r1.instant, 1);
    EXPECT_NEAR(r1.best.q, 5.0f, 0.1f);
    const double th = r1.threshold;
    EXPECT_NEAR(r1.best.ber / (0.5 * (gauss_ber((1.0 - th) / sigma) + gauss_ber(th / sigma))), 1.0, 0.35);
    // Mode 2 records the smallest BER over the instants at the best threshold: instant 1's.
    const SearchResult r2 = q_ber_optimize(eye, 3, 2, sel);
    EXPECT_EQ(r2.min_ber_instant, 1);
    EXPECT_FLOAT_EQ(r2.min_ber_at_best_threshold, r2.best.ber);
}

}  // namespace
}  // namespace nodrix
