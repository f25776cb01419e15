#include "numerics/ber_chi_square.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "runtime/opxfile.h"

namespace nodrix {
namespace {

constexpr double kPiD = 3.141592653589793;
// Relative accuracy of the Bessel-function series and continued fractions.
constexpr double kBesselAccuracy = 1e-10;
// Smallest number used to start the continued fractions and the recurrence.
constexpr double kTiny = 1e-30;
// Below this argument K comes from Temme's series, above from Steed's continued fraction.
constexpr double kSeriesLimit = 2.0;
// Safety stop of the iterations; they end on the accuracy above long before.
// The continued fraction for I'/I needs about x iterations, so this also sets
// the largest argument of the unscaled functions (the scaled ones switch to
// the asymptotic expansion well below it).
constexpr int kMaxIterations = 200000;
// Smallest argument of the asymptotic expansions (their neglected term is e^-2x).
constexpr double kAsymptoticArgument = 25.0;
// The recurrence for I is renormalised whenever it grows past this.
constexpr double kRescale = 1e200;

// Chebyshev coefficients of gam1 and gam2 on |x| <= 1/2 (argument 8x^2 - 1).
constexpr double kGam1[7] = {-1.142022680371168e0, 6.5165112670737e-3, 3.087090173086e-4, -3.4706269649e-6,
                             6.9437664e-9,         3.67795e-11,        -1.356e-13};
constexpr double kGam2[8] = {1.843740587300905e0, -7.68528408447867e-2, 1.2719271366546e-3, -4.9717367042e-6,
                             -3.31261198e-8,      2.423096e-10,         -1.702e-13,         -1.49e-15};

struct BesselTexts {
    const char* bad_arguments;
    const char* cf1;
    const char* series;
    const char* cf2;
};
constexpr BesselTexts kBessikTexts{"pestim: bad arguments in bessik", "pestim: x too large in bessik",
                                   "pestim: a bessik series failed to converge",
                                   "pestim: bessik: a failure to converge in cf2"};
constexpr BesselTexts kBessikModTexts{"pestim: bad arguments in bessik_mod", "pestim: x too large in bessik_mod",
                                      "pestim: a bessik series failed to converge",
                                      "pestim:bessik: a failure to converge in cf2"};

// K_mu and K_mu+1 for |mu| <= 1/2 and x < 2 by Temme's series.
bool temme_k(double x, double mu, double& kmu, double& kmu1) {
    const double x2 = 0.5 * x;
    const double pimu = kPiD * mu;
    const double fact = std::fabs(pimu) < kBesselAccuracy ? 1.0 : pimu / std::sin(pimu);
    const double lnx2 = -std::log(x2);
    const double e = mu * lnx2;
    const double fact2 = std::fabs(e) < kBesselAccuracy ? 1.0 : std::sinh(e) / e;
    double gam1;
    double gam2;
    double gampl;
    double gammi;
    beschb(mu, gam1, gam2, gampl, gammi);
    double f = fact * (gam1 * std::cosh(e) + gam2 * fact2 * lnx2);
    const double ee = std::exp(e);
    double p = 0.5 * ee / gampl;  // (x/2)^-mu G(1+mu) / 2
    double q = 0.5 / (ee * gammi);  // (x/2)^mu G(1-mu) / 2
    double c = 1.0;
    const double d = x2 * x2;
    double sum = f;
    double sum1 = p;
    const double mu2 = mu * mu;
    for (int i = 1; i <= kMaxIterations; ++i) {
        const double di = i;
        f = (di * f + p + q) / (di * di - mu2);
        c *= d / di;
        p /= di - mu;
        q /= di + mu;
        const double del = c * f;
        sum += del;
        sum1 += c * (p - di * f);
        if (std::fabs(del) < std::fabs(sum) * kBesselAccuracy) {
            kmu = sum;
            kmu1 = sum1 * 2.0 / x;
            return true;
        }
    }
    return false;
}

// e^x K_mu and e^x K_mu+1 for |mu| <= 1/2 and x >= 2 by Steed's continued fraction.
bool steed_k_scaled(double x, double mu, double& kmu, double& kmu1) {
    double b = 2.0 * (1.0 + x);
    double d = 1.0 / b;
    double delh = d;
    double h = d;
    double q1 = 0.0;
    double q2 = 1.0;
    const double a1 = 0.25 - mu * mu;
    double q = a1;
    double c = a1;
    double a = -a1;
    double s = 1.0 + q * delh;
    for (int i = 2; i <= kMaxIterations; ++i) {
        a -= 2.0 * (i - 1);
        c = -a * c / i;
        const double qnew = (q1 - b * q2) / a;
        q1 = q2;
        q2 = qnew;
        q += c * qnew;
        b += 2.0;
        d = 1.0 / (b + a * d);
        delh = (b * d - 1.0) * delh;
        h += delh;
        const double dels = q * delh;
        s += dels;
        if (std::fabs(dels / s) < kBesselAccuracy) {
            h *= a1;
            kmu = std::sqrt(kPiD / (2.0 * x)) / s;
            kmu1 = kmu * (mu + x + 0.5 - h) / x;
            return true;
        }
    }
    return false;
}

// I'_nu / I_nu by its continued fraction (modified Lentz); false when it
// does not converge.
bool bessel_i_ratio(double x, double nu, double& h) {
    const double xi = 1.0 / x;
    const double xi2 = 2.0 * xi;
    h = std::max(nu * xi, kTiny);
    double b = xi2 * nu;
    double d = 0.0;
    double c = h;
    for (int it = 1; it <= kMaxIterations; ++it) {
        b += xi2;
        d = 1.0 / (b + d);
        c = b + 1.0 / c;
        const double del = c * d;
        h *= del;
        if (std::fabs(del - 1.0) < kBesselAccuracy) return true;
    }
    return false;
}

// K_mu and K_mu+1 by Temme's series below kSeriesLimit, Steed's continued
// fraction above; scaled by e^x when `scaled`. The warning text on failure.
bool bessel_k_mu(double x, double mu, bool scaled, const BesselTexts& texts, double& kmu, double& kmu1) {
    if (x < kSeriesLimit) {
        if (!temme_k(x, mu, kmu, kmu1)) {
            opxwarn(texts.series);
            return false;
        }
        if (scaled) {
            kmu *= std::exp(x);
            kmu1 *= std::exp(x);
        }
        return true;
    }
    if (!steed_k_scaled(x, mu, kmu, kmu1)) {
        opxwarn(texts.cf2);
        return false;
    }
    if (!scaled) {
        kmu *= std::exp(-x);
        kmu1 *= std::exp(-x);
    }
    return true;
}

// I and K (and derivatives) by Temme's method; `scaled` returns I e^-x and K e^x.
bool bessel_ik(double x, double nu, bool scaled, const BesselTexts& texts, BesselIK& r) {
    r = BesselIK{};
    if (!(x > 0.0) || !(nu >= 0.0)) {
        opxwarn(texts.bad_arguments);
        return false;
    }
    const int nl = static_cast<int>(nu + 0.5);
    const double mu = nu - nl;
    const double xi = 1.0 / x;
    const double xi2 = 2.0 * xi;
    double h = 0.0;
    if (!bessel_i_ratio(x, nu, h)) {
        opxwarn(texts.cf1);
        return false;
    }
    // Downward recurrence of I and I' from nu to mu, from an arbitrary start;
    // only the ratio of the end values matters, so overflow is scaled away.
    double il = kTiny;
    double ipl = h * il;
    double il_nu = il;
    double ipl_nu = ipl;
    double fact = nu * xi;
    for (int l = nl; l >= 1; --l) {
        const double itemp = fact * il + ipl;
        fact -= xi;
        ipl = fact * itemp + il;
        il = itemp;
        if (std::fabs(il) > kRescale) {
            il /= kRescale;
            ipl /= kRescale;
            il_nu /= kRescale;
            ipl_nu /= kRescale;
        }
    }
    const double f = ipl / il;  // I'_mu / I_mu
    double kmu = 0.0;
    double kmu1 = 0.0;
    if (!bessel_k_mu(x, mu, scaled, texts, kmu, kmu1)) return false;
    // Wronskian I K' - I' K = -1/x gives I_mu (the same scaling holds for the
    // scaled functions, whose exponential factors cancel).
    const double kpmu = mu * xi * kmu - kmu1;
    const double imu = xi / (f * kmu - kpmu);
    r.i = imu * il_nu / il;
    r.ip = imu * ipl_nu / il;
    for (int i = 1; i <= nl; ++i) {
        const double ktemp = (mu + i) * xi2 * kmu1 + kmu;
        kmu = kmu1;
        kmu1 = ktemp;
    }
    r.k = kmu;
    r.kp = nu * xi * kmu - kmu1;
    return true;
}

// Scaled I and K (and derivatives) by their asymptotic expansions in 1/x:
// e^-x I = (2 pi x)^-1/2 sum (-1)^k t_k, e^x K = (pi / 2x)^1/2 sum t_k, with
// t_k = prod_{j<=k} (4 nu^2 - (2j - 1)^2) / (k! (8x)^k). False when the terms
// turn before reaching the accuracy (x too small for the order).
bool bessel_ik_asymptotic(double x, double nu, BesselIK& r) {
    const double m = 4.0 * nu * nu;
    double term = 1.0;
    double si = 1.0;
    double sk = 1.0;
    double dsi = 0.0;  // d/dx of the sums
    double dsk = 0.0;
    for (int k = 1; k <= 200; ++k) {
        const double odd = 2.0 * k - 1.0;
        const double next = term * (m - odd * odd) / (8.0 * k * x);
        if (std::fabs(next) > std::fabs(term)) return false;
        term = next;
        const double sign = (k % 2 == 1) ? -1.0 : 1.0;
        si += sign * term;
        sk += term;
        dsi += sign * (-k * term / x);
        dsk += -k * term / x;
        if (std::fabs(term) < 1e-2 * kBesselAccuracy) {
            const double norm_i = 1.0 / std::sqrt(2.0 * kPiD * x);
            const double norm_k = std::sqrt(kPiD / (2.0 * x));
            r.i = norm_i * si;
            r.k = norm_k * sk;
            // (e^-x I)' = e^-x (I' - I) and (e^x K)' = e^x (K' + K).
            r.ip = norm_i * (si * (1.0 - 0.5 / x) + dsi);
            r.kp = norm_k * (dsk - sk * (1.0 + 0.5 / x));
            return true;
        }
    }
    return false;
}

}  // namespace

double chebev(double a, double b, const double* c, int m, double x) {
    if ((x - a) * (x - b) > 0.0) {
        opxwarn("pestim:bessik: x not in range in chebev");
        return 0.0;
    }
    const double y = (2.0 * x - a - b) / (b - a);
    const double y2 = 2.0 * y;
    double d = 0.0;
    double dd = 0.0;
    for (int j = m - 1; j >= 1; --j) {
        const double sv = d;
        d = y2 * d - dd + c[j];
        dd = sv;
    }
    return y * d - dd + 0.5 * c[0];
}

void beschb(double x, double& gam1, double& gam2, double& gampl, double& gammi) {
    const double xx = 8.0 * x * x - 1.0;
    gam1 = chebev(-1.0, 1.0, kGam1, 7, xx);
    gam2 = chebev(-1.0, 1.0, kGam2, 8, xx);
    gampl = gam2 - x * gam1;
    gammi = gam2 + x * gam1;
}

bool bessik(double x, double nu, BesselIK& r) { return bessel_ik(x, nu, false, kBessikTexts, r); }

bool bessik_mod(double x, double nu, BesselIK& r) {
    // The expansion drops a term of relative size e^-2x: used from x = 25 on.
    if (x >= kAsymptoticArgument && nu >= 0.0 && bessel_ik_asymptotic(x, nu, r)) return true;
    return bessel_ik(x, nu, true, kBessikModTexts, r);
}

void polint(const double* xa, const double* ya, int n, double x, double& y, double& dy) {
    double c[16];
    double d[16];
    n = std::min(n, 16);
    int ns = 0;
    double dif = std::fabs(x - xa[0]);
    for (int i = 0; i < n; ++i) {
        const double dift = std::fabs(x - xa[i]);
        if (dift < dif) {
            ns = i;
            dif = dift;
        }
        c[i] = ya[i];
        d[i] = ya[i];
    }
    y = ya[ns--];
    dy = 0.0;
    for (int m = 1; m < n; ++m) {
        for (int i = 0; i < n - m; ++i) {
            const double ho = xa[i] - x;
            const double hp = xa[i + m] - x;
            const double w = c[i + 1] - d[i];
            const double den = ho - hp;
            if (den == 0.0) return;  // two equal abscissae: keep the estimate so far
            const double f = w / den;
            d[i] = hp * f;
            c[i] = ho * f;
        }
        dy = (2 * (ns + 1) < (n - m)) ? c[ns + 1] : d[ns--];
        y += dy;
    }
}

bool conv_stat(double mean1, double var1, double mean0, double var0, std::int32_t max_dof, Chi2Model& model) {
    model = Chi2Model{};
    if (!(mean1 > mean0)) return false;
    const double n0 = 0.25 * (var1 - var0) / (mean1 - mean0);
    if (!(n0 >= 1e-18)) return false;
    const double a = 1.0 / (2.0 * n0 * n0);
    const double cap = static_cast<double>(std::numeric_limits<std::int32_t>::max());
    const double m = std::min({static_cast<double>(max_dof), std::trunc(std::min(a * var1, cap)),
                               std::trunc(std::min(a * var0, cap))});
    if (!(m > 2.0)) return false;
    model.dof = static_cast<std::int32_t>(m);
    model.n0 = n0;
    model.lambda1 = (var1 - 2.0 * m * n0 * n0) / (4.0 * n0);
    model.lambda0 = (var0 - 2.0 * m * n0 * n0) / (4.0 * n0);
    model.offset = mean1 - n0 * m - model.lambda1;
    return true;
}

namespace {

// Bessel arguments above this use the exponentially scaled functions: the
// unscaled I overflows a double from about 710 on.
constexpr double kScaledArgument = 50.0;

// log I_nu(z) from its power series, for orders so large against z that I
// underflows.
double log_bessel_i_series(double z, double nu) {
    const double q = 0.25 * z * z;
    double term = 1.0;
    double sum = 1.0;
    for (int k = 1; k <= 10000; ++k) {
        term *= q / (k * (nu + k));
        sum += term;
        if (term < 1e-16 * sum) break;
    }
    return nu * std::log(0.5 * z) - std::lgamma(nu + 1.0) + std::log(sum);
}

}  // namespace

double ddp_f(double u, double dof, double delta) {
    if (u <= 1e-15) return 0.0;
    const double nu = 0.5 * dof - 1.0;
    constexpr double kLog2 = 0.6931471805599453;
    if (delta <= 0.0) return std::exp(nu * std::log(0.5 * u) - 0.5 * u - kLog2 - std::lgamma(nu + 1.0));
    const double z = std::sqrt(delta * u);
    double log_i;
    BesselIK r;
    if (z > kScaledArgument) {
        if (!bessik_mod(z, nu, r) || !(r.i > 0.0)) return 0.0;
        log_i = std::log(r.i) + z;
    } else {
        if (!bessik(z, nu, r)) return 0.0;
        log_i = (r.i > 1e-280 && std::isfinite(r.i)) ? std::log(r.i) : log_bessel_i_series(z, nu);
    }
    return std::exp(-kLog2 - 0.5 * (u + delta) + 0.5 * nu * std::log(u / delta) + log_i);
}

namespace {

struct Density {
    double dof;
    double delta;
    double operator()(double u) const { return ddp_f(u, dof, delta); }
};

// A piece whose share of the integral falls below this ends the tail.
constexpr double kTailShare = 1e-12;
constexpr int kMaxPieces = 2000;

}  // namespace

double perr_th(const Chi2Model& model, bool mark, double threshold) {
    const double lambda = mark ? model.lambda1 : model.lambda0;
    const Density f{static_cast<double>(model.dof), lambda / model.n0};
    const double u_th = (threshold - model.offset) / model.n0;
    const double mean = f.dof + f.delta;
    const double sd = std::sqrt(2.0 * f.dof + 4.0 * f.delta);
    // Integrate from the threshold away into the wrong side: downwards to 0
    // for a mark, upwards for a space.
    if (mark && u_th <= 0.0) return 0.0;
    const int dir = mark ? -1 : 1;
    auto past_bulk = [&](double u) { return mark ? u < mean : u > mean; };
    // The tail is taken in pieces of at most three local decay lengths (and at
    // most one standard deviation), on each of which the density changes
    // smoothly enough for the Romberg extrapolation, until the pieces beyond
    // the bulk no longer count.
    const double h = 1e-3 * sd;
    double u = mark ? u_th : std::max(u_th, 0.0);
    double total = 0.0;
    for (int piece = 0; piece < kMaxPieces; ++piece) {
        if (mark && u <= 0.0) break;
        const double fu = f(u);
        if (past_bulk(u) && fu <= 0.0) break;  // the density has underflowed: nothing more counts
        double width = sd;
        const double fn = f(u + dir * h);
        if (fu > 0.0 && fn > 0.0 && fn < fu) width = std::min(width, 3.0 * h / std::log(fu / fn));
        double next = u + dir * width;
        if (mark) next = std::max(next, 0.0);
        double p = 0.0;
        if (!qromb(f, std::min(u, next), std::max(u, next), p)) return 1.0;
        total += p;
        u = next;
        if (past_bulk(u) && p <= kTailShare * total) break;
    }
    return std::clamp(total, 0.0, 1.0);
}

Chi2Estimate chi2_ber_estim(const PatternStats& stats, float threshold, std::int32_t max_dof) {
    Chi2Estimate est;
    double sum = 0.0;
    for (std::int32_t p = 0; p + 1 < stats.patterns; p += 2) {
        Chi2Model model;
        if (!conv_stat(stats.mean[p + 1], stats.var[p + 1], stats.mean[p], stats.var[p], max_dof, model)) return est;
        sum += perr_th(model, false, threshold) + perr_th(model, true, threshold);
        est.dof = est.dof == 0 ? model.dof : std::min(est.dof, model.dof);
    }
    est.ok = stats.patterns > 0;
    est.ber = sum / stats.patterns;
    return est;
}

}  // namespace nodrix
