#include <cmath>
#include <complex>

#include "tests/models/measurements/run_harness.h"
#include "tests/support/block_bench.h"

namespace nodrix {
namespace {

using cf = std::complex<float>;

// The modulator of sim_160G's transmitters with the given symmetry and chirp,
// on a laser in band (2 mW, a flat spectrum, delays rising over the bins).
struct Modulator {
    explicit Modulator(float symmetry = 0.999f, float chirp = 0.0f, std::int32_t polarisations = 1)
        : bench("modulator", SimulationSettings{.polarisations = polarisations}),
          laser(bench.input<OpticalSignal>("input")),
          drive(bench.input<ElectricalSample>("drive")),
          out(bench.output<OpticalSignal>("output")) {
        bench.set("insertion_loss_db", 3.0).set("bias_voltage_v", 2.5).set("switching_voltage_v", 5.0);
        bench.set("symmetry", symmetry).set("chirp_factor", chirp).set("spectral_field_factor", 0.7079457);
        laser.iv = 1;
        laser.pp = 2.0f;
        laser.ps.fill(1.0f);
        for (std::size_t i = 0; i < kBins; ++i) laser.gd[i] = 0.01f * static_cast<float>(i);
        laser.x = FieldSample{0.6f, 0.8f, 193.0f};
        laser.y = FieldSample{0.3f, -0.4f, 193.0f};
    }
    // The output x at sample 1 for a drive voltage.
    cf sample(float volts) {
        drive.value = volts;
        bench.run(1);
        return {out.x.re, out.x.im};
    }
    testing::BlockBench bench;
    OpticalSignal& laser;
    ElectricalSample& drive;
    const OpticalSignal& out;
};

const float g = std::pow(10.0f, 0.15f);  // field loss of 3 dB
const cf in(0.6f, 0.8f);

class ModulatorTest : public testing::BlockTest {};

TEST_F(ModulatorTest, TransferAtBiasAndExtinction) {
    Modulator m;
    ASSERT_TRUE(m.bench.start().ok());
    EXPECT_LT(std::abs(m.sample(2.5f) - in / g), 1e-6f);  // at the bias: the loss only
    EXPECT_EQ(m.out.x.fcenter, m.bench.context().band_centre());
    // At bias - switching voltage (phi = -pi/2) only the symmetry term is
    // left: j sqrt(1 - 0.999) / g.
    EXPECT_LT(std::abs(m.sample(-2.5f) - in * cf(0.0f, std::sqrt(0.001f)) / g), 1e-6f);
    EXPECT_EQ(m.out.y.re, 0.0f);  // one polarisation: y is zero field
    Modulator symmetric(1.0f);
    symmetric.bench.start();
    for (float v : {-1.0f, 1.7f}) {  // a symmetric modulator only scales
        const cf out = symmetric.sample(v);
        EXPECT_NEAR(std::arg(out), std::arg(in), 1e-6) << v;
        EXPECT_NEAR(std::abs(out), std::cos((v - 2.5f) * 1.5707964f / 5.0f) / g, 1e-6) << v;
    }
    Modulator two(1.0f, 0.0f, 2);
    two.bench.start();
    two.sample(2.5f);
    EXPECT_LT(std::abs(cf(two.out.y.re, two.out.y.im) - cf(0.3f, -0.4f) / g), 1e-6f);
}

TEST_F(ModulatorTest, ChirpFollowsThePowerAndDarkSamplesTakeTheFloorPhase) {
    // phase = 0.5 alpha ln P on top of the symmetric transfer cos(phi) / g;
    // P below 1e-4 mW counts as 1e-4 (the last drive).
    for (float drive : {2.5f, 1.0f, -2.47f}) {
        Modulator m(1.0f, 0.8f);
        m.bench.start();
        const float power = std::pow(std::cos((drive - 2.5f) * 1.5707964f / 5.0f) / g, 2.0f);
        const cf out = m.sample(drive);
        const cf turn = out * std::conj(in) / std::abs(out);  // |in| = 1
        EXPECT_LT(std::abs(turn - std::polar(1.0f, 0.4f * std::log(std::max(power, 0.0001f)))), 2e-5f) << drive;
    }
}

TEST_F(ModulatorTest, DescribesTheLaserScaledByTheLossAndIsDarkOutOfBand) {
    Modulator m;
    ASSERT_TRUE(m.bench.design().ok());
    const float loss = std::pow(10.0f, 0.3f);  // 3 dB
    EXPECT_FLOAT_EQ(m.out.pp, 2.0f / loss);
    EXPECT_FLOAT_EQ(m.out.ps[500], 0.7079457f * 0.7079457f / loss);
    EXPECT_EQ(m.out.gd, m.laser.gd);
    EXPECT_EQ(m.bench.window().ton, 0.0f);  // its delays counted from the laser's least
    EXPECT_NEAR(m.bench.window().toff, 15360.0f + 8.2f, 1e-3f);
    Modulator dark;
    dark.laser.iv = 0;
    dark.bench.start();
    EXPECT_EQ(dark.out.pp, 0.0f);
    EXPECT_EQ(dark.sample(2.5f), cf(0.0f, 0.0f));
    Modulator no_swing;
    no_swing.bench.set("switching_voltage_v", 0.0);
    EXPECT_EQ(no_swing.bench.design().text(), "Modulator: switching voltage 0, the drive is ignored");
}

}  // namespace
}  // namespace nodrix
