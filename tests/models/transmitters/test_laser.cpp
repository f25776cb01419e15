#include <cmath>
#include <complex>
#include <string>
#include <vector>

#include "kernel/control_blocks.h"
#include "models/transmitters/frequency_modulation.h"
#include "models/transmitters/gaussian.h"
#include "models/transmitters/laser.h"
#include "tests/models/transmitters/sample_harness.h"

namespace nodrix {
namespace {

using testing::begin_run;
using testing::begin_sample;

class LaserTest : public testing::NodrixTest {
protected:
    void SetUp() override {
        NodrixTest::SetUp();
        testing::set_project_constants();
        reset_uniform_generators();
    }

    // Set-up call of a run, then `samples` per-sample calls; returns the x fields.
    std::vector<FieldSample> run(const LaslorParams& p, int samples, InputWindow in = {0.0f, 15360.0f}) {
        begin_run();
        laslor(p, in, window_, sig_);
        std::vector<FieldSample> x;
        for (int k = 1; k <= samples; ++k) {
            begin_sample(k);
            laslor(p, in, window_, sig_);
            EXPECT_EQ(sig_.y.re, 0.0f);
            EXPECT_EQ(sig_.y.im, 0.0f);
            x.push_back(sig_.x);
        }
        return x;
    }

    TimeWindow window_;
    OpticalSignal sig_;
};

LaslorParams laser(float frequency, float power = 2.0f, float linewidth = 0.0f, float phase = 0.0f) {
    LaslorParams p;
    p.frequency = frequency;
    p.power = power;
    p.linewidth = linewidth;
    p.phase = phase;
    return p;
}

TEST_F(LaserTest, SpectralBinByTruncation) {
    const float lo = flimit.fgridlo;
    const float width = (flimit.fgridhi - flimit.fgridlo) / 1024.0f;
    struct Case {
        float f;
        std::int32_t bin;
    };
    const Case cases[] = {
        {lo, 0},
        {lo + 10.7f * width, 10},  // rounding would give 11
        {193.85f, static_cast<std::int32_t>(std::floor((193.85 - 185.80887) / (15.6142 / 1024.0)))},
        {lo + 1023.5f * width, 1023},
        {flimit.fgridhi, -1},      // one past the last bin
        {lo - 0.5f * width, -1},   // truncation toward zero would give bin 0
        {150.0f, -1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(laser_bin(c.f), c.bin) << c.f;
        begin_run();
        sig_.ps.fill(9.0f);
        laslor(laser(c.f, 3.0f), InputWindow{0.0f, 15360.0f}, window_, sig_);
        for (int k = 0; k < kBins; ++k)
            ASSERT_EQ(sig_.ps[static_cast<std::size_t>(k)], k == c.bin ? 3.0f : 0.0f) << c.f << " bin " << k;
    }
}

TEST_F(LaserTest, InBandFlagAtTheBandEdges) {
    struct Case {
        float f;
        std::int32_t iv;
    };
    const float lo = f_vbs_band.fbandlo;
    const float hi = f_vbs_band.fbandhi;
    const Case cases[] = {{lo, 1}, {std::nextafter(lo, 0.0f), 0}, {hi, 1}, {std::nextafter(hi, 1000.0f), 0}};
    for (const Case& c : cases) {
        sig_.gd.fill(4.0f);
        window_ = TimeWindow{-1.0f, -1.0f, -1.0f, -1.0f};
        const std::vector<FieldSample> x = run(laser(c.f, 2.0f), 3);
        EXPECT_EQ(sig_.iv, c.iv) << c.f;
        EXPECT_EQ(sig_.pp, c.iv == 1 ? 2.0f : 0.0f);
        EXPECT_EQ(sig_.gd[500], 0.0f);
        for (const FieldSample& s : x) {
            EXPECT_EQ(std::hypot(s.re, s.im), c.iv == 1 ? std::sqrt(2.0f) : 0.0f);
            EXPECT_EQ(s.fcenter, f_vbs_band.fcenter);
        }
        // Out of band the window is not touched.
        if (c.iv == 0) {
            EXPECT_EQ(window_.ton, -1.0f);
        } else {
            EXPECT_EQ(window_.ton, 0.0f);
            EXPECT_EQ(window_.toff, 15360.0f);
            EXPECT_EQ(window_.tgoodi, 0.0f);
            EXPECT_EQ(window_.tgoodf, 15360.0f);
        }
    }
}

TEST_F(LaserTest, ExactFrequencyByDecimalDigits) {
    struct Case {
        float f;
        double exact;
    };
    const Case cases[] = {
        {193.85f, 193.85},          // 193.8500061: digits 19385000, fraction, last digit 0
        {193.15f, 193.15},          // 193.1499939: 19314999 carried up to 19315000
        {193.1f, 193.1},            // 193.1000061
        {187.5f, 187.5},            // exact in single precision
        {193.12346f, 193.12345},    // 193.1234589: the last digit 5 is not raised
        {193.12347f, 193.12348},    // 193.1234741: a last digit above 5 with a fraction is raised
        {99.99999f, 100.0},         // 99.9999924: the carry runs through every digit
    };
    for (const Case& c : cases) EXPECT_NEAR(exact_frequency(c.f), c.exact, 1e-11) << c.f;
}

TEST_F(LaserTest, NoiselessFieldAtTheBandCentreKeepsItsPhase) {
    f_vbs_band.fcenter = 193.5f;
    const std::vector<FieldSample> x = run(laser(193.5f, 4.0f, 0.0f, 0.3f), 50);
    for (const FieldSample& s : x) {
        EXPECT_NEAR(s.re, 2.0f * std::cos(0.3f), 1e-6);
        EXPECT_NEAR(s.im, 2.0f * std::sin(0.3f), 1e-6);
        EXPECT_EQ(s.fcenter, 193.5f);
    }
}

TEST_F(LaserTest, RotationAngleUsesTheDoubleTimeStep) {
    // 193.85 THz against the band centre 193.61597 (single precision): the
    // envelope turns by 2 pi frac((f - fc) (i - 1) ddelt).
    const LaslorParams p = laser(193.85f, 1.0f);
    const InputWindow in{0.0f, 1.0e9f};
    begin_run();
    laslor(p, in, window_, sig_);
    const long double df = 193.85L - static_cast<long double>(f_vbs_band.fcenter);
    for (std::int32_t i : {1, 2, 3, 1000, 123457, 10000000}) {
        begin_sample(i);
        laslor(p, in, window_, sig_);
        const long double cycles = df * (i - 1) * static_cast<long double>(zdctrl.ddelt);
        const double expect = static_cast<double>(2.0L * 3.14159265358979323846L * (cycles - std::floor(cycles)));
        double got = std::atan2(sig_.x.im, sig_.x.re);
        if (got < 0.0) got += 2.0 * kPi;
        EXPECT_NEAR(std::remainder(got - expect, 2.0 * kPi), 0.0, 2e-6) << i;
    }
}

TEST_F(LaserTest, FieldOnlyInsideItsWindow) {
    const InputWindow in{1.0f, 20.0f * zzctrl.delt};
    const std::vector<FieldSample> x = run(laser(193.85f, 1.0f), 40, in);
    ASSERT_EQ(window_.toff, 1.0f + 20.0f * zzctrl.delt);
    for (int k = 1; k <= 40; ++k) {
        const float t = static_cast<float>(k - 1) * zzctrl.delt;
        const bool inside = t >= 1.0f && t < window_.toff;
        EXPECT_NEAR(std::hypot(x[static_cast<std::size_t>(k - 1)].re, x[static_cast<std::size_t>(k - 1)].im),
                    inside ? 1.0f : 0.0f, 1e-6)
            << k;
    }
}

TEST_F(LaserTest, PhaseNoiseDiffusesAtTheLineWidth) {
    // 10 MHz: phase variance 2 pi x 10 x 1e-6 x delt per step. The
    // trapezoidal integrator makes one-step increments averages of two noise
    // samples (half that variance); over L steps the variance is (L - 1/2)
    // times the per-step value.
    f_vbs_band.fcenter = 193.5f;
    const int n = 200000;
    const std::vector<FieldSample> x = run(laser(193.5f, 1.0f, 10.0f, 0.0f), n);
    std::vector<double> phase(x.size());
    double previous = 0.0;
    for (std::size_t k = 0; k < x.size(); ++k) {
        ASSERT_NEAR(std::hypot(x[k].re, x[k].im), 1.0f, 1e-5);
        double p = std::atan2(x[k].im, x[k].re);
        if (k > 0) p = previous + std::remainder(p - previous, 2.0 * kPi);
        phase[k] = previous = p;
    }
    const double v = 2.0 * kPi * 10.0 * 1e-6 * zzctrl.delt;
    auto increment_variance = [&](int lag) {
        double s = 0.0;
        double s2 = 0.0;
        int m = 0;
        for (std::size_t k = 0; k + static_cast<std::size_t>(lag) < phase.size(); k += static_cast<std::size_t>(lag), ++m) {
            const double d = phase[k + static_cast<std::size_t>(lag)] - phase[k];
            s += d;
            s2 += d * d;
        }
        const double mean = s / m;
        return std::pair<double, int>{s2 / m - mean * mean, m};
    };
    for (int lag : {50, 200}) {
        const auto [var, m] = increment_variance(lag);
        const double expect = v * (lag - 0.5);
        EXPECT_NEAR(var, expect, 4.0 * std::sqrt(2.0 / m) * expect) << lag;
    }
    const auto [var1, m1] = increment_variance(1);
    EXPECT_NEAR(var1, v / 2.0, 0.04 * v / 2.0);
    (void)m1;
}

TEST_F(LaserTest, ShapingPoleHasTheRequestedPeak) {
    for (float peak_db : {1.0f, 3.0f, 6.0f, 12.0f}) {
        const ShapingPole pole = shaping_pole(5.0f, peak_db);
        ASSERT_TRUE(pole.valid);
        EXPECT_EQ(pole.overdamped, 0);
        EXPECT_LT(pole.re, 0.0f);
        // |H(j w)|^2 of wn^2 / ((s - p)(s - p*)) at the resonance and around it.
        const std::complex<double> p(pole.re, pole.im);
        auto gain2 = [&](double w) {
            const std::complex<double> s(0.0, w);
            return std::norm(std::norm(p) / ((s - p) * (s - std::conj(p))));
        };
        const double wr = 2.0 * kPi * 5.0e-3;
        EXPECT_NEAR(10.0 * std::log10(gain2(wr)), peak_db, 1e-4) << peak_db;
        EXPECT_LT(gain2(wr * 0.99), gain2(wr));
        EXPECT_LT(gain2(wr * 1.01), gain2(wr));
    }
    EXPECT_FALSE(shaping_pole(5.0f, 0.0f).valid);
    EXPECT_FALSE(shaping_pole(0.0f, 3.0f).valid);
    EXPECT_FALSE(shaping_pole(5.0f, -3.0f).valid);
}

TEST_F(LaserTest, StorageRequestsAndSetUpOnly) {
    struct Case {
        float f;
        std::int32_t shaping;
        std::int32_t setuponly;
        std::int32_t bytes;
    };
    const std::int32_t chain = (4 * 3 + 8) + (4 * 1 + 8) + kFremodStorageBytes;
    const Case cases[] = {
        {193.85f, 0, 0, kLaserStorageBytes + chain},
        {193.85f, 1, 0, kLaserStorageBytes + kLaserShapingStorageBytes + chain + kTwopolStorageBytes},
        {150.0f, 0, 0, kLaserStorageBytes},  // out of band: no noise chain
        {193.85f, 1, 1, 0},
    };
    EXPECT_EQ(kLaserStorageBytes + chain, 108);
    for (const Case& c : cases) {
        testing::begin_counting();
        optcl_ctrl.setuponly = c.setuponly;
        LaslorParams p = laser(c.f);
        p.noise_shaping = c.shaping;
        p.resonance_frequency = 5.0f;
        p.resonance_peak = 3.0f;
        sig_.gd.fill(4.0f);
        laslor(p, InputWindow{0.0f, 15360.0f}, window_, sig_);
        EXPECT_EQ(optcl_ctrl.memused, c.bytes) << c.f << " " << c.shaping;
        EXPECT_EQ(sig_.gd[300], c.setuponly == 1 ? 4.0f : 0.0f);  // set-up-only stops before the delays
    }
}

TEST_F(LaserTest, ShapedNoiseRunsAndBadInputIsReported) {
    LaslorParams p = laser(193.5f, 1.0f, 5.0f);
    p.noise_shaping = 1;
    p.resonance_frequency = 2.0f;
    p.resonance_peak = 6.0f;
    for (const FieldSample& s : run(p, 2000)) ASSERT_NEAR(std::hypot(s.re, s.im), 1.0f, 1e-5);

    ::testing::internal::CaptureStderr();
    p.resonance_peak = 0.0f;
    p.power = -1.0f;
    p.linewidth = -2.0f;
    const std::vector<FieldSample> x = run(p, 10);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Nodrix-E-Laser: negative optical power, 0 mW is used"), std::string::npos) << err;
    EXPECT_NE(err.find("Nodrix-E-Laser: negative line width, 0 MHz is used"), std::string::npos) << err;
    EXPECT_NE(err.find("Nodrix-E-Laser: noise shaping needs a resonance frequency"), std::string::npos) << err;
    for (const FieldSample& s : x) EXPECT_EQ(std::hypot(s.re, s.im), 0.0f);
    EXPECT_EQ(sig_.pp, 0.0f);
}

}  // namespace
}  // namespace nodrix
