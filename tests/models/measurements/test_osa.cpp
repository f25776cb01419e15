#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "models/measurements/observation.h"
#include "tests/models/measurements/run_harness.h"
#include "tests/support/block_bench.h"

namespace nodrix {
namespace {

// A spectrum file read back by its layout: bin count at byte 53, extremes at 81 and 89, values from 101.
struct SpectrumFile {
    std::int32_t count = 0;
    double minimum = 0, maximum = 0;
    std::vector<double> values;
};
SpectrumFile read_spectrum(const std::string& path) {
    const auto b = testing::read_bytes(path);
    SpectrumFile f;
    if (b.size() < 105) return f;
    std::memcpy(&f.count, b.data() + 53, 4);
    std::memcpy(&f.minimum, b.data() + 81, 8);
    std::memcpy(&f.maximum, b.data() + 89, 8);
    EXPECT_EQ(b.size(), 105u + 8u * static_cast<std::size_t>(f.count));
    f.values.resize(static_cast<std::size_t>(f.count));
    std::memcpy(f.values.data(), b.data() + 101, std::min(f.values.size() * 8, b.size() - 101));
    return f;
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
        std::int64_t claimed_bytes;
    };
    // Frames of N: bins N/10 .. N - N/10 are written, the zero frequency at N/2 + 1. A frame of
    // 99 is one of 100. Records per polarisation: frame 16 (N + 2), power 4 (N + 2), words 24 bytes.
    const Case cases[] = {
        {100, 1, 7.0, 81, 51 + 7 - 10, 2064},
        {99, 1, 7.0, 81, 51 + 7 - 10, 2064},
        {50, 2, -9.0, 41, 26 - 9 - 5, 2 * 1064},
    };
    for (const Case& c : cases) {
        testing::BlockBench bench("spectrum_analyser", spectrum_run(c.polarisations));
        bench.set("fft_length", static_cast<double>(c.fft_length)).set("file_name", std::string("OSA72   "));
        OpticalSignal& in = bench.input<OpticalSignal>("input");
        in.iv = 1;
        const std::int32_t n = c.fft_length + c.fft_length % 2;
        std::vector<unsigned char> first;
        for (int run = 0; run < 2; ++run) {
            ASSERT_TRUE(bench.start().ok());
            EXPECT_EQ(bench.block().claims().bytes(), c.claimed_bytes);
            for (std::int32_t step = 1; step <= 431; ++step) {  // one sample past the last
                in.x = tone(step, c.bins, n);
                in.y = in.x;
                bench.run(step);
            }
            ASSERT_FALSE(std::filesystem::exists("OSA72.qsp"));
            ASSERT_TRUE(bench.finish().ok());
            const SpectrumFile f = read_spectrum("OSA72.qsp");
            ASSERT_EQ(f.count, c.count) << c.fft_length;
            EXPECT_EQ(f.maximum, f.values[static_cast<std::size_t>(c.peak)]);
            // |X_k|^2 = N^2 per frame and polarisation, scaled by dt / N.
            EXPECT_NEAR(f.maximum, 10.0 * std::log10(c.polarisations * n), 1e-3);
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
    EXPECT_TRUE(bench.block().claims().empty());
    for (std::int32_t step = 1; step <= 430; ++step) bench.run(step);
    EXPECT_TRUE(bench.finish().ok());
    EXPECT_FALSE(std::filesystem::exists("OSA73.qsp"));
}

}  // namespace
}  // namespace nodrix
