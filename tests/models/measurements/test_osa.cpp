#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "models/measurements/observation.h"
#include "models/measurements/osa.h"
#include "tests/models/measurements/run_harness.h"
#include "tests/support/block_bench.h"
#include "tests/xu/qxy_collect.h"

namespace nodrix {
namespace {

// A chart file's first chart as the chart reader gives it, and the values of
// one of its columns.
testing::TestChart read_chart(const std::string& path) {
    const testing::Outcome read = testing::run(path);
    EXPECT_EQ(read.code, kQxyOk) << path << ": " << read.err;
    return read.got.charts.empty() ? testing::TestChart{} : read.got.charts[0];
}
std::vector<double> values_of(const testing::TestChart& chart, std::size_t column) {
    std::vector<double> v;
    for (const auto& row : chart.rows) v.push_back(row.at(column).value());
    return v;
}

// Steps of 1 ps; a run of 430 samples, light from 0 to 421 ps, collected from
// 11 to 410 ps (steps 12 to 411): 400 samples.
SimulationSettings spectrum_run(std::int32_t polarisations) {
    return SimulationSettings{.time_step_ps = 1.0f, .end_time_ps = 429.5f, .emission_window_ps = 421.0f,
                              .polarisations = polarisations, .monitor_offset_ps = 10.5f};
}

// A field rotating by `bins` frequency steps of a frame of n, amplitude 1.
FieldSample tone(std::int32_t step, double bins, std::int32_t n) {
    const double phase = 2.0 * kPi * bins * (step - 12) / n;
    return {static_cast<float>(std::cos(phase)), static_cast<float>(std::sin(phase)), 0.0f};
}

class SpectrumAnalyserTest : public testing::BlockTest {};

TEST_F(SpectrumAnalyserTest, FindsTheToneOfEveryFrameAcrossRuns) {
    struct Case {
        std::int32_t fft_length, polarisations;
        double bins;
        std::int32_t count, peak;  // bins written, index of the tone's bin among them
    };
    // Frames of N: bins N/10 .. N - N/10 are written, the zero frequency at N/2 + 1. A frame of
    // 99 is one of 100.
    const Case cases[] = {{100, 1, 7.0, 81, 51 + 7 - 10}, {99, 1, 7.0, 81, 51 + 7 - 10}, {50, 2, -9.0, 41, 26 - 9 - 5}};
    for (const Case& c : cases) {
        testing::BlockBench bench("spectrum_analyser", spectrum_run(c.polarisations));
        bench.set("fft_length", static_cast<double>(c.fft_length)).set("file_name", std::string("OSA72   "));
        bench.set("scale", 0.0);  // the spectrum file on the density scale
        OpticalSignal& in = bench.input<OpticalSignal>("input");
        in.iv = 1;
        const std::int32_t n = c.fft_length + c.fft_length % 2;
        std::vector<unsigned char> first;
        for (int run = 0; run < 2; ++run) {
            ASSERT_TRUE(bench.start().ok());
            for (std::int32_t step = 1; step <= 431; ++step) {  // one sample past the last
                in.x = tone(step, c.bins, n);
                in.y = in.x;
                bench.run(step);
            }
            ASSERT_FALSE(std::filesystem::exists("OSA72.qsp"));
            ASSERT_TRUE(bench.finish().ok());
            const testing::TestChart f = read_chart("OSA72.qsp");
            const std::vector<double> values = values_of(f, 0);
            ASSERT_EQ(values.size(), static_cast<std::size_t>(c.count)) << c.fft_length;
            const double maximum = f.columns.at(0).Maximum.value();  // as the file states it
            EXPECT_EQ(maximum, values[static_cast<std::size_t>(c.peak)]);
            // |X_k|^2 = N^2 per frame and polarisation, scaled by dt / N.
            EXPECT_NEAR(maximum, 10.0 * std::log10(c.polarisations * n), 1e-3);
            EXPECT_EQ(posted_observation("OSA72")->observed, 400 / n);
            if (run == 1) {
                EXPECT_EQ(testing::read_bytes("OSA72.qsp"), first);
            }
            first = testing::read_bytes("OSA72.qsp");
            std::filesystem::remove("OSA72.qsp");
        }
    }
}

TEST_F(SpectrumAnalyserTest, WithoutAFrameLengthRefusesItsDesignAndHoldsNothing) {
    testing::BlockBench bench("spectrum_analyser", spectrum_run(1));
    bench.set("fft_length", 0.0).set("title", std::string("osa 3   ")).set("file_name", std::string("OSA73"));
    bench.input<OpticalSignal>("input").iv = 1;
    EXPECT_EQ(bench.start().text(), "Optical spectrum analyser osa 3: the FFT length must be positive");
    for (std::int32_t step = 1; step <= 430; ++step) bench.run(step);
    EXPECT_TRUE(bench.finish().ok());
    EXPECT_FALSE(std::filesystem::exists("OSA73.qsp"));
}

TEST_F(SpectrumAnalyserTest, PowerInTheResolutionBandwidthSumsToThePowerMetersReading) {
    // A channel of a carrier (0.9 mW) and two sidebands (0.04 mW each) 2 bins away, on a frame of 400
    // bins of 0.0025 THz; 0.1 nm at the band centre is f^2 0.1 / c = 0.0125 THz, 5 bins.
    const std::int32_t n = 400;
    const double fc = 193.61597, resolution = fc * fc * 0.1 / 299792.458, step = 0.0025;
    auto field = [&](std::int32_t k) {
        const FieldSample c = tone(k, 28.0, n), l = tone(k, 26.0, n), u = tone(k, 30.0, n);
        return FieldSample{std::sqrt(0.9f) * c.re + 0.2f * (l.re + u.re), std::sqrt(0.9f) * c.im + 0.2f * (l.im + u.im), 0.0f};
    };
    testing::BlockBench osa("spectrum_analyser", spectrum_run(1));
    osa.set("fft_length", double(n)).set("file_name", std::string("OSA9")).set("title", std::string("at 9"));
    testing::BlockBench meter("power_meter", spectrum_run(1));
    meter.set("file_name", std::string("OPM9"));
    OpticalSignal& a = osa.input<OpticalSignal>("input");
    OpticalSignal& b = meter.input<OpticalSignal>("input");
    a.iv = b.iv = 1;
    ASSERT_TRUE(osa.start().ok());
    ASSERT_TRUE(meter.start().ok());
    for (std::int32_t k = 1; k <= 431; ++k) {
        a.x = b.x = field(k);
        osa.run(k);
        meter.run(k);
    }
    ASSERT_TRUE(osa.finish().ok());
    ASSERT_TRUE(meter.finish().ok());
    EXPECT_FALSE(std::filesystem::exists("OSA9.qsp"));
    const testing::TestChart chart = read_chart("OSA9.qxy");
    ASSERT_EQ(chart.columns.size(), 2u);
    EXPECT_EQ((std::vector<std::string>{chart.header.Title, chart.columns[0].Label, chart.columns[0].Measure,
                                        chart.columns[1].Label, chart.columns[1].Measure}),
              (std::vector<std::string>{"at 9", "frequency", "THz", "power", "dBm/0.1 nm"}));
    const std::vector<double> x = values_of(chart, 0), y = values_of(chart, 1);
    ASSERT_EQ(y.size(), 321u);
    double total = 0.0;
    for (double v : y) total += std::pow(10.0, v / 10.0) * step / resolution;
    const std::string report = testing::read_text("OPM9.DAT");
    const double meter_dbm = std::stod(report.substr(report.find("[dBm] =") + 7));
    EXPECT_NEAR(10.0 * std::log10(total), meter_dbm, 0.1);
    EXPECT_NEAR(10.0 * std::log10(total), 10.0 * std::log10(0.98), 0.01);
    // The whole channel lies within the resolution bandwidth at its carrier: its bin reads its power.
    const std::size_t carrier = 161 + 28;  // the first point lies 161 bins below the centre
    EXPECT_NEAR(x[carrier], fc + 28 * step, 1e-5);
    EXPECT_NEAR(y[carrier], 10.0 * std::log10(0.98), 1e-4);
    EXPECT_EQ(*std::max_element(y.begin(), y.end()), y[carrier]);
}

TEST_F(SpectrumAnalyserTest, ResolutionNarrowerThanABinGivesTheDensityTimesTheResolution) {
    const std::vector<double> density{0.0, 2.0, 4.0, 8.0, 0.0};
    EXPECT_EQ(resolution_bandwidth_power(density, 0.5, 0.1), (std::vector<double>{0.0, 0.2, 0.4, 0.8, 0.0}));
    // Two bins wide: the bin itself and half of each neighbour.
    const std::vector<double> wide = resolution_bandwidth_power(density, 0.5, 1.0);
    EXPECT_NEAR(wide[2], 0.5 * (4.0 + 0.5 * 2.0 + 0.5 * 8.0), 1e-12);
}

}  // namespace
}  // namespace nodrix
