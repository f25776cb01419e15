// Cubic splines and small vector helpers shared by the filter, fibre and
// amplifier synthesis.
#pragma once

#include <complex>
#include <cstdint>

namespace nodrix {

// Second derivatives y2[0..n) of the cubic spline through (x, y) with end
// slopes yp1 and ypn (a slope of 1e30 or more gives a natural end).
void dspline(const double* x, const double* y, std::int32_t n, double yp1, double ypn, double* y2);

// Value of that spline at x, in the precision of the table (float or
// double). Outside the table the end intervals' cubics are continued. Two
// equal abscissas bracketing x are reported ("bad xa input in splint") and
// give the left point's value.
template <class Real>
Real splint(const Real* xa, const Real* ya, const Real* y2a, std::int32_t n, Real x);

// Clamped spline whose end slopes are those of the first and last intervals
// (the form every data table of the program uses). Needs n >= 2.
void dspline_clamped(const double* x, const double* y, std::int32_t n, double* y2);

// Four-quadrant phase of a complex number (0 for 0).
float to_fase(std::complex<float> z);
double to_fase_double(std::complex<double> z);

// Reverses three arrays of n values in place.
void vector_reversal(double* a, double* b, double* c, std::int32_t n);

}  // namespace nodrix
