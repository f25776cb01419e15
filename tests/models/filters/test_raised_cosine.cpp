// The raised-cosine optical filter through its registry entry: the
// description it tabulates against the closed form, its warning, and the
// working files of its set-up.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "models/filters/raised_cosine.h"
#include "tests/models/filters/optical_filter_bench.h"

namespace nodrix {
namespace {

using testing::FilterBench;
using testing::Rows;

class RaisedCosineTest : public testing::NodrixTest {};

// Link channel 4 of the reference link: n = 1, r = 0.2, B = 0.04 THz at 192.65 THz.
void channel(FilterBench& f, double roll_off = 0.2) {
    f.bench.set("centre_frequency_thz", 192.65).set("bandwidth_thz", 0.04).set("roll_off", roll_off);
    f.bench.set("title", std::string("Raised cosine filter"));
}

Rows description() {
    return testing::read_description("rc000077.DAT", "# TEMPORARY FILE FOR RAISED COSINE TRANSFER FUNCTION",
                                     R"([ 0-9]{2}[0-9]\.[0-9]{8} [ 0-9]{2}[0-9]\.[0-9]{8})");
}

// Ideal power transmission of a raised-cosine channel (n = 1) at offset x.
double ideal(double x, double f0, double r) {
    const double e_i = (1.0 - r) * f0, e_o = (1.0 + r) * f0;
    x = std::fabs(x);
    const double h = x <= e_i ? 1.0 : x >= e_o ? 0.0 : 0.5 * (1.0 + std::cos(M_PI * (x - e_i) / (2.0 * r * f0)));
    return h * h;
}

TEST_F(RaisedCosineTest, DescriptionOfTheLinkChannelAt192_65) {
    FilterBench f("raised_cosine_filter");
    channel(f);
    const RaisedCosineLayout l = raised_cosine_layout({1.0f, 0.2f, 192.65f, 0.04f, 0});
    EXPECT_EQ(f.size(), "");
    // 500 lines of 0 in each stop band; in between the closed form; the table spans the simulated band.
    const Rows lines = description();
    double previous = 0.0;
    int lower = 0, upper = 0;
    bool past_region = false;
    for (const auto& line : lines) {
        const double fr = line[0], t = line[1];
        ASSERT_GT(fr, previous);
        previous = fr;
        if (fr < l.f_lo || past_region) {
            (fr < l.f_lo ? lower : upper) += 1;
            ASSERT_EQ(t, 0.0);
        } else {
            past_region = fr > l.f_hi;  // the region's last line lies just beyond its high end
            ASSERT_NEAR(t, ideal(fr - double(192.65f), 0.02f, 0.2f), 2e-6) << fr;
        }
    }
    EXPECT_EQ(lower, 500);
    EXPECT_EQ(upper, 500);
    EXPECT_FLOAT_EQ(l.f_lo, 192.61f);
    EXPECT_FLOAT_EQ(l.f_hi, 192.69f);
    const Band& band = f.settings().band;
    EXPECT_NEAR(lines.front()[0], band.low_thz, 1e-6);
    EXPECT_GE(previous, band.high_thz);
    EXPECT_LT(previous, band.high_thz + 0.0125);
    // The synthesised channel passes its centre and stops its neighbours.
    EXPECT_EQ(f.out.iv, 1);
    EXPECT_NEAR(f.transmission(192.65), 1.0, 2e-3);
    EXPECT_LT(f.transmission(192.55), 1e-4);
    EXPECT_LT(f.transmission(192.75), 1e-4);
}

TEST_F(RaisedCosineTest, ARollOffOfZeroTabulatesARectangleWithAWarning) {
    FilterBench f("raised_cosine_filter");
    channel(f, 0.0);
    EXPECT_EQ(f.size(),
              "Nodrix-W-Raised cosine optical filter at: \nRaised cosine filter\n"
              "     the roll-off parameter value  0.00000000E+00\n     is very small \n"
              "     results may be inaccurate \n");
    for (const auto& line : description()) {
        const double offset = std::fabs(line[0] - 192.65);
        if (std::fabs(offset - 0.02) > 2e-5) {
            ASSERT_EQ(line[1], offset < 0.02 ? 1.0 : 0.0) << line[0];
        }
    }
}

TEST(RaisedCosineLayout, ThreeQuarterPowerBandwidth) {
    // B is the width at power transmission 0.75: f0 = (B/2) / (1 - 0.5228733 r),
    // and the shape passes 0.75 at fc + B/2.
    const RaisedCosineLayout l = raised_cosine_layout({1.0f, 0.2f, 192.65f, 0.04f, 1});
    EXPECT_NEAR(l.f0, 0.0223358, 1e-7);
    EXPECT_NEAR(ideal(0.02, l.f0, 0.2), 0.75, 1e-5);
}

}  // namespace
}  // namespace nodrix
