// Parameters given in the designer's units (dBm, dB, GHz) and a fibre in
// its designer's quantities: what the link stores, and the message of each
// mistake.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "models/fibre/fibre_presets.h"
#include "project/link.h"
#include "tests/project/link_loading.h"
#include "tests/support/test_support.h"

namespace nodrix {
namespace {

// A laser, a fibre, an amplifier, a photodiode and a Bessel filter; cases
// add lines after a block's kind line.
const std::string kLink = testing::read_text(NODRIX_TEST_DATA_DIR "/parameter_forms.toml");

// The link with `lines` added after the line `kind = "KIND"`.
std::string with(const std::string& kind, const std::string& lines, std::string text = kLink) {
    const std::string at = "kind = \"" + kind + "\"\n";
    return text.insert(text.find(at) + at.size(), lines);
}

using ParameterFormsTest = testing::LinkLoadingTest;

const double kWavelength = 299792.458 / 193.1;  // the link's centre [nm]
double beta2_of(double d) { return beta2_from_dispersion(d, kWavelength); }
double gamma_of(double n2, double area) { return gamma_from_area(n2, area, kWavelength); }

TEST_F(ParameterFormsTest, DesignerFormsAreStoredConverted) {
    // What, the link, its -set, and the block's parameter with its value.
    struct Case { const char* what; std::string text; std::vector<std::string> sets;
                  std::int32_t block; const char* param; double expected; };
    const Case cases[] = {
        {"3 dBm", with("laser", "power_dbm = 3\n"), {}, 1, "power_mw", 1.9952623149688795},
        {"-set in dBm replaces mW", with("laser", "power_mw = 2.0\n"), {"1.power_dbm=10"}, 1, "power_mw", 10.0},
        {"the block's dBm over the kind's mW", "[defaults.laser]\npower_mw = 5.0\n" + with("laser", "power_dbm = 0\n"),
         {}, 1, "power_mw", 1.0},
        {"noise figure 4.5 dB", with("amplifier_fixed_gain", "noise_figure_db = 4.5\n"), {}, 3,
         "noise_figure_linear", 2.8183829312644537},
        {"bandwidth 8 GHz", std::string(kLink).replace(std::string(kLink).find("bandwidth_thz = 0.008"), 21,
                                                         "bandwidth_ghz = 8"),
         {}, 5, "bandwidth_thz", 0.008},
        {"Aeff alone: n2 of silica", with("fibre", "effective_area_um2 = 80\n"), {}, 2, "gamma_per_w_per_km",
         gamma_of(2.6e-20, 80)},
        // The ssmf's 17 ps/nm/km at 1550 nm and its slope 0.058 ps/nm^2/km, at
        // 1552.52438 nm: D = 17.146414 ps/nm/km, beta3 from S and that D.
        {"ssmf's D at the centre", with("fibre", "preset = \"ssmf\"\n"), {}, 2, "beta2_ps2_per_km",
         -21.940655339986105},
        {"ssmf's slope", with("fibre", "preset = \"ssmf\"\n"), {}, 2, "beta3_ps3_per_km", 0.13113612956443804},
        {"dcf's Aeff", with("fibre", "preset = \"dcf\"\n"), {}, 2, "gamma_per_w_per_km", gamma_of(2.6e-20, 20)},
        {"explicit beta2 over the preset's", with("fibre", "preset = \"ssmf\"\nbeta2_ps2_per_km = -1.5\n"), {}, 2,
         "beta2_ps2_per_km", -1.5},
        {"-set D over the file's beta2", with("fibre", "beta2_ps2_per_km = -1.5\n"), {"2.dispersion_ps_per_nm_km=4"},
         2, "beta2_ps2_per_km", beta2_of(4)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto link = load(c.text, c.sets);
        ASSERT_TRUE(link.has_value()) << messages_;
        EXPECT_NEAR(link->find(c.block)->settings.value(c.param).number, c.expected, 1e-12 * std::abs(c.expected));
    }
}

TEST_F(ParameterFormsTest, MistakesNameWhatWasWritten) {
    struct Case { const char* what; std::string text; std::vector<std::string> sets; std::string message; };
    const Case cases[] = {
        {"both forms in a block", with("laser", "power_mw = 1.0\npower_dbm = 0\n"), {},
         "t.toml:8: block 1 (laser): power_dbm and power_mw give one quantity in two forms; give one of them"},
        {"both forms in the defaults", "[defaults.fibre]\nbeta2_ps2_per_km = 1.0\ndispersion_ps_per_nm_km = 2.0\n" +
                                           std::string(kLink),
         {}, "t.toml:3: [defaults.fibre]: beta2_ps2_per_km and dispersion_ps_per_nm_km give one quantity in two "
             "forms; give one of them"},
        {"a -set converted out of range", kLink, {"5.bandwidth_ghz=-8"},
         "-set 5.bandwidth_ghz=-8: bandwidth_ghz = -8 gives bandwidth_thz = -0.008, which is out of range; allowed: > 0"},
        {"n2 alone", with("fibre", "n2_m2_per_w = 2.6e-20\n"), {},
         "t.toml:12: block 2 (fibre): n2_m2_per_w needs effective_area_um2 (or a preset) to give gamma_per_w_per_km"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_FALSE(load(c.text, c.sets).has_value());
        EXPECT_NE(messages_.find(c.message), std::string::npos) << messages_;
    }
}

}  // namespace
}  // namespace nodrix
