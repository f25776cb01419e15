// The Lorentzian optical filter through its registry entry: the description
// it tabulates against the closed form, and what the synthesis makes of it.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>

#include "models/filters/lorentzian.h"
#include "tests/models/filters/optical_filter_bench.h"

namespace nodrix {
namespace {

using testing::FilterBench;
using testing::Rows;

class LorentzianTest : public testing::NodrixTest {};

TEST_F(LorentzianTest, DescriptionOfTransmissionAndSinglePolePhase) {
    // Half-width g = (B/2) / sqrt(2^(1/n) - 1): the order-n power falls to 0.5 at fc +- B/2.
    EXPECT_FLOAT_EQ(lorentzian_half_width(0.04f, 1), 0.02f);
    EXPECT_NEAR(lorentzian_half_width(0.04f, 2), 0.7769 * 0.04, 1e-5);
    for (std::int32_t order : {1, 2}) {
        FilterBench f("lorentzian_filter");
        f.bench.set("centre_frequency_thz", 193.0).set("bandwidth_thz", 0.04).set("order", order);
        EXPECT_EQ(f.size(), "");
        const Rows lines = testing::read_description(
            "lo000077.DAT", "   # TEMPORARY FILE FOR LORENTZIAN TRANSFER FUNCTION",
            R"([ 0-9]{2}[0-9]\.[0-9]{8} [ -][0-9]\.[0-9]{8}E[-+][0-9]{2} [ -][0-9]\.[0-9]{8}E[-+][0-9]{2})");
        const double g = lorentzian_half_width(0.04f, order);
        double previous = 0.0;
        for (const auto& line : lines) {
            ASSERT_GT(line[0], previous);
            previous = line[0];
            // Single precision around 193 THz resolves 1.5e-5 THz.
            const double x = (line[0] - 193.0) / g, dx = 2e-5 / g;
            ASSERT_NEAR(line[1], std::pow(1.0 / (1.0 + x * x), order), 2.0 * order * dx + 1e-7) << line[0];
            ASSERT_NEAR(line[2], -std::atan(x), dx + 1e-7) << line[0];
        }
        EXPECT_NEAR(lines.front()[0], f.settings().band.low_thz, 1e-6);
        // The far bands' steps are 1/500 of their width: the last line lies one step below the band's end.
        const double far_step = 0.002 * (f.settings().band.high_thz - (193.0 + 6.0 * g));
        EXPECT_LT(previous, f.settings().band.high_thz);
        EXPECT_GT(previous, f.settings().band.high_thz - far_step - 2e-5);
        // The bins' transmission follows the closed form at their centres.
        EXPECT_EQ(f.out.iv, 1);
        const SpectralGrid& grid = f.settings().grid;
        const double width = (grid.high_thz - grid.low_thz) / 1024.0;
        for (std::size_t k = f.bin_of(192.9); k <= f.bin_of(193.1); ++k) {
            const double x = (grid.low_thz + (double(k) + 0.5) * width - 193.0) / g;
            ASSERT_NEAR(double(f.out.ps[k]) / double(f.in.ps[k]), std::pow(1.0 / (1.0 + x * x), order), 2e-3) << k;
        }
        f.set_up();
        EXPECT_FALSE(std::filesystem::exists("lo000077.DAT"));
    }
}

TEST_F(LorentzianTest, TheComplementStopsTheCentreAndPassesTheRest) {
    FilterBench f("lorentzian_filter");
    f.bench.set("centre_frequency_thz", 193.0).set("bandwidth_thz", 0.2).set("complement", 1.0);
    f.size();
    EXPECT_EQ(f.out.iv, 1);
    EXPECT_LT(f.transmission(193.0), 0.02);
    EXPECT_NEAR(f.transmission(195.0), 1.0, 0.01);
    EXPECT_NEAR(f.transmission(191.0), 1.0, 0.01);
}

}  // namespace
}  // namespace nodrix
