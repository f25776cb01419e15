#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "models/measurements/osa.h"
#include "tests/models/measurements/run_harness.h"

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

class SpectrumAnalyserTest : public testing::BlockTest {
protected:
    void SetUp() override {
        BlockTest::SetUp();
        sig.iv = 1;
        dt = static_cast<float>(zdctrl.ddelt);
        polmon.tmon = 10.5f * dt;  // window edges between samples
    }
    // A run of `n` samples with the good interval [0, length dt): steps 12 .. length - 10 are collected.
    // `field(step)` sets the input; the file appears at the last sample only.
    void run(std::int32_t length, std::int32_t n, const std::function<void(std::int32_t)>& field) {
        in = {0.0f, static_cast<float>(length) * dt};
        testing::set_run_length(n);
        for (std::int32_t s = 0; s <= n; ++s) {
            s == 0 ? testing::begin_init_pass() : testing::begin_sample(s);
            field(s);
            optspr(p, in, out, sig);
            ASSERT_EQ(std::filesystem::exists("OSA72.qsp"), s == n && n > 0) << "step " << s;
        }
    }
    // A field rotating by `bins` frequency steps of a frame of n, amplitude a.
    static FieldSample tone(std::int32_t step, double bins, std::int32_t n, float a) {
        const double phase = 2.0 * kPi * bins * (step - 12) / n;
        return {a * static_cast<float>(std::cos(phase)), a * static_cast<float>(std::sin(phase)), f_vbs_band.fcenter};
    }
    void carrier(std::int32_t) { sig.x = {1.0f, 0.0f, f_vbs_band.fcenter}; }
    OptsprParams p{1, 1, 0, 0.0f, 100, "optspr1 Run(s): 1", "OSA72                "};
    InputWindow in;
    TimeWindow out;
    OpticalSignal sig;
    float dt = 0.0f;
};

TEST_F(SpectrumAnalyserTest, TwoAnalysersKeepTheirOwnFramesAcrossRuns) {
    // Frames of 100 and of 50 on two signals, the run made twice: each finds its own tone, the second
    // run repeats the first.
    const OptsprParams q{1, 1, 0, 0.0f, 50, p.title, "OSA92"};
    OpticalSignal sig2;
    sig2.iv = 1;
    TimeWindow out2;
    in = {0.0f, 421.0f * dt};
    testing::set_run_length(430);
    std::vector<unsigned char> first_a, first_b;
    for (int pass = 0; pass < 2; ++pass) {
        for (std::int32_t s = 0; s <= 430; ++s) {
            s == 0 ? testing::begin_init_pass() : testing::begin_sample(s);
            sig.x = tone(s, 7.0, 100, 1.0f);
            sig2.x = tone(s, -9.0, 50, 1.0f);
            optspr(p, in, out, sig);
            optspr(q, in, out2, sig2);
        }
        const SpectrumFile a = read_spectrum("OSA72.qsp"), b = read_spectrum("OSA92.qsp");
        ASSERT_EQ(a.count, 81);
        ASSERT_EQ(b.count, 41);  // bins 5 to 45
        EXPECT_EQ(a.maximum, a.values[51 + 7 - 10]);
        EXPECT_EQ(b.maximum, b.values[26 - 9 - 5]);
        EXPECT_NEAR(b.maximum, 10.0 * std::log10(50.0 * dt), 1e-3);
        if (pass == 1) {
            EXPECT_EQ(testing::read_bytes("OSA72.qsp"), first_a);
            EXPECT_EQ(testing::read_bytes("OSA92.qsp"), first_b);
        }
        first_a = testing::read_bytes("OSA72.qsp");
        first_b = testing::read_bytes("OSA92.qsp");
    }
}

}  // namespace
}  // namespace nodrix
