#include "filters/bessel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <string>
#include <vector>

#include "kernel/control_blocks.h"
#include "kernel/lib00.h"
#include "kernel/storage.h"
#include "tests/support/test_support.h"

namespace nodrix {
namespace {

using cd = std::complex<double>;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

class BesselTest : public testing::NodrixTest {
protected:
    void SetUp() override {
        NodrixTest::SetUp();
        testing::set_project_constants();
    }

    static void reset_cursors() {
        zzsupv.h = zzsupv.i = zzsupv.c = zzsupv.d = zzsupv.z = zzsupv.zd = 1;
        zzsupt.ht = zzsupt.it = zzsupt.ct = 1;
    }

    // The initialisation call of a run (allocating) on cleared storage, as
    // the driver and a schedule make it.
    void initialise(const FilbesParams& p) {
        std::fill(zzist, zzist + 1000, 0);
        std::fill(zzdist, zzdist + 1000, 0.0);
        zzctrl.pass = 0;
        zzctrl.step = 0;
        zzctrl.time = 0.0f;
        zdctrl.dtime = 0.0;
        zzsupv.storephase = 1;
        reset_cursors();
        filbes(p, in_, out_);
    }

    // Sample `step` (from 1): time words as a per-sample schedule keeps them.
    float sample(const FilbesParams& p, std::int32_t step, float x) {
        zzctrl.pass = 1;
        zzctrl.step = step;
        zzctrl.time = static_cast<float>(step - 1) * zzctrl.delt;
        zdctrl.dtime = (step - 1) * zdctrl.ddelt;
        reset_cursors();
        in_.value = x;
        filbes(p, in_, out_);
        return out_.value;
    }

    // Impulse response of the block over `n` samples.
    std::vector<double> impulse_response(const FilbesParams& p, int n) {
        initialise(p);
        std::vector<double> h;
        for (int s = 1; s <= n; ++s) h.push_back(sample(p, s, s == 1 ? 1.0f : 0.0f));
        return h;
    }

    ElectricalSample in_;
    ElectricalSample out_;
};

FilbesParams lowpass(std::int32_t order, float bandwidth) {
    FilbesParams p;
    p.filter_type = 1;
    p.order = order;
    p.bandwidth = bandwidth;
    p.output_gain = 1.0f;
    p.chart_title = "Bessel";
    return p;
}

// Bessel poles normalised to a 3-dB angular frequency of 1 (all of them,
// conjugates included), written out here independently of the block.
std::vector<cd> poles(int order) {
    const std::vector<std::vector<cd>> upper = {
        {},
        {{-1.0, 0.0}},
        {{-1.101601, 0.63601}},
        {{-1.3226758, 0.0}, {-1.0474092, 0.9992645}},
        {{-0.995209, 1.257106}, {-1.370068, 0.41025}},
        {{-1.502316, 0.0}, {-0.957677, 1.471124}, {-1.380877, 0.71791}},
        {{-0.9306565, 1.6618633}, {-1.3818581, 0.9714719}, {-1.5714904, 0.3208964}},
        {{-1.6843682, 0.0}, {-0.9098678, 1.8364514}, {-1.3789032, 1.1915667}, {-1.6120388, 0.5892445}},
        {{-0.8928697, 1.9983258}, {-1.3738412, 1.3883566}, {-1.6369394, 0.8227956}, {-1.7574084, 0.2728675}},
        {{-1.856601, 0.0}, {-0.8783993, 2.1498005}, {-1.3675883, 1.5677337}, {-1.6523965, 1.0313895},
         {-1.8071705, 0.5123837}},
        {{-0.8657569, 2.2926048}, {-1.3606922, 1.7335057}, {-1.6618102, 1.2211002}, {-1.8421962, 0.7272576},
         {-1.9276196, 0.2416235}},
    };
    std::vector<cd> all;
    for (const cd& p : upper[static_cast<std::size_t>(order)]) {
        all.push_back(p);
        if (p.imag() != 0.0) all.push_back(std::conj(p));
    }
    return all;
}

// Analog prototype H(s) = prod (-p) / (s - p) and its group delay at s = j w.
cd analog(int order, cd s) {
    cd h(1.0, 0.0);
    for (const cd& p : poles(order)) h *= -p / (s - p);
    return h;
}
double analog_delay(int order, double w) {
    double tau = 0.0;
    for (const cd& p : poles(order)) tau += -p.real() / (p.real() * p.real() + (w - p.imag()) * (w - p.imag()));
    return tau;
}

// Spectrum and group delay of a sampled response at frequency f [THz].
cd spectrum(const std::vector<double>& h, double f, double dt, double* delay = nullptr) {
    cd sum(0.0, 0.0), weighted(0.0, 0.0);
    for (std::size_t n = 0; n < h.size(); ++n) {
        const cd e = std::polar(h[n], -2.0 * M_PI * f * static_cast<double>(n) * dt);
        sum += e;
        weighted += static_cast<double>(n) * e;
    }
    if (delay != nullptr) *delay = (weighted / sum).real() * dt;
    return sum;
}

// Response of a low-pass/high-pass coefficient set at z = e^(j 2 pi f dt).
cd lowhigh_response(int type, int order, const std::vector<double>& k, double f, double dt) {
    const cd z1 = std::polar(1.0, -2.0 * M_PI * f * dt);  // z^-1
    const double s = type == 3 ? -1.0 : 1.0;
    cd h(1.0, 0.0);
    std::size_t at = 0;
    if (order % 2 != 0) {
        h *= k[0] * (1.0 + s * z1) / (1.0 + k[1] * z1);
        at = 2;
    }
    for (int i = 0; i < order / 2; ++i, at += 3)
        h *= k[at] * (1.0 + 2.0 * s * z1 + z1 * z1) / (1.0 + k[at + 1] * z1 + k[at + 2] * z1 * z1);
    return h;
}

TEST_F(BesselTest, PrewarpedFrequencyOfTheReceiverFilter) {
    const double t = xtan(kPi * static_cast<double>(0.008f) * zdctrl.ddelt);
    EXPECT_NEAR(t, 0.0016096, 5e-8);
}

TEST_F(BesselTest, UnitDcGainAndThreeDecibelsAtTheBandwidthForEveryOrder) {
    const double dt = zdctrl.ddelt;
    for (int order = 1; order <= 10; ++order) {
        for (float bandwidth : {0.008f, 0.5f, 3.0f}) {
            std::vector<double> k(static_cast<std::size_t>(lowhigh_coefficients(order)));
            const double t = xtan(kPi * static_cast<double>(bandwidth) * dt);
            design_lowhigh(1, order, t, k.data());
            // Every section has unit gain at z = 1; in rounding, 1 + c1 + c2 =
            // 4 m t^2 / D is formed from numbers of order 1, which leaves a
            // relative error of about 1e-16 / t^2 (1e-11 at 0.008 THz).
            EXPECT_NEAR(std::abs(lowhigh_response(1, order, k, 0.0, dt)), 1.0, 1e-9) << order;
            EXPECT_NEAR(std::norm(lowhigh_response(1, order, k, bandwidth, dt)), 0.5, 5e-7) << order << " " << bandwidth;
            // High-pass: nothing at DC, unit gain at the Nyquist frequency,
            // half the power at its 3-dB frequency.
            design_lowhigh(3, order, t, k.data());
            EXPECT_NEAR(std::abs(lowhigh_response(3, order, k, 0.0, dt)), 0.0, 1e-12) << order;
            EXPECT_NEAR(std::abs(lowhigh_response(3, order, k, 0.5 / dt, dt)), 1.0, 1e-12) << order;
            EXPECT_NEAR(std::norm(lowhigh_response(3, order, k, bandwidth, dt)), 0.5, 5e-7) << order;
        }
    }
}

TEST_F(BesselTest, ReceiverFilterMatchesTheBilinearMappedPrototype) {
    // Fifth-order low-pass of 0.008 THz: the block's impulse response against
    // H_a(j W), W = tan(pi f dt) / tan(pi B dt), and its group delay
    // tau_a(W) dW/dw, dW/dw = (dt / 2) / (cos^2(pi f dt) tan(pi B dt)).
    const FilbesParams p = lowpass(5, 0.008f);
    const double dt = zdctrl.ddelt;
    const std::vector<double> h = impulse_response(p, 40000);
    const double t = std::tan(M_PI * static_cast<double>(p.bandwidth) * dt);
    for (double f : {0.0, 0.001, 0.004, 0.008, 0.012, 0.02, 0.05}) {
        double delay = 0.0;
        const cd got = spectrum(h, f, dt, &delay);
        const double w = std::tan(M_PI * f * dt) / t;
        const cd want = analog(5, cd(0.0, w));
        EXPECT_NEAR(std::abs(got), std::abs(want), 1e-7) << f;
        const double c = std::cos(M_PI * f * dt);
        const double want_delay = analog_delay(5, w) * (dt / 2.0) / (c * c * t);
        EXPECT_NEAR(delay, want_delay, 1e-4 * want_delay) << f;
    }
    // The step response settles to the DC gain 1.
    initialise(p);
    float last = 0.0f;
    for (int s = 1; s <= 20000; ++s) last = sample(p, s, 1.0f);
    EXPECT_NEAR(last, 1.0f, 1e-6f);
}

TEST_F(BesselTest, HighPassAgainstThePrototypeAndAtTheBandEdges) {
    FilbesParams p = lowpass(4, 1.5f);
    p.filter_type = 3;
    p.output_gain = 2.0f;
    const double dt = zdctrl.ddelt;
    const std::vector<double> h = impulse_response(p, 4000);
    const double t = std::tan(M_PI * static_cast<double>(p.bandwidth) * dt);
    for (double f : {0.3, 1.0, 1.5, 3.0, 6.0}) {
        const double w = std::tan(M_PI * f * dt) / t;
        // s replaced by 1/s: H_hp(j w) = H_a(1 / (j w)).
        const cd want = analog(4, 1.0 / cd(0.0, w));
        EXPECT_NEAR(std::abs(spectrum(h, f, dt)), 2.0 * std::abs(want), 2e-7) << f;
    }
    // A constant input dies out; an alternating one passes with the gain.
    initialise(p);
    float y = 0.0f;
    for (int s = 1; s <= 3000; ++s) y = sample(p, s, 1.0f);
    EXPECT_NEAR(y, 0.0f, 1e-6f);
    initialise(p);
    for (int s = 1; s <= 3000; ++s) y = sample(p, s, s % 2 == 0 ? 1.0f : -1.0f);
    EXPECT_NEAR(std::fabs(y), 2.0f, 1e-5f);
}

TEST_F(BesselTest, DesignHappensOnceAtTheFirstSample) {
    // Later samples (dtime > 0) keep the section states: the outputs are those
    // of one uninterrupted cascade.
    const FilbesParams p = lowpass(3, 0.2f);
    std::vector<double> k(static_cast<std::size_t>(lowhigh_coefficients(3)));
    design_lowhigh(1, 3, xtan(kPi * static_cast<double>(p.bandwidth) * zdctrl.ddelt), k.data());
    std::vector<double> state(6, 0.0);
    initialise(p);
    for (int s = 1; s <= 500; ++s) {
        const float x = std::sin(0.05f * static_cast<float>(s));
        const double want = run_lowhigh(1, 3, k.data(), state.data(), x);
        ASSERT_FLOAT_EQ(sample(p, s, x), static_cast<float>(want)) << s;
    }
    // Words 2 and 3 of the output are not the filter's.
    out_.w2 = 7.0f;
    sample(p, 501, 0.0f);
    EXPECT_EQ(out_.w2, 7.0f);
}

TEST_F(BesselTest, StorageRequestsOfTheReceiverFilter) {
    // One integer slot for the block; two double areas (8 coefficients, 10
    // states) and two integer slots for the fifth-order cascade.
    zzctrl.pass = 0;
    zzsupv.storephase = 0;
    optcl_ctrl.memused = 0;
    filbes(lowpass(5, 0.008f), in_, out_);
    EXPECT_EQ(optcl_ctrl.memused, 12 + (8 * 8 + 16) + (8 * 10 + 16) + 12 + 12);
    EXPECT_EQ(zzmax.d, 10 + 12);
    EXPECT_EQ(zzmax.i, 9);
    // Order 10: five second-order sections, 15 coefficients and 20 states.
    optcl_ctrl.memused = 0;
    filbes(lowpass(10, 0.008f), in_, out_);
    EXPECT_EQ(optcl_ctrl.memused, 12 + (8 * 15 + 16) + (8 * 20 + 16) + 12 + 12);
}

TEST_F(BesselTest, EveryErrorCode) {
    struct Case {
        FilbesParams p;
        bool first_pass;  // reported in the initialisation call already
        std::vector<std::string> codes;
    };
    auto with = [](auto change) {
        FilbesParams p = lowpass(5, 0.008f);
        change(p);
        return p;
    };
    const float limit = static_cast<float>(0.2 / zdctrl.ddelt);
    const std::vector<Case> cases = {
        {with([](FilbesParams& p) { p.filter_type = 4; }), true, {"bR"}},
        {with([](FilbesParams& p) { p.order = 0; }), true, {"cR"}},
        {with([](FilbesParams& p) { p.centre_frequency = 1.0f; }), true, {"dR"}},
        {with([](FilbesParams& p) { p.write_charts = 2; }), true, {"eR"}},
        {with([](FilbesParams& p) { p.bandwidth = -0.1f; }), false, {"lR"}},
        {with([&](FilbesParams& p) { p.bandwidth = std::nextafter(limit, 1e9f); }), false, {"mR"}},
        {with([&](FilbesParams& p) { p.bandwidth = limit; }), false, {}},
        {with([](FilbesParams& p) { p.order = 11; }), false, {"pR"}},
        {with([](FilbesParams& p) { p.order = 10; }), false, {}},
        {with([](FilbesParams& p) {
             p.filter_type = 2;
             p.centre_frequency = 1.0f;
             p.bandwidth = 2.5f;  // lower edge below 0
         }),
         false,
         {"mR"}},
    };
    for (const Case& c : cases) {
        reset_kernel_errors();
        CaptureStderr();
        initialise(c.p);
        const std::string first = GetCapturedStderr();
        CaptureStderr();
        sample(c.p, 1, 1.0f);
        sample(c.p, 2, 1.0f);
        const std::string run = GetCapturedStderr();
        std::string want;
        for (const std::string& code : c.codes)
            want += "Nodrix-E-  NODRIX PROGRAM INTERRUPT - ERROR CODE =    " + code +
                    "   TIME =  0.000000E+00\n  NO ERROR MESSAGE AVAILABLE FOR THIS CODE\n \n";
        EXPECT_EQ(first, c.first_pass ? want : std::string()) << c.p.order << " " << c.p.bandwidth;
        // The first sample repeats the checks and makes the design; the
        // second does neither.
        EXPECT_EQ(run, want) << c.p.order << " " << c.p.bandwidth;
        EXPECT_EQ(kernel_error_count(), static_cast<std::int32_t>(c.codes.size() * (c.first_pass ? 2 : 1)));
        if (!c.codes.empty() && c.codes[0] != "dR" && c.codes[0] != "eR") {
            EXPECT_EQ(out_.value, 0.0f);
        }
    }
    // An order slot that does not hold the designed order ("oR"): a run whose
    // time word never was at or below 0 has no design. Reported once.
    const FilbesParams p = lowpass(5, 0.008f);
    initialise(p);
    CaptureStderr();
    zzctrl.pass = 1;
    for (int s = 2; s <= 4; ++s) sample(p, s, 1.0f);
    EXPECT_EQ(GetCapturedStderr(),
              "Nodrix-E-  NODRIX PROGRAM INTERRUPT - ERROR CODE =    oR   TIME =  0.640443E-01\n"
              "  NO ERROR MESSAGE AVAILABLE FOR THIS CODE\n \n");
    EXPECT_EQ(out_.value, 0.0f);
}

TEST_F(BesselTest, BandPassThreeDecibelPointsAndCentre) {
    const double dt = zdctrl.ddelt;
    const double fs = 1.0 / dt;
    struct Case {
        int order;
        float centre;
        float bandwidth;
    };
    // Centres below 0.2 fs (fqbsbb) and above (fqbsba).
    const Case cases[] = {{5, 1.0f, 0.4f}, {4, 2.0f, 1.0f}, {1, 0.5f, 0.1f}, {6, 4.5f, 0.8f}, {3, 6.0f, 1.5f}};
    for (const Case& c : cases) {
        FilbesParams p = lowpass(c.order, c.bandwidth);
        p.filter_type = 2;
        p.centre_frequency = c.centre;
        const std::vector<double> h = impulse_response(p, 30000);
        const double f1 = c.centre - c.bandwidth / 2.0;
        const double f2 = c.centre + c.bandwidth / 2.0;
        EXPECT_NEAR(std::norm(spectrum(h, f1, dt)), 0.5, 2e-6) << c.order << " " << c.centre;
        EXPECT_NEAR(std::norm(spectrum(h, f2, dt)), 0.5, 2e-6) << c.order << " " << c.centre;
        // Unit gain at the centre of the pre-warped band (geometric mean).
        const double w1 = std::tan(M_PI * f1 * dt);
        const double w2 = std::tan(M_PI * f2 * dt);
        const double f0 = std::atan(std::sqrt(w1 * w2)) / (M_PI * dt);
        EXPECT_NEAR(std::abs(spectrum(h, f0, dt)), 1.0, 1e-6);
        // Against the prototype mapped by S = (s^2 + w0^2) / (bw s), s = j W.
        for (double f : {0.2 * f1, f1, 0.5 * (f1 + f2), f2, 0.5 * (f2 + 0.5 * fs)}) {
            const double w = std::tan(M_PI * f * dt);
            const cd s(0.0, w);
            const cd want = analog(c.order, (s * s + w1 * w2) / ((w2 - w1) * s));
            EXPECT_NEAR(std::abs(spectrum(h, f, dt)), std::abs(want), 2e-6) << c.order << " " << f;
        }
        // Nothing at DC and at the Nyquist frequency.
        EXPECT_NEAR(std::abs(spectrum(h, 0.0, dt)), 0.0, 1e-6);
    }
}

}  // namespace
}  // namespace nodrix
