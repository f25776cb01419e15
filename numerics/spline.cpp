#include "numerics/spline.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "runtime/opxfile.h"

namespace nodrix {

void dspline(const double* x, const double* y, std::int32_t n, double yp1, double ypn, double* y2) {
    if (n < 2) {
        for (std::int32_t i = 0; i < n; ++i) y2[i] = 0.0;
        return;
    }
    std::vector<double> u(static_cast<std::size_t>(n), 0.0);
    if (yp1 > 0.99e30) {
        y2[0] = 0.0;
        u[0] = 0.0;
    } else {
        y2[0] = -0.5;
        u[0] = (3.0 / (x[1] - x[0])) * ((y[1] - y[0]) / (x[1] - x[0]) - yp1);
    }
    for (std::int32_t i = 1; i < n - 1; ++i) {
        const double sig = (x[i] - x[i - 1]) / (x[i + 1] - x[i - 1]);
        const double p = sig * y2[i - 1] + 2.0;
        y2[i] = (sig - 1.0) / p;
        u[i] = (y[i + 1] - y[i]) / (x[i + 1] - x[i]) - (y[i] - y[i - 1]) / (x[i] - x[i - 1]);
        u[i] = (6.0 * u[i] / (x[i + 1] - x[i - 1]) - sig * u[i - 1]) / p;
    }
    double qn = 0.0;
    double un = 0.0;
    if (ypn <= 0.99e30) {
        qn = 0.5;
        un = (3.0 / (x[n - 1] - x[n - 2])) * (ypn - (y[n - 1] - y[n - 2]) / (x[n - 1] - x[n - 2]));
    }
    y2[n - 1] = (un - qn * u[n - 2]) / (qn * y2[n - 2] + 1.0);
    for (std::int32_t k = n - 2; k >= 0; --k) y2[k] = y2[k] * y2[k + 1] + u[k];
}

template <class Real>
Real splint(const Real* xa, const Real* ya, const Real* y2a, std::int32_t n, Real x) {
    if (n < 1) return Real{0};
    if (n == 1) return ya[0];
    std::int32_t klo = 0;
    std::int32_t khi = n - 1;
    while (khi - klo > 1) {
        const std::int32_t k = (khi + klo) / 2;
        if (xa[k] > x)
            khi = k;
        else
            klo = k;
    }
    const Real h = xa[khi] - xa[klo];
    if (h == Real{0}) {
        opxwarn("bad xa input in splint");
        return ya[klo];
    }
    const Real a = (xa[khi] - x) / h;
    const Real b = (x - xa[klo]) / h;
    return a * ya[klo] + b * ya[khi] + ((a * a * a - a) * y2a[klo] + (b * b * b - b) * y2a[khi]) * (h * h) / Real{6};
}

template float splint<float>(const float*, const float*, const float*, std::int32_t, float);
template double splint<double>(const double*, const double*, const double*, std::int32_t, double);

void dspline_clamped(const double* x, const double* y, std::int32_t n, double* y2) {
    if (n < 2) {
        for (std::int32_t i = 0; i < n; ++i) y2[i] = 0.0;
        return;
    }
    const double yp1 = (y[1] - y[0]) / (x[1] - x[0]);
    const double ypn = (y[n - 1] - y[n - 2]) / (x[n - 1] - x[n - 2]);
    dspline(x, y, n, yp1, ypn, y2);
}

float to_fase(std::complex<float> z) {
    if (z.real() == 0.0f && z.imag() == 0.0f) return 0.0f;
    return std::atan2(z.imag(), z.real());
}

double to_fase_double(std::complex<double> z) {
    if (z.real() == 0.0 && z.imag() == 0.0) return 0.0;
    return std::atan2(z.imag(), z.real());
}

void vector_reversal(double* a, double* b, double* c, std::int32_t n) {
    std::reverse(a, a + n);
    std::reverse(b, b + n);
    std::reverse(c, c + n);
}

}  // namespace nodrix
