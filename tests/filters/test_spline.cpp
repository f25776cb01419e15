#include "filters/spline.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <vector>

#include "tests/support/test_support.h"

namespace nodrix {
namespace {

class SplineTest : public testing::NodrixTest {};

double cubic(double x) { return 2.0 - 1.5 * x + 0.75 * x * x - 0.3 * x * x * x; }
double cubic_slope(double x) { return -1.5 + 1.5 * x - 0.9 * x * x; }

// Slope of the spline just inside an end, by a one-sided difference.
double spline_slope(const std::vector<double>& x, const std::vector<double>& y, const std::vector<double>& y2,
                    double at, double toward) {
    const double h = 1e-6 * (toward - at);
    const auto n = static_cast<std::int32_t>(x.size());
    return (dsplint(x.data(), y.data(), y2.data(), n, at + h) - dsplint(x.data(), y.data(), y2.data(), n, at)) / h;
}

TEST_F(SplineTest, ExactOnACubicWithItsTrueEndSlopes) {
    // Uneven abscissas: the spline with the true end slopes is the cubic itself.
    const std::vector<double> x = {-1.0, -0.4, 0.1, 0.3, 1.2, 2.0, 2.1, 3.5};
    std::vector<double> y;
    for (double v : x) y.push_back(cubic(v));
    std::vector<double> y2(x.size());
    const auto n = static_cast<std::int32_t>(x.size());
    dspline(x.data(), y.data(), n, cubic_slope(x.front()), cubic_slope(x.back()), y2.data());
    for (double t = -1.0; t <= 3.5; t += 0.0371)
        EXPECT_NEAR(dsplint(x.data(), y.data(), y2.data(), n, t), cubic(t), 1e-12) << t;
    // Outside the table the end cubics continue, which here is the cubic again.
    EXPECT_NEAR(dsplint(x.data(), y.data(), y2.data(), n, -1.3), cubic(-1.3), 1e-11);
    EXPECT_NEAR(dsplint(x.data(), y.data(), y2.data(), n, 3.9), cubic(3.9), 1e-11);
    // Second derivatives of a cubic: 1.5 - 1.8 x.
    for (std::size_t i = 0; i < x.size(); ++i) EXPECT_NEAR(y2[i], 1.5 - 1.8 * x[i], 1e-11);
}

TEST_F(SplineTest, ClampedEndSlopesAreThoseOfTheFirstAndLastIntervals) {
    const std::vector<double> x = {0.0, 0.5, 1.5, 2.0, 4.0};
    const std::vector<double> y = {1.0, 3.0, -1.0, 0.5, 2.5};
    std::vector<double> y2(x.size());
    dspline_clamped(x.data(), y.data(), 5, y2.data());
    EXPECT_NEAR(spline_slope(x, y, y2, 0.0, 0.5), (3.0 - 1.0) / 0.5, 1e-4);
    EXPECT_NEAR(spline_slope(x, y, y2, 4.0, 2.0), (2.5 - 0.5) / 2.0, 1e-4);
    // The spline interpolates the data.
    for (std::size_t i = 0; i < x.size(); ++i) EXPECT_NEAR(dsplint(x.data(), y.data(), y2.data(), 5, x[i]), y[i], 1e-14);
    // A straight line stays straight (its secant slopes are its slopes).
    const std::vector<double> line = {1.0, 2.0, 4.0, 5.0, 9.0};
    dspline_clamped(x.data(), line.data(), 5, y2.data());
    for (double v : y2) EXPECT_NEAR(v, 0.0, 1e-13);
    EXPECT_NEAR(dsplint(x.data(), line.data(), y2.data(), 5, 3.3), 1.0 + 2.0 * 3.3, 1e-13);
}

TEST_F(SplineTest, NaturalEndsAndDegenerateInput) {
    const std::vector<double> x = {0.0, 1.0, 2.0, 3.0};
    const std::vector<double> y = {0.0, 1.0, 0.0, 1.0};
    std::vector<double> y2(4, 5.0);
    dspline(x.data(), y.data(), 4, 1e30, 1e30, y2.data());
    EXPECT_EQ(y2[0], 0.0);
    EXPECT_EQ(y2[3], 0.0);
    // One point: no curvature, the value everywhere.
    dspline_clamped(x.data(), y.data(), 1, y2.data());
    EXPECT_EQ(y2[0], 0.0);
    EXPECT_EQ(dsplint(x.data(), y.data(), y2.data(), 1, 7.0), 0.0);
    // Two equal abscissas around the argument: reported, left value returned.
    const std::vector<double> xs = {1.0, 1.0};
    const std::vector<double> ys = {4.0, 6.0};
    const std::vector<double> zeros(2, 0.0);
    ::testing::internal::CaptureStderr();
    const double v = dsplint(xs.data(), ys.data(), zeros.data(), 2, 1.0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Nodrix-W-bad xa input in splint\n");
    EXPECT_EQ(v, 4.0);
}

TEST_F(SplineTest, PhaseAndReversalHelpers) {
    struct Case {
        double re, im, phase;
    };
    const Case cases[] = {{1, 0, 0.0}, {0, 1, M_PI / 2}, {-1, 0, M_PI}, {0, -1, -M_PI / 2},
                          {-1, -1, -3 * M_PI / 4}, {1, -1, -M_PI / 4}, {0, 0, 0.0}};
    for (const Case& c : cases) {
        EXPECT_NEAR(to_fase_double({c.re, c.im}), c.phase, 1e-15);
        EXPECT_NEAR(to_fase(std::complex<float>(static_cast<float>(c.re), static_cast<float>(c.im))), c.phase, 1e-6);
    }
    double a[] = {1, 2, 3};
    double b[] = {4, 5, 6};
    double c[] = {7, 8, 9};
    vector_reversal(a, b, c, 3);
    EXPECT_EQ(a[0], 3);
    EXPECT_EQ(a[2], 1);
    EXPECT_EQ(b[0], 6);
    EXPECT_EQ(c[1], 8);
    EXPECT_EQ(c[2], 7);
}

}  // namespace
}  // namespace nodrix
