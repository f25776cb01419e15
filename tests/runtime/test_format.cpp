// Fixed-field number formats against hand-written expected strings.
#include <gtest/gtest.h>

#include "runtime/format.h"

namespace nodrix {
namespace {

TEST(Format, IntegerFields) {
    EXPECT_EQ(fmt::I(7, 5), "    7");
    EXPECT_EQ(fmt::I(-42, 5), "  -42");
    EXPECT_EQ(fmt::I(123456, 5), "*****");
    EXPECT_EQ(fmt::I(-1234, 5), "-1234");
    EXPECT_EQ(fmt::I(73, 11), "         73");
    EXPECT_EQ(fmt::I(200001, 12), "      200001");
    EXPECT_EQ(fmt::I(10, 3), " 10");
    EXPECT_EQ(fmt::I(1000, 3), "***");
}

TEST(Format, ExponentFields) {
    EXPECT_EQ(fmt::E(0.0, 13, 6), " 0.000000E+00");
    EXPECT_EQ(fmt::E(123.4567, 13, 6), " 0.123457E+03");
    EXPECT_EQ(fmt::E(-123.4567, 13, 6), "-0.123457E+03");
    EXPECT_EQ(fmt::E(1.0, 12, 3), "   0.100E+01");
    EXPECT_EQ(fmt::E(0.00012345, 12, 5), " 0.12345E-03");
    EXPECT_EQ(fmt::E(9.99996e-41, 12, 5), " 0.10000E-39");
    EXPECT_EQ(fmt::E(120.0, 12, 5), " 0.12000E+03");
    EXPECT_EQ(fmt::E(1e100, 12, 5), " 0.10000+101");
    EXPECT_EQ(fmt::E(0.0, 15, 8), " 0.00000000E+00");
    // Rounding that carries into a new digit moves the exponent.
    EXPECT_EQ(fmt::E(9.9999999, 13, 6), " 0.100000E+02");
    // No room for the sign: asterisks.
    EXPECT_EQ(fmt::E(-1.0, 9, 6), "*********");
}

TEST(Format, FixedFields) {
    EXPECT_EQ(fmt::F(33.3333, 5, 1), " 33.3");
    EXPECT_EQ(fmt::F(0.0, 12, 3), "       0.000");
    EXPECT_EQ(fmt::F(-100.0, 12, 3), "    -100.000");
    EXPECT_EQ(fmt::F(6.02, 9, 5), "  6.02000");
    EXPECT_EQ(fmt::F(0.25, 5, 3), "0.250");
    EXPECT_EQ(fmt::F(0.25, 4, 3), ".250");
    EXPECT_EQ(fmt::F(192.35, 12, 8), "192.35000000");
    EXPECT_EQ(fmt::F(1234.5, 12, 8), "************");
    EXPECT_EQ(fmt::F(15.56, 12, 5), "    15.56000");
}

TEST(Format, TextFields) {
    EXPECT_EQ(fmt::A("MAXH", 10), "MAXH      ");
    EXPECT_EQ(fmt::A("ABCDEFGHIJKL", 10), "ABCDEFGHIJ");
    EXPECT_EQ(fmt::A_right("bR", 5), "   bR");
    EXPECT_EQ(fmt::A("MAXZD", 10) + fmt::I(2, 11), "MAXZD               2");
}

TEST(Format, ListDirected) {
    EXPECT_EQ(fmt::list_int(73), " 73");
    EXPECT_EQ(fmt::list_int(-5), " -5");
    EXPECT_EQ(fmt::list_real(120.0f), " 120.000000");
    EXPECT_EQ(fmt::list_real(1.5f), " 1.50000000");
    EXPECT_EQ(fmt::list_real(0.0f), " 0.00000000");
    EXPECT_EQ(fmt::list_real(1.0e-5f), " 9.99999975E-06");
    EXPECT_EQ(fmt::list_real(2.5e9f), " 2.50000000E+09");
    EXPECT_EQ(fmt::list_real(-0.25f), " -0.250000000");
    EXPECT_EQ(fmt::list_double(0.5), " 0.50000000000000000");
    EXPECT_EQ(fmt::list_real_field(1.5f, 20), " 1.50000000         ");
}

}  // namespace
}  // namespace nodrix
