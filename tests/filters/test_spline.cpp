#include "filters/spline.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "tests/support/test_support.h"

namespace nodrix {
namespace {

class SplineTest : public testing::NodrixTest {};

double cubic(double x) { return 2.0 - 1.5 * x + 0.75 * x * x - 0.3 * x * x * x; }
double cubic_slope(double x) { return -1.5 + 1.5 * x - 0.9 * x * x; }

TEST_F(SplineTest, ExactOnACubicWithItsTrueEndSlopes) {
    // Uneven abscissas; outside the table the end cubics continue.
    const std::vector<double> x = {-1.0, -0.4, 0.1, 0.3, 1.2, 2.0, 2.1, 3.5};
    std::vector<double> y, y2(x.size());
    for (double v : x) y.push_back(cubic(v));
    dspline(x.data(), y.data(), 8, cubic_slope(x.front()), cubic_slope(x.back()), y2.data());
    for (double t = -1.3; t <= 3.9; t += 0.0371) EXPECT_NEAR(dsplint(x.data(), y.data(), y2.data(), 8, t), cubic(t), 1e-11) << t;
    // A slope of 1e30 gives a natural end.
    dspline(x.data(), y.data(), 8, 1e30, 1e30, y2.data());
    EXPECT_EQ(y2[0], 0.0);
    EXPECT_EQ(y2[7], 0.0);
}

TEST_F(SplineTest, ClampedEndSlopesAreThoseOfTheFirstAndLastIntervals) {
    const double x[] = {0.0, 0.5, 1.5, 2.0, 4.0};
    const double y[] = {1.0, 3.0, -1.0, 0.5, 2.5};
    double y2[5];
    dspline_clamped(x, y, 5, y2);
    const double h = 1e-6;
    EXPECT_NEAR((dsplint(x, y, y2, 5, h) - y[0]) / h, (3.0 - 1.0) / 0.5, 1e-4);
    EXPECT_NEAR((y[4] - dsplint(x, y, y2, 5, 4.0 - h)) / h, (2.5 - 0.5) / 2.0, 1e-4);
    for (int i = 0; i < 5; ++i) EXPECT_NEAR(dsplint(x, y, y2, 5, x[i]), y[i], 1e-14);
    // Two equal abscissas around the argument: reported, the left value returned.
    const double xs[] = {1.0, 1.0}, ys[] = {4.0, 6.0}, zeros[] = {0.0, 0.0};
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(dsplint(xs, ys, zeros, 2, 1.0), 4.0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Nodrix-W-bad xa input in splint\n");
    // One point: no curvature (nothing read past the table), its value everywhere.
    dspline_clamped(x, y, 1, y2);
    EXPECT_EQ(y2[0], 0.0);
    EXPECT_EQ(dsplint(x, y, y2, 1, 7.0), 1.0);
}

}  // namespace
}  // namespace nodrix
