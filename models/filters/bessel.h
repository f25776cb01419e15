// The numerics of the electrical Bessel filter (bessel_filter): the
// prototype poles, the sections' design by the bilinear transform with
// frequency pre-warping, and one sample through a cascade.
#pragma once

#include <complex>
#include <cstdint>
#include <vector>

namespace nodrix {

// ---- Numerics (pure) ----

// Prototype poles of order 1 to 10, normalised to a 3-dB angular frequency of
// 1: the real pole's magnitude (0 for even orders) and the upper-half-plane
// complex poles, largest imaginary part first.
struct BesselPrototype {
    double real_pole = 0.0;
    std::vector<std::complex<double>> pairs;
};
BesselPrototype bessel_prototype(std::int32_t order);

// Coefficient counts of a design: low-pass/high-pass 2 (odd orders) + 3 per
// second-order section; band-pass 3 per section, one section per order.
std::int32_t lowhigh_coefficients(std::int32_t order);
std::int32_t bandpass_coefficients(std::int32_t order);

// Section coefficients of the low-pass (type 1) or high-pass (type 3) design
// for the pre-warped t = tan(pi bandwidth dt): first-order (b, c), then per
// pair (b0, c1, c2).
void design_lowhigh(std::int32_t type, std::int32_t order, double t, double* coefficients);
// One sample through the low-pass/high-pass cascade; `state` holds 2 x order values.
double run_lowhigh(std::int32_t type, std::int32_t order, const double* coefficients, double* state, double x);

// Band-pass sections for pre-warped edges w1 = tan(pi f1 dt) < w2 = tan(pi f2 dt):
// (b0, c1, c2) per section, numerator b0 (1 - z^-2).
void design_bandpass(std::int32_t order, double w1, double w2, double* coefficients);
// One sample through the band-pass cascade; `state` holds 4 x order values.
double run_bandpass(std::int32_t order, const double* coefficients, double* state, double x);

}  // namespace nodrix
