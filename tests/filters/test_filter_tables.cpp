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
    for (double v : {wwfunc.e1[c], wwfunc.e3[c], wwfunc.e5[c], wwfunc.es[c], wwfunc.ep[c]}) EXPECT_EQ(v, 0.0);
    EXPECT_NEAR(wwfunc.e2[c], 1.0 - 0.1 / std::sqrt(M_PI), 1e-15);
    EXPECT_DOUBLE_EQ(wwfunc.e4[c], 1.0);
    EXPECT_DOUBLE_EQ(wwfunc.eg[c], 1.0);
    EXPECT_NEAR(wwfunc.ew[c], 1.0 - std::erf(4.0), 1e-18);
    // x = 0.5 (index 12288) and x = -1 (index 0).
    EXPECT_EQ(table_x(12288), 0.5);
    EXPECT_NEAR(wwfunc.ep[12288], M_PI / 2.0, 1e-12);
    EXPECT_NEAR(wwfunc.eg[12288], std::exp(-100.0), 1e-50);
    EXPECT_NEAR(wwfunc.ew[12288], 1.0, 1e-15);
    EXPECT_EQ(table_x(0), -1.0);
    EXPECT_NEAR(wwfunc.ew[0], 1.0, 1e-15);
    // x = -0.25: (x + 1)^p up to the smoothing step's remainder erf(5) = 1 - 1.5e-12.
    EXPECT_NEAR(wwfunc.e1[6144], -0.25 + std::erf(5.0), 1e-16);
    EXPECT_NEAR(wwfunc.e5[6144], 0.2373046875, 1e-11);
}

TEST_F(FilterTablesTest, PowersOfTheShiftedFrequencyAwayFromZeroAndSymmetry) {
    opx_filter_init();
    // Beyond |x| = 0.3 the smoothing step is complete (erf(6) = 1 - 2e-17).
    for (int i = 0; i < kTableSize; ++i) {
        const double x = table_x(i);
        if (std::fabs(x) < 0.3) continue;
        const double u = x > 0.0 ? x - 1.0 : x + 1.0;
        const double* e[] = {&wwfunc.e1[i], &wwfunc.e2[i], &wwfunc.e3[i], &wwfunc.e4[i], &wwfunc.e5[i]};
        for (int p = 0; p < 5; ++p) ASSERT_NEAR(*e[p], std::pow(u, p + 1), 1e-13) << i << " E" << p + 1;
        ASSERT_NEAR(wwfunc.es[i], x > 0.0 ? 1.0 : -1.0, 1e-15) << i;
    }
    // Odd and even in x as the powers are, near 0 too (x_j = -x_i).
    for (int i = 1; i < kTableSize; ++i) {
        const int j = kTableSize - i;
        ASSERT_NEAR(wwfunc.e1[i] + wwfunc.e1[j], 0.0, 1e-13) << i;
        ASSERT_NEAR(wwfunc.e2[i] - wwfunc.e2[j], 0.0, 1e-13) << i;
        ASSERT_NEAR(wwfunc.e3[i] + wwfunc.e3[j], 0.0, 1e-13) << i;
        ASSERT_NEAR(wwfunc.e4[i] - wwfunc.e4[j], 0.0, 1e-13) << i;
        ASSERT_NEAR(wwfunc.e5[i] + wwfunc.e5[j], 0.0, 1e-13) << i;
        ASSERT_NEAR(wwfunc.ew[i] - wwfunc.ew[j], 0.0, 1e-13) << i;
    }
}

}  // namespace
}  // namespace nodrix
