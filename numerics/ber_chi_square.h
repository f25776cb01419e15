// Non-central chi-square error probabilities of the BER estimator: the fit of
// a chi-square model to a mark/space pattern pair, its density, the Romberg
// integration of its tails, and the fractional-order modified Bessel functions
// the density needs.
#pragma once

#include <cmath>
#include <cstdint>

#include "numerics/ber_search.h"

namespace nodrix {

// ---- Bessel functions ----

// Chebyshev series: sum of c[k] T_k(y) for k < m minus c[0] / 2, with y the
// point x of [a, b] mapped to [-1, 1]. x outside [a, b] is reported and gives 0.
double chebev(double a, double b, const double* c, int m, double x);

// Gamma-function terms of Temme's series for |x| <= 1/2:
// gam1 = (1/G(1-x) - 1/G(1+x)) / (2x), gam2 = (1/G(1-x) + 1/G(1+x)) / 2,
// gampl = 1/G(1+x), gammi = 1/G(1-x).
void beschb(double x, double& gam1, double& gam2, double& gampl, double& gammi);

struct BesselIK {
    double i = 0.0;   // I_nu(x)
    double k = 0.0;   // K_nu(x)
    double ip = 0.0;  // I'_nu(x)
    double kp = 0.0;  // K'_nu(x)
};

// Modified Bessel functions of fractional order nu >= 0 at x > 0 (series
// below x = 2, continued fractions above; relative accuracy 1e-10). Returns
// false, with a warning, on bad arguments or when an iteration fails.
bool bessik(double x, double nu, BesselIK& r);
// The exponentially scaled functions: I e^-x, K e^x and their derivatives
// scaled the same way, for large arguments.
bool bessik_mod(double x, double nu, BesselIK& r);

// ---- Chi-square model ----

// Model of one pattern pair: X = offset + n0 Y, with Y non-central chi-square
// of `dof` degrees of freedom and non-centrality lambda / n0.
struct Chi2Model {
    double n0 = 0.0;
    double offset = 0.0;
    double lambda1 = 0.0;  // mark
    double lambda0 = 0.0;  // space
    std::int32_t dof = 0;
};

// Fits the model to the mark (1) and space (0) means and variances. Returns
// false when no chi-square model fits (n0 below 1e-18, or 2 or fewer degrees
// of freedom).
bool conv_stat(double mean1, double var1, double mean0, double var0, std::int32_t max_dof, Chi2Model& model);

// Density of the normalised variable Y (degrees of freedom `dof`,
// non-centrality delta) at u; 0 at or below 1e-15.
double ddp_f(double u, double dof, double delta);

// Trapezoidal refinement: stage n = 1 gives the two-point rule, each further
// stage adds the midpoints of the previous stage (2^(n-2) points) to `s`.
template <class F>
double trapzd(const F& f, double a, double b, int n, double& s) {
    if (n == 1) {
        s = 0.5 * (b - a) * (f(a) + f(b));
        return s;
    }
    const long points = 1L << (n - 2);
    const double del = (b - a) / static_cast<double>(points);
    double x = a + 0.5 * del;
    double sum = 0.0;
    for (long j = 0; j < points; ++j, x += del) sum += f(x);
    s = 0.5 * (s + (b - a) * sum / static_cast<double>(points));
    return s;
}

// Polynomial interpolation through (xa[k], ya[k]), k < n, evaluated at x;
// dy estimates the error.
void polint(const double* xa, const double* ya, int n, double x, double& y, double& dy);

inline constexpr int kRombergOrder = 5;
inline constexpr int kRombergStages = 10;
inline constexpr double kRombergAccuracy = 1e-4;

// Romberg integration of f over [a, b]: trapezoidal stages extrapolated to
// zero step from the last 5 estimates. Returns false when the relative
// accuracy 1e-4 is not reached within 10 stages.
template <class F>
bool qromb(const F& f, double a, double b, double& result) {
    double s[kRombergStages + 1];
    double h[kRombergStages + 2];
    double state = 0.0;
    h[0] = 1.0;
    result = 0.0;
    for (int j = 0; j < kRombergStages; ++j) {
        s[j] = trapzd(f, a, b, j + 1, state);
        if (j + 1 >= kRombergOrder) {
            double ss = 0.0;
            double dss = 0.0;
            polint(&h[j + 1 - kRombergOrder], &s[j + 1 - kRombergOrder], kRombergOrder, 0.0, ss, dss);
            if (std::fabs(dss) <= kRombergAccuracy * std::fabs(ss)) {
                result = ss;
                return true;
            }
        }
        h[j + 1] = 0.25 * h[j];
    }
    return false;
}

// Probability that the pattern's sample lies on the wrong side of the
// threshold: below it for a mark, above it for a space; within [0, 1], and 1
// when the integration does not converge.
double perr_th(const Chi2Model& model, bool mark, double threshold);

struct Chi2Estimate {
    bool ok = false;
    double ber = 0.0;
    std::int32_t dof = 0;  // smallest degrees of freedom over the pattern pairs
};

// Pattern-averaged BER with every pattern pair (2k-1, 2k) fitted by its own
// chi-square model; not ok when some pair cannot be fitted.
Chi2Estimate chi2_ber_estim(const PatternStats& stats, float threshold, std::int32_t max_dof);

}  // namespace nodrix
