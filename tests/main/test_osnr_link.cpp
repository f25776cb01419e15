// The reference link with an OSNR meter at the demultiplexer input: every
// channel's OSNR against a link budget worked here from the link's values;
// and a power meter behind a fibre against the ASE of both polarisations.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>

#include "models/measurements/osnr_meter.h"
#include "project/summary.h"
#include "tests/main/nodrix_run.h"

namespace nodrix {
namespace {

using OsnrLink = testing::NodrixRunTest;

// The run settings of a link of one carrier at 193.1 THz: 64 samples per
// 100 ps bit, a grid of 1/dt = 0.64 THz.
std::string one_carrier_link(const std::string& name) {
    return "[link]\nname = \"" + name + "\"\ntime_step_ps = 1.5625\nend_time_ps = 32000.0\n"
           "emission_window_ps = 25600.0\ncentre_frequency_thz = 193.1\ngrid_reference_thz = 193.1\n"
           "grid_low_thz = 192.78\ngrid_high_thz = 193.42\nband_low_thz = 192.844\nband_high_thz = 193.356\n";
}

// Sixteen channels 192.35 + 0.1 k THz of 1 mW lasers behind a 3 dB modulator
// with marks half the time; a 5 dB booster, 24 dB of span, a line amplifier
// holding 10 mW of signal and ASE over the 15.6142 THz grid, a 5 dB
// pre-amplifier; noise figure 4.5 dB, the ASE of both polarisations
// (F G - 1) h nu per amplifier, each carried through the gains after it.
TEST_F(OsnrLink, EveryChannelWithinHalfADbOfTheLinkBudget) {
    ASSERT_EQ(run({"run", std::string(NODRIX_PROJECTS_DIR) + "/sim_160G_osnr.toml", "-simulate", "-quiet", "-set",
                   "link.end_time_ps=10"}),
              0)
        << err_;
    const auto report = read_osnr_report("sim_160G_osnr_OSN0133.DAT");
    ASSERT_TRUE(report.has_value());
    ASSERT_EQ(report->channels.size(), 16u);
    const double h = 6.6260755e-34 * 1e27;  // mW/THz per THz of photon frequency
    const double f = 2.81838, grid = 201.42307 - 185.80887, centre = 193.61597;
    const double channel = 1.0 * std::pow(10.0, -0.3) * 0.5;
    const double g1 = std::pow(10.0, 0.5), span = std::pow(10.0, -2.4), g3 = g1;
    auto ase = [&](double g, double nu) { return (f * g - 1.0) * h * nu; };
    // The line amplifier: G p_in + (F G - 1) h fc grid = 10 mW.
    const double p_in = 16.0 * channel * g1 * span + ase(g1, centre) * grid * span;
    const double g2 = (10.0 + h * centre * grid) / (p_in + f * h * centre * grid);
    for (int k = 0; k < 16; ++k) {
        const double nu = 192.35 + 0.1 * k;
        const double signal = channel * g1 * span * g2 * g3;
        const double noise = ((ase(g1, nu) * span * g2 + ase(g2, nu)) * g3 + ase(g3, nu)) * nu * nu * 0.1 / 299792.458;
        EXPECT_NEAR(report->channels[std::size_t(k)].osnr_db, 10.0 * std::log10(signal / noise), 0.5) << k + 1;
    }
    EXPECT_NE(out_.find("Optical signal-to-noise ratio (signal over the ASE of both polarisations)\n"
                        "  133 at the demultiplexer input: in 0.1 nm\n"
                        "      1   192.34 THz   28.44 dB  signal 2.49 dBm, noise -25.95 dBm\n"),
              std::string::npos)
        << out_;
}

// A laser of 1 nW, an amplifier of 30 dB (noise figure 5 dB, its ASE in
// both polarisations), 10 km of fibre at 0.2 dB/km, then a power meter: the
// ASE orthogonal to the signal goes through the fibre in the second field,
// so the meter reads G p + 2 n_sp h nu (G - 1) / dt less the span's 2 dB.
TEST_F(OsnrLink, APowerMeterBehindAFibreReadsTheAseOfBothPolarisations) {
    std::filesystem::copy_file(NODRIX_TEST_DATA_DIR "/ase.toml", "ase.toml");
    ASSERT_EQ(run({"run", "ase.toml", "-simulate", "-quiet"}), 0) << err_;
    const auto meter = read_power_meter_report("ase_OPM0004.DAT");
    ASSERT_TRUE(meter.has_value()) << out_;
    const double g = 1000.0, f = 3.16228, n_sp = (f * g - 1.0) / (2.0 * (g - 1.0));
    const double per_polarisation = n_sp * 6.6260755e-34 * 1e27 * 193.1 * (g - 1.0) / 1.5625;  // [mW]
    const double expected = (g * 1e-6 + 2.0 * per_polarisation) * std::pow(10.0, -0.2);
    EXPECT_NEAR(*meter, 10.0 * std::log10(expected), 0.1);
}

// A 1 mW laser whose modulator leaves its spectrum to the link, a power
// meter, an amplifier of 20 dB (noise figure 5 dB) and an OSNR meter. The
// spectrum carries the mean power the modulator passes, as the power meter
// reads it off the samples: half the laser's for on/off, 0.55 with a tenth at
// the low level (10 dB extinction), half for four levels equally spaced in
// power; the OSNR is P G / ((F G - 1) h nu B) in B = 0.1 nm, about
// P - NF + 58 dB.
TEST_F(OsnrLink, AModulatorsSpectrumCarriesTheMeanPowerItPasses) {
    const std::string nrz = R"({id = 1, kind = "prbs_source", samples_per_bit = 64},
    {id = 2, kind = "nrz_driver", input = 1, samples_per_bit = 64)";
    const struct { std::string transmitter; double mean; } cases[] = {{nrz + "},", 0.5},
                 {nrz + ", low_level_v = -1.475836},", 0.55},
                 {R"({id = 1, kind = "symbol_source", levels = 4, samples_per_symbol = 64},
    {id = 2, kind = "multilevel_driver", input = 1, samples_per_symbol = 64, spacing = "per_level", )"
                  "level_1_v = -0.5408, level_2_v = 0.5408},",
                  0.5}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.transmitter);
        testing::write_text("tx.toml", "block = [\n    " + c.transmitter + R"(
    {id = 3, kind = "laser", frequency_thz = 193.1, power_mw = 1.0},
    {id = 4, kind = "modulator", input = 3, drive = 2, bias_voltage_v = 2.5, switching_voltage_v = 5.0},
    {id = 5, kind = "power_meter", input = 4},
    {id = 6, kind = "amplifier_fixed_gain", input = 4, gain_db = 20.0, noise_figure_linear = 3.16228},
    {id = 7, kind = "osnr_meter", input = 6}]
)" + one_carrier_link("tx"));
        ASSERT_EQ(run({"run", "tx.toml", "-simulate", "-quiet"}), 0) << err_;
        const auto meter = read_power_meter_report("tx_OPM0005.DAT");
        const auto osnr = read_osnr_report("tx_OSN0007.DAT");
        ASSERT_TRUE(meter.has_value() && osnr.has_value() && osnr->channels.size() == 1u) << out_;
        const double g = 100.0, f = 3.16228, nu = 193.1, h = 6.6260755e-34 * 1e27;
        const double noise = (f * g - 1.0) * h * nu * nu * nu * 0.1 / 299792.458;
        EXPECT_NEAR(osnr->channels[0].osnr_db, 10.0 * std::log10(c.mean * g / noise), 0.1);
        EXPECT_NEAR(*meter, 10.0 * std::log10(c.mean), 0.1);
        EXPECT_NEAR(10.0 * std::log10(osnr->channels[0].signal_mw / g), *meter, 0.1);
    }
}

}  // namespace
}  // namespace nodrix
