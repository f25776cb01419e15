#include <cmath>
#include <string>

#include "numerics/ber_chi_square.h"
#include "tests/models/measurements/run_harness.h"

namespace nodrix {
namespace {

using BerChiSquare = testing::NodrixTest;

// I_nu(x) from its power series.
double series_i(double nu, double x) {
    double sum = 0.0;
    for (int k = 0; k < 400; ++k)
        sum += std::exp((2.0 * k + nu) * std::log(0.5 * x) - std::lgamma(k + 1.0) - std::lgamma(k + nu + 1.0));
    return sum;
}

// K_nu(x) = integral over t >= 0 of exp(-x cosh t) cosh(nu t), by the composite Simpson rule.
double integral_k(double nu, double x) {
    double t_end = 1.0;
    while (x * (std::cosh(t_end) - 1.0) - nu * t_end < 60.0) t_end += 0.5;
    const int n = 40000;
    const double h = t_end / n;
    double s = 0.0;
    for (int k = 0; k <= n; ++k)
        s += std::exp(-x * std::cosh(k * h)) * std::cosh(nu * k * h) * (k == 0 || k == n ? 1 : k % 2 == 1 ? 4 : 2);
    return s * h / 3.0;
}

// Non-central chi-square density as a Poisson(delta / 2) mixture of central densities of dof + 2k.
double mixture_density(double u, double dof, double delta) {
    if (u <= 0.0) return 0.0;
    const int kmax = static_cast<int>(delta / 2.0 + 12.0 * std::sqrt(delta / 2.0 + 1.0) + 20.0);
    double half = 0.5 * dof;
    double log_w = -0.5 * delta;
    double log_g = (half - 1.0) * std::log(u) - 0.5 * u - half * std::log(2.0) - std::lgamma(half);
    double sum = std::exp(log_w + log_g);
    for (int k = 1; k <= kmax && delta > 0.0; ++k, half += 1.0) {
        log_w += std::log(0.5 * delta) - std::log(static_cast<double>(k));
        log_g += std::log(0.5 * u) - std::log(half);
        sum += std::exp(log_w + log_g);
    }
    return sum;
}

TEST_F(BerChiSquare, BesselFunctionsAgainstSeriesAndIntegrals) {
    BesselIK r;
    // Both branches (series below x = 2, continued fraction above), fractional and integer orders;
    // derivatives I' = I_nu+1 + nu/x I, K' = -K_nu+1 + nu/x K; the scaled variant carries e^-x and e^x.
    for (double nu : {0.0, 0.3, 0.5, 1.0, 2.7, 10.2, 41.0}) {
        for (double x : {0.05, 0.7, 1.99, 2.01, 5.0, 23.0, 60.0}) {
            BesselIK s;
            ASSERT_TRUE(bessik(x, nu, r) && bessik_mod(x, nu, s)) << nu << " " << x;
            const double i = series_i(nu, x), k = integral_k(nu, x), e = std::exp(x);
            const double ip = series_i(nu + 1.0, x) + nu / x * i, kp = -integral_k(nu + 1.0, x) + nu / x * k;
            const double ratio_i[] = {r.i / i, r.ip / ip, s.i * e / i, s.ip * e / ip};
            const double ratio_k[] = {r.k / k, r.kp / kp, s.k / (k * e), s.kp / (kp * e)};
            for (double q : ratio_i) EXPECT_NEAR(q, 1.0, 1e-9) << nu << " " << x;
            for (double q : ratio_k) EXPECT_NEAR(q, 1.0, 1e-8) << nu << " " << x;
        }
    }
    // Arguments past the overflow of I: closed forms of the half-integer orders.
    const double pi = 3.141592653589793;
    for (double x : {800.0, 5000.0, 1e5}) {
        BesselIK s, t;
        ASSERT_TRUE(bessik_mod(x, 0.5, s) && bessik_mod(x, 1.5, t));
        EXPECT_NEAR(s.i * std::sqrt(2.0 * pi * x), 1.0, 1e-10);
        EXPECT_NEAR(s.k / std::sqrt(pi / (2.0 * x)), 1.0, 1e-10);
        EXPECT_NEAR(t.i * std::sqrt(2.0 * pi * x) / (1.0 - 1.0 / x), 1.0, 1e-10);
        EXPECT_NEAR(t.k / (std::sqrt(pi / (2.0 * x)) * (1.0 + 1.0 / x)), 1.0, 1e-10);
    }
}

TEST_F(BerChiSquare, ConvStatRecoversAModelFromItsMoments) {
    // X = offset + n0 Y: mean = offset + n0 M + lambda, variance = 2 M n0^2 + 4 n0 lambda.
    const double n0 = 0.01, offset = 0.1, l1 = 0.5, l0 = 0.01;
    const int m = 8;
    const double mean1 = offset + n0 * m + l1, var1 = 2 * m * n0 * n0 + 4 * n0 * l1;
    const double mean0 = offset + n0 * m + l0, var0 = 2 * m * n0 * n0 + 4 * n0 * l0;
    Chi2Model model;
    ASSERT_TRUE(conv_stat(mean1, var1, mean0, var0, 8, model));
    EXPECT_EQ(model.dof, 8);
    EXPECT_NEAR(model.n0, n0, 1e-12);
    EXPECT_NEAR(model.lambda1, l1, 1e-12);
    EXPECT_NEAR(model.lambda0, l0, 1e-12);
    EXPECT_NEAR(model.offset, offset, 1e-12);
    // Without a tighter limit: the most degrees of freedom the space level allows.
    ASSERT_TRUE(conv_stat(mean1, var1, mean0, var0, 1000, model));
    EXPECT_EQ(model.dof, 10);  // trunc(var0 / (2 n0^2)) = M + 2 lambda0 / n0
    EXPECT_NEAR(model.lambda0, 0.0, 1e-12);
    EXPECT_FALSE(conv_stat(mean1, var1, mean0, var0, 2, model));    // 2 degrees of freedom or fewer
    EXPECT_FALSE(conv_stat(mean1, var0, mean0, var1, 100, model));  // marks must be the noisier
    EXPECT_FALSE(conv_stat(mean0, var1, mean0, var0, 100, model));  // no level difference
}

TEST_F(BerChiSquare, DensityMatchesThePoissonMixture) {
    struct Case { double dof, delta; };
    for (const Case c : {Case{3, 0}, Case{4, 2.5}, Case{7, 40}, Case{20, 400}, Case{10, 5000}}) {
        const double mean = c.dof + c.delta, sd = std::sqrt(2 * c.dof + 4 * c.delta);
        for (double u : {0.3 * mean, mean, mean + 3 * sd})
            EXPECT_NEAR(ddp_f(u, c.dof, c.delta) / mixture_density(u, c.dof, c.delta), 1.0, 1e-8) << c.dof << " " << u;
    }
    EXPECT_EQ(ddp_f(1e-15, 4, 1), 0.0);
}

}  // namespace
}  // namespace nodrix
