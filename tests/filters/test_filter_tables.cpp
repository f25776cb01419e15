#include "filters/filter_tables.h"

#include <gtest/gtest.h>

#include <cmath>

#include "tests/support/test_support.h"

namespace nodrix {
namespace {

class FilterTablesTest : public testing::NodrixTest {};

TEST_F(FilterTablesTest, ValuesAtHandCheckedPoints) {
    opx_filter_init();
    EXPECT_EQ(wwfunc.dmfraz, 1e-8);
    // x = 0 (index 8192): s = 0.
    const int c = 8192;
    EXPECT_EQ(table_x(c), 0.0);
    EXPECT_DOUBLE_EQ(wwfunc.e1[c], 0.0);
    EXPECT_NEAR(wwfunc.e2[c], 1.0 - 0.1 / std::sqrt(M_PI), 1e-15);  // 0.94358...
    EXPECT_DOUBLE_EQ(wwfunc.e3[c], 0.0);
    EXPECT_DOUBLE_EQ(wwfunc.e4[c], 1.0);
    EXPECT_DOUBLE_EQ(wwfunc.e5[c], 0.0);
    EXPECT_DOUBLE_EQ(wwfunc.es[c], 0.0);
    EXPECT_DOUBLE_EQ(wwfunc.eg[c], 1.0);
    EXPECT_DOUBLE_EQ(wwfunc.ep[c], 0.0);
    EXPECT_NEAR(wwfunc.ew[c], 1.0 - std::erf(4.0), 1e-18);  // about 1.5e-8
    // x = 0.5 (index 12288): s = 1, so E_p = (x - 1)^p.
    const int h = 12288;
    EXPECT_EQ(table_x(h), 0.5);
    EXPECT_NEAR(wwfunc.e1[h], -0.5, 1e-15);
    EXPECT_NEAR(wwfunc.e2[h], 0.25, 1e-15);
    EXPECT_NEAR(wwfunc.e3[h], -0.125, 1e-15);
    EXPECT_NEAR(wwfunc.e4[h], 0.0625, 1e-15);
    EXPECT_NEAR(wwfunc.e5[h], -0.03125, 1e-15);
    EXPECT_NEAR(wwfunc.ep[h], M_PI / 2.0, 1e-12);
    EXPECT_NEAR(wwfunc.eg[h], std::exp(-100.0), 1e-50);
    EXPECT_NEAR(wwfunc.ew[h], 1.0, 1e-15);
    // x = -1 (index 0): s = -1, E_p = (x + 1)^p = 0; the window is 1.
    EXPECT_EQ(table_x(0), -1.0);
    for (double v : {wwfunc.e1[0], wwfunc.e2[0], wwfunc.e3[0], wwfunc.e4[0], wwfunc.e5[0]}) EXPECT_NEAR(v, 0.0, 1e-15);
    EXPECT_NEAR(wwfunc.ew[0], 1.0, 1e-15);
    EXPECT_NEAR(wwfunc.es[0], -1.0, 1e-15);
    // x = -0.25 (index 6144): (x + 1)^p = 0.75^p, up to the smoothing step's
    // remainder erf(5) = 1 - 1.5e-12.
    const int q = 6144;
    EXPECT_EQ(table_x(q), -0.25);
    EXPECT_NEAR(wwfunc.e1[q], 0.75, 1e-11);
    EXPECT_NEAR(wwfunc.e2[q], 0.5625, 1e-11);
    EXPECT_NEAR(wwfunc.e3[q], 0.421875, 1e-11);
    EXPECT_NEAR(wwfunc.e4[q], 0.31640625, 1e-11);
    EXPECT_NEAR(wwfunc.e5[q], 0.2373046875, 1e-11);
    EXPECT_NEAR(wwfunc.e1[q], -0.25 + std::erf(5.0), 1e-16);
}

TEST_F(FilterTablesTest, PowersOfTheShiftedFrequencyAwayFromZero) {
    opx_filter_init();
    // Beyond |x| = 0.3 the smoothing step is complete (erf(6) = 1 - 2e-17).
    for (int i = 0; i < kTableSize; ++i) {
        const double x = table_x(i);
        if (std::fabs(x) < 0.3) continue;
        const double u = x > 0.0 ? x - 1.0 : x + 1.0;
        ASSERT_NEAR(wwfunc.e1[i], u, 1e-13) << i;
        ASSERT_NEAR(wwfunc.e2[i], u * u, 1e-13) << i;
        ASSERT_NEAR(wwfunc.e3[i], u * u * u, 1e-13) << i;
        ASSERT_NEAR(wwfunc.e4[i], u * u * u * u, 1e-13) << i;
        ASSERT_NEAR(wwfunc.e5[i], u * u * u * u * u, 1e-13) << i;
        ASSERT_NEAR(wwfunc.es[i], x > 0.0 ? 1.0 : -1.0, 1e-15) << i;
    }
    // The tables are odd or even in x as their powers are.
    for (int i = 1; i < kTableSize; ++i) {
        const int j = kTableSize - i;  // x_j = -x_i
        ASSERT_NEAR(wwfunc.e1[i], -wwfunc.e1[j], 1e-13);
        ASSERT_NEAR(wwfunc.e2[i], wwfunc.e2[j], 1e-13);
        ASSERT_NEAR(wwfunc.e3[i], -wwfunc.e3[j], 1e-13);
        ASSERT_NEAR(wwfunc.e4[i], wwfunc.e4[j], 1e-13);
        ASSERT_NEAR(wwfunc.e5[i], -wwfunc.e5[j], 1e-13);
        ASSERT_NEAR(wwfunc.ew[i], wwfunc.ew[j], 1e-13);
    }
}

}  // namespace
}  // namespace nodrix
