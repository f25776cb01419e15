// The OSNR meter behind amplifiers, against the closed form of the ASE they add.
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "models/amplifiers/edfa.h"
#include "models/measurements/osnr_meter.h"
#include "tests/models/measurements/run_harness.h"
#include "tests/support/block_bench.h"

namespace nodrix {
namespace {

constexpr double kH = 6.6260755e-22;  // J/THz
constexpr double kC = 299792.458;     // nm THz

class OsnrMeterTest : public testing::BlockTest {};

// Two channels of 0.5 and 0.05 mW, 0.4 THz apart, through an amplifier of
// gain G1 and noise figure F1, a loss L and a second amplifier (G2, F2), both
// with the exact noise figure and the ASE of both polarisations.
TEST_F(OsnrMeterTest, BehindAChainOfTwoAmplifiersAgreesWithTheClosedForm) {
    const SimulationSettings settings;
    const double w = (settings.grid.high_thz - settings.grid.low_thz) / 1024.0;
    const double fc = settings.band.centre_thz;
    const int bins[] = {480, 480 + int(std::lround(0.4 / w))};
    const double powers[] = {0.5, 0.05};
    const double g1 = std::pow(10.0, 2.0), f1 = std::pow(10.0, 0.45), loss = std::pow(10.0, -2.4);
    const double g2 = std::pow(10.0, 2.2), f2 = std::pow(10.0, 0.6);

    testing::BlockBench first("amplifier_fixed_gain", settings), second("amplifier_fixed_gain", settings);
    first.set("gain_db", 20.0).set("noise_figure_linear", f1);
    second.set("gain_db", 22.0).set("noise_figure_linear", f2);
    OpticalSignal& in1 = first.input<OpticalSignal>("input");
    const OpticalSignal& out1 = first.output<OpticalSignal>("output");
    OpticalSignal& in2 = second.input<OpticalSignal>("input");
    const OpticalSignal& out2 = second.output<OpticalSignal>("output");
    in1.iv = 1;
    for (int k = 0; k < 2; ++k) in1.ps[bins[k]] = float(powers[k]);
    ASSERT_TRUE(first.design().ok());
    in2 = out1;
    for (float& p : in2.ps) p *= float(loss);
    ASSERT_TRUE(second.design().ok());

    // The channels found in the spectrum (at their bins' centres), or given as a little off them.
    const double given_f[] = {settings.grid.low_thz + (bins[0] + 0.3) * w, settings.grid.low_thz + (bins[1] + 0.6) * w};
    char list[64];
    std::snprintf(list, sizeof list, "%.6f, %.6f", given_f[0], given_f[1]);
    for (const std::string& given : {std::string(), std::string(list)}) {
        testing::BlockBench meter("osnr_meter", settings);
        meter.set("file_name", std::string("OSN5")).set("frequencies_thz", given);
        meter.input<OpticalSignal>("input") = out2;
        ASSERT_TRUE(meter.start().ok());
        ASSERT_TRUE(meter.finish().ok());
        const auto report = read_osnr_report("OSN5.DAT");
        ASSERT_TRUE(report.has_value());
        ASSERT_EQ(report->channels.size(), 2u) << given;
        EXPECT_EQ(report->reference_nm, 0.1);
        // ASE density of both polarisations: (F G - 1) h nu at the band centre, the second
        // amplifier's added to the first one's after the loss and the second gain.
        const double n1 = (f1 * g1 - 1.0) * kH * fc * 1e15, n2 = (f2 * g2 - 1.0) * kH * fc * 1e15;
        for (int k = 0; k < 2; ++k) {
            const OsnrChannel& c = report->channels[std::size_t(k)];
            const double f = given.empty() ? settings.grid.low_thz + (bins[k] + 0.5) * w : given_f[k];
            EXPECT_NEAR(c.frequency_thz, f, 6e-6);  // written to 5 decimals
            const double reference = f * f * 0.1 / kC;
            const double signal = powers[k] * g1 * loss * g2;
            const double noise = (n1 * loss * g2 + n2) * reference;
            EXPECT_NEAR(c.osnr_db, 10.0 * std::log10(signal / noise), 0.01) << k << " " << given;
            EXPECT_NEAR(10.0 * std::log10(c.signal_mw), 10.0 * std::log10(signal), 0.01);
        }
        std::filesystem::remove("OSN5.DAT");
    }
}

TEST_F(OsnrMeterTest, NoNoiseNoChannelAndBadFrequencies) {
    const SimulationSettings settings;
    testing::BlockBench meter("osnr_meter", settings);
    meter.set("file_name", std::string("OSN6")).set("title", std::string("at 6"));
    OpticalSignal& in = meter.input<OpticalSignal>("input");
    in.iv = 1;
    in.ps[500] = 1.0f;
    ASSERT_TRUE(meter.start().ok());
    ASSERT_TRUE(meter.finish().ok());
    const std::string lines = testing::read_text("OSN6.DAT");
    const auto lone = read_osnr_report("OSN6.DAT");
    ASSERT_EQ(lone->channels.size(), 1u) << lines;
    EXPECT_NEAR(lone->channels[0].signal_mw, 1.0, 1e-6);
    EXPECT_EQ(lone->channels[0].noise_mw, 0.0);  // -inf dBm
    EXPECT_TRUE(std::isinf(lone->channels[0].osnr_db) && lone->channels[0].osnr_db > 0.0) << lines;
    in.ps[500] = 0.0f;
    ASSERT_TRUE(meter.start().ok());
    ASSERT_TRUE(meter.finish().ok());
    EXPECT_EQ(read_osnr_report("OSN6.DAT")->channels.size(), 0u);
    EXPECT_NE(testing::read_text("OSN6.DAT").find("  No channel at the input\n"), std::string::npos);

    EXPECT_EQ(parse_frequency_list(" 193.1 ,193.2").values, (std::vector<double>{193.1, 193.2}));
    EXPECT_EQ(parse_frequency_list("193.1,,193.2").error,
              "an empty entry in \"193.1,,193.2\"; allowed: frequencies in THz separated by commas");
    EXPECT_EQ(parse_frequency_list("193.1 THz").error,
              "\"193.1 THz\" is no frequency; allowed: positive frequencies in THz separated by commas");
    EXPECT_EQ(reference_bandwidth_thz(193.41, 0.1), 193.41 * 193.41 * 0.1 / kC);
}

}  // namespace
}  // namespace nodrix
