#include <functional>
#include <string>

#include "models/measurements/observation.h"
#include "tests/models/measurements/run_harness.h"
#include "tests/support/block_bench.h"

namespace nodrix {
namespace {

// Steps of 1 ps to 20 ps; light from 0 to 10 ps, measured from 2 to 8 ps.
SimulationSettings short_run(std::int32_t polarisations = 1) {
    return SimulationSettings{.time_step_ps = 1.0f, .end_time_ps = 20.0f, .emission_window_ps = 10.0f,
                              .polarisations = polarisations, .monitor_offset_ps = 2.0f};
}

class PowerMeterTest : public testing::BlockTest {
protected:
    // The report of a meter whose input field at time t is field(t), or
    // "(none)" when it wrote none.
    std::string report(const std::function<FieldSample(float)>& field, std::int32_t polarisations = 1,
                       std::int32_t in_band = 1, float end = 20.0f) {
        SimulationSettings settings = short_run(polarisations);
        settings.end_time_ps = end;
        std::filesystem::remove("meter.DAT");
        testing::BlockBench bench("power_meter", settings);
        bench.set("title", std::string("meter 71")).set("file_name", std::string("meter 71"));
        OpticalSignal& in = bench.input<OpticalSignal>("input");
        in.iv = in_band;
        EXPECT_TRUE(bench.start().ok());
        for (std::int32_t step = 1; static_cast<float>(step - 1) <= end; ++step) {
            in.x = field(static_cast<float>(step - 1));
            in.y = in.x;
            bench.run(step);
        }
        status_ = bench.finish();
        return std::filesystem::exists("meter.DAT") ? testing::read_text("meter.DAT") : "(none)";
    }
    Status status_;
};

std::string lines(const std::string& dbm, const std::string& mw) {
    return "\nOptical power at meter 71" + std::string(42, ' ') + "\n P Power [dBm] = " + dbm +
           "\n P Power [mW] = " + mw + "\n\n";
}

TEST_F(PowerMeterTest, AveragesTheMeasuringWindowOnly) {
    const FieldSample one_mw{0.6f, 0.8f, 0.0f}, four_mw{1.2f, 1.6f, 0.0f};
    // 1 mW inside [2, 8] ps and 4 mW outside it read 1 mW.
    EXPECT_EQ(report([&](float t) { return t >= 2.0f && t <= 8.0f ? one_mw : four_mw; }),
              lines("       0.000", "   0.100E+01"));
    EXPECT_EQ(posted_observation("meter")->observed, 7);  // 2, 3, ..., 8 ps
    EXPECT_FALSE(posted_observation("meter")->partial());
    // Two polarisations add.
    EXPECT_EQ(report([&](float) { return one_mw; }, 2), lines("       3.010", "   0.200E+01"));
    // No light: the floor of -100 dBm, with the warning.
    EXPECT_EQ(report([](float) { return FieldSample{}; }, 1, 0),
              lines("    -100.000", "   0.000E+00") +
                  "WARNING !\n  The evaluated optical power is very low\n"
                  "  and has been conventionally truncated to    -100.000 dBm\n");
    // A run that ends before the measuring window opens leaves no report.
    EXPECT_EQ(report([&](float) { return one_mw; }, 1, 1, 1.0f), "(none)");
    EXPECT_TRUE(status_.ok());
    EXPECT_TRUE(posted_observation("meter")->cut_by_run_end);
}

TEST_F(PowerMeterTest, WithoutAReportNameFinishesWithAnError) {
    testing::BlockBench bench("power_meter", short_run());
    bench.set("title", std::string("opowme1 Run(s): 1   ")).set("file_name", std::string(" "));
    bench.input<OpticalSignal>("input").iv = 1;
    bench.start();
    for (std::int32_t step = 1; step <= 21; ++step) bench.run(step);
    EXPECT_EQ(bench.finish().text(), "Optical power meter opowme1 Run(s): 1: no report name given");
}

}  // namespace
}  // namespace nodrix
