#include <cmath>
#include <complex>
#include <string>
#include <vector>

#include "models/transmitters/laser.h"
#include "tests/models/measurements/run_harness.h"

namespace nodrix {
namespace {

using testing::begin_init_pass;
using testing::begin_sample;

class LaserTest : public testing::BlockTest {
protected:
    // Set-up call of a run, then `samples` per-sample calls; returns the x fields.
    std::vector<FieldSample> run(const LaslorParams& p, int samples, InputWindow in = {0.0f, 15360.0f}) {
        std::vector<FieldSample> x;
        for (int k = 0; k <= samples; ++k) {
            k == 0 ? begin_init_pass() : begin_sample(k);
            laslor(p, in, window_, sig_);
            EXPECT_EQ(std::hypot(sig_.y.re, sig_.y.im), 0.0f);
            if (k > 0) x.push_back(sig_.x);
        }
        return x;
    }

    TimeWindow window_;
    OpticalSignal sig_;
};

LaslorParams laser(float frequency, float power = 2.0f, float linewidth = 0.0f, float phase = 0.0f) {
    return LaslorParams{frequency, power, linewidth, phase, 0, 0.0f, 0.0f};
}

TEST_F(LaserTest, SpectralBinByTruncation) {
    const float lo = flimit.fgridlo, width = (flimit.fgridhi - flimit.fgridlo) / 1024.0f;
    const std::pair<float, std::int32_t> cases[] = {
        {lo, 0},
        {lo + 10.7f * width, 10},  // rounding would give 11
        {193.85f, static_cast<std::int32_t>(std::floor((193.85 - 185.80887) / (15.6142 / 1024.0)))},
        {lo + 1023.5f * width, 1023},
        {flimit.fgridhi, -1},     // one past the last bin
        {lo - 0.5f * width, -1},  // truncation toward zero would give bin 0
    };
    for (const auto& [f, bin] : cases) {
        EXPECT_EQ(laser_bin(f), bin) << f;
        sig_.ps.fill(9.0f);
        run(laser(f, 3.0f), 0);
        for (int k = 0; k < kBins; ++k) ASSERT_EQ(sig_.ps[k], k == bin ? 3.0f : 0.0f) << f << " bin " << k;
    }
}

TEST_F(LaserTest, InBandFlagAtTheBandEdgesAndTheWindow) {
    const float lo = f_vbs_band.fbandlo, hi = f_vbs_band.fbandhi, off = 1.0f + 20.0f * zzctrl.delt;
    const std::pair<float, std::int32_t> cases[] = {{lo, 1}, {std::nextafter(lo, 0.0f), 0}, {hi, 1}, {std::nextafter(hi, 1000.0f), 0}};
    for (const auto& [f, iv] : cases) {
        sig_.gd.fill(4.0f);
        window_ = TimeWindow{-1.0f, -1.0f, -1.0f, -1.0f};
        const std::vector<FieldSample> x = run(laser(f, 2.0f), 40, InputWindow{1.0f, 20.0f * zzctrl.delt});
        for (int k = 1; k <= 40; ++k) {  // field only in band and inside [ton, toff)
            const float t = static_cast<float>(k - 1) * zzctrl.delt;
            EXPECT_EQ(std::hypot(x[k - 1].re, x[k - 1].im), iv == 1 && t >= 1.0f && t < off ? std::sqrt(2.0f) : 0.0f) << k;
            EXPECT_EQ(x[k - 1].fcenter, f_vbs_band.fcenter);
        }
        EXPECT_EQ(sig_.iv, iv) << f;
        EXPECT_EQ(sig_.pp, iv == 1 ? 2.0f : 0.0f);
        EXPECT_EQ(sig_.gd[500], 0.0f);
        const float a = iv == 1 ? 1.0f : -1.0f, b = iv == 1 ? off : -1.0f;  // out of band the window is not touched
        EXPECT_EQ((std::vector<float>{window_.ton, window_.tgoodi, window_.toff, window_.tgoodf}), (std::vector<float>{a, a, b, b}));
    }
}

TEST_F(LaserTest, ExactFrequencyByDecimalDigits) {
    const std::pair<float, double> cases[] = {
        {193.85f, 193.85},        // 193.8500061: digits 19385000, fraction, last digit 0
        {193.15f, 193.15},        // 193.1499939: 19314999 carried up to 19315000
        {187.5f, 187.5},          // exact in single precision
        {193.12346f, 193.12345},  // 193.1234589: the last digit 5 is not raised
        {193.12347f, 193.12348},  // 193.1234741: a last digit above 5 with a fraction is raised
        {99.99999f, 100.0},       // 99.9999924: the carry runs through every digit
    };
    for (const auto& [f, exact] : cases) EXPECT_NEAR(exact_frequency(f), exact, 1e-11) << f;
}

TEST_F(LaserTest, RotationAngleUsesTheDoubleTimeStep) {
    // 193.85 THz against the band centre 193.61597: the envelope at phase 0.3 turns by 2 pi frac((f - fc) (i - 1) ddelt).
    const long double df = 193.85L - static_cast<long double>(f_vbs_band.fcenter);
    for (std::int32_t i : {0, 1, 2, 3, 1000, 123457, 10000000}) {
        i == 0 ? begin_init_pass() : begin_sample(i);
        laslor(laser(193.85f, 1.0f, 0.0f, 0.3f), InputWindow{0.0f, 1.0e9f}, window_, sig_);
        if (i == 0) continue;
        const long double cycles = df * (i - 1) * static_cast<long double>(zdctrl.ddelt);
        const auto expect = static_cast<double>(0.3L + 2.0L * 3.14159265358979323846L * (cycles - std::floor(cycles)));
        EXPECT_NEAR(std::remainder(std::atan2(sig_.x.im, sig_.x.re) - expect, 2.0 * kPi), 0.0, 2e-6) << i;
        EXPECT_NEAR(std::hypot(sig_.x.re, sig_.x.im), 1.0f, 1e-6);
    }
}

TEST_F(LaserTest, PhaseNoiseDiffusesAtTheLineWidth) {
    // 10 MHz: phase variance v = 2 pi x 10 x 1e-6 x delt per step; the trapezoidal integrator averages two
    // noise samples per step (variance v / 2), so over L steps the variance is (L - 1/2) v.
    f_vbs_band.fcenter = 193.5f;
    const std::vector<FieldSample> x = run(laser(193.5f, 1.0f, 10.0f), 200000);
    std::vector<double> phase(x.size());
    for (std::size_t k = 0; k < x.size(); ++k) {
        ASSERT_NEAR(std::hypot(x[k].re, x[k].im), 1.0f, 1e-5);
        const double p = std::atan2(x[k].im, x[k].re);
        phase[k] = k == 0 ? p : phase[k - 1] + std::remainder(p - phase[k - 1], 2.0 * kPi);
    }
    const double v = 2.0 * kPi * 10.0 * 1e-6 * zzctrl.delt;
    for (const std::size_t lag : {1, 50, 200}) {
        double s = 0.0, s2 = 0.0;
        int m = 0;
        for (std::size_t k = 0; k + lag < phase.size(); k += lag, ++m) {
            s += phase[k + lag] - phase[k];
            s2 += (phase[k + lag] - phase[k]) * (phase[k + lag] - phase[k]);
        }
        // 4 sigma of a variance from m values (wider at lag 1, whose neighbouring increments share a sample).
        const double expect = v * (static_cast<double>(lag) - 0.5);
        const double tol = lag == 1 ? 0.04 : 4.0 * std::sqrt(2.0 / m);
        EXPECT_NEAR(s2 / m - (s / m) * (s / m), expect, tol * expect) << lag;
    }
}

TEST_F(LaserTest, ShapingPoleHasTheRequestedPeak) {
    for (float peak_db : {1.0f, 3.0f, 12.0f}) {
        const ShapingPole pole = shaping_pole(5.0f, peak_db);
        ASSERT_TRUE(pole.valid);
        EXPECT_EQ(pole.overdamped, 0);
        const std::complex<double> p(pole.re, pole.im);  // |H(j w)|^2 of wn^2 / ((s - p)(s - p*)) at and around resonance
        auto gain2 = [&](double w) {
            const std::complex<double> jw(0.0, w);
            return std::norm(std::norm(p) / ((jw - p) * (jw - std::conj(p))));
        };
        const double wr = 2.0 * kPi * 5.0e-3;
        EXPECT_NEAR(10.0 * std::log10(gain2(wr)), peak_db, 1e-4) << peak_db;
        EXPECT_LT(gain2(wr * 0.99), gain2(wr));
        EXPECT_LT(gain2(wr * 1.01), gain2(wr));
    }
    EXPECT_FALSE(shaping_pole(5.0f, 0.0f).valid);
    EXPECT_FALSE(shaping_pole(0.0f, 3.0f).valid);
}

TEST_F(LaserTest, StorageRequestsAndSetUpOnly) {
    struct Case { float f; std::int32_t shaping, setuponly, bytes; };
    // locd(1) [+ loci(1), loch(2)] [+ gausrr loch(3), loci(1) [+ twopol] + fremod]
    const std::int32_t chain = (4 * 3 + 8) + (4 * 1 + 8) + (4 * 5 + 8) + (8 * 1 + 16);
    const Case cases[] = {
        {193.85f, 0, 0, 24 + chain},
        {193.85f, 1, 0, 24 + (4 * 1 + 8) + (4 * 2 + 8) + chain + (8 * 5 + 16)},
        {150.0f, 0, 0, 24},  // out of band: no noise chain
        {193.85f, 1, 1, 0},
    };
    for (const Case& c : cases) {
        testing::begin_counting_pass();
        optcl_ctrl.setuponly = c.setuponly;
        sig_.gd.fill(4.0f);
        laslor(LaslorParams{c.f, 2.0f, 0.0f, 0.0f, c.shaping, 5.0f, 3.0f}, InputWindow{0.0f, 15360.0f}, window_, sig_);
        EXPECT_EQ(optcl_ctrl.memused, c.bytes) << c.f << " " << c.shaping;
        EXPECT_EQ(sig_.gd[300], c.setuponly == 1 ? 4.0f : 0.0f);  // set-up-only stops before the delays
    }
}

TEST_F(LaserTest, BadInputIsReported) {
    const LaslorParams p{193.5f, -1.0f, -2.0f, 0.0f, 1, 2.0f, 0.0f};
    std::vector<FieldSample> x;
    const std::string err = testing::stderr_of([&] { x = run(p, 10); });
    for (const char* line : {"Nodrix-E-Laser: negative optical power, 0 mW is used\n",
                             "Nodrix-E-Laser: negative line width, 0 MHz is used\n",
                             "Nodrix-E-Laser: noise shaping needs a resonance frequency and a resonance peak above 0; "
                             "the frequency noise stays white\n"})
        EXPECT_NE(err.find(line), std::string::npos) << err;
    for (const FieldSample& s : x) EXPECT_EQ(std::hypot(s.re, s.im), 0.0f);
    EXPECT_EQ(sig_.pp, 0.0f);
}

}  // namespace
}  // namespace nodrix
