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

TEST_F(SpectrumAnalyserTest, NoCompleteFrameGivesAnEmptySpectrumAtTheFloorByteForByte) {
    p.fft_length = 999;  // used as 1000 (an even frame); 300 collected samples complete no frame
    run(321, 400, [this](std::int32_t s) { carrier(s); });
    const double fref = f_vbs_band.fcenter, d = dt;
    std::vector<unsigned char> expected;
    testing::put_text(expected, "NodrixSpr  1");
    for (std::int32_t v : {4, 5, 16, 1, 7}) testing::put_i32(expected, v);
    testing::put_f64(expected, zdctrl.ddelt);
    testing::put_f64(expected, fref);
    testing::put_i32(expected, 0);
    testing::put_i32(expected, 801);
    // Frequency step 1 / (N dt); bins 100 .. 900 at fref + (k - N/2 - 1) steps; extremes: every bin at 1e-20.
    for (double v : {1.0 / (1000 * d), fref + (2.0 * 100 - 1000 - 2) / (2.0 * 1000 * d),
                     fref + (2.0 * 900 - 1000 - 2) / (2.0 * 1000 * d), -200.0, -200.0})
        testing::put_f64(expected, v);
    testing::put_i32(expected, 0);
    for (int k = 0; k < 801; ++k) testing::put_f64(expected, -200.0);
    testing::put_i32(expected, 0);
    EXPECT_EQ(testing::read_bytes("OSA72.qsp"), expected);
}

TEST_F(SpectrumAnalyserTest, CarrierAtTheReferencePeaksInTheCentreBin) {
    p.fft_length = 1000;  // two frames of a constant 1 mW field at fref
    run(2021, 2030, [this](std::int32_t s) { carrier(s); });
    const SpectrumFile f = read_spectrum("OSA72.qsp");
    ASSERT_EQ(f.count, 801);             // bins 100 to 900
    const std::size_t peak = 501 - 100;  // bin N/2 + 1
    // Averaged periodogram |X_0|^2 dt / N = N dt for a unit field.
    EXPECT_NEAR(f.values[peak], 10.0 * std::log10(1000.0 * dt), 1e-4);
    EXPECT_EQ(f.maximum, f.values[peak]);
    EXPECT_EQ(f.minimum, -200.0);  // the smallest bin, raised to 1e-20
    for (std::size_t k = 0; k < f.values.size(); ++k)  // the rounding of the transform: at the 150 dB floor
        if (k != peak) { EXPECT_FLOAT_EQ(static_cast<float>(f.values[k]), static_cast<float>(f.maximum - 150.0)) << k; }
}

TEST_F(SpectrumAnalyserTest, OffsetTonesOnBothPolarisationsLandOnTheirBins) {
    optcl_ctrl.npol = 2;
    // Steps 12 .. 261 collected: two frames of 100 and a partial third, not transformed; large field outside.
    run(271, 280, [this](std::int32_t s) {
        const float a = s < 12 || s > 261 ? 100.0f : s < 212 ? 1.0f : 30.0f;
        sig.x = tone(s, 17.0, 100, a);
        sig.y = tone(s, -23.0, 100, 0.5f * a);
    });
    const SpectrumFile f = read_spectrum("OSA72.qsp");
    ASSERT_EQ(f.count, 81);
    const std::size_t x_bin = 51 + 17 - 10, y_bin = 51 - 23 - 10;
    EXPECT_NEAR(f.values[x_bin], 10.0 * std::log10(100.0 * dt), 1e-3);
    EXPECT_NEAR(f.values[y_bin], 10.0 * std::log10(0.25 * 100.0 * dt), 1e-3);
    EXPECT_EQ(f.maximum, f.values[x_bin]);
    for (std::size_t k = 0; k < f.values.size(); ++k)
        if (k != x_bin && k != y_bin) { EXPECT_LT(f.values[k], f.maximum - 100.0) << k; }
}

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

TEST_F(SpectrumAnalyserTest, StorageOfTheCollectors) {
    // Per polarisation: N double complex (16 N + 32), N reals (4 N + 8), four integers (24).
    struct Case { std::int32_t fft_length, npol, memused; };
    for (const Case& c : {Case{1001, 1, 16 * 1002 + 32 + 4 * 1002 + 8 + 24}, Case{1000, 2, 2 * (20000 + 64)}, Case{0, 1, 0}}) {
        p.fft_length = c.fft_length;
        optcl_ctrl.npol = c.npol;
        testing::begin_counting_pass();
        EXPECT_EQ(testing::stderr_of([&] { optspr(p, {0.0f, 100.0f}, out, sig); }),
                  c.fft_length > 0 ? "" : "Nodrix-E-Optical spectrum analyser optspr1 Run(s): 1: the FFT length must be positive\n");
        EXPECT_EQ(optcl_ctrl.memused, c.memused) << c.fft_length;
    }
}

}  // namespace
}  // namespace nodrix
