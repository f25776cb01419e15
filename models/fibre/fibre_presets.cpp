// The fibre's designer quantities and presets, registered as other forms of
// the fibre's parameters: a link may give `preset`, `dispersion_ps_per_nm_km`,
// `dispersion_slope_ps_per_nm2_km`, `effective_area_um2` and `n2_m2_per_w`;
// they set attenuation_db_per_km, beta2_ps2_per_km, beta3_ps3_per_km and
// gamma_per_w_per_km at the link's centre wavelength. A value given for one
// of those, in either form, overrides the preset's. A preset's D, given at
// 1550 nm, is carried along its slope to the centre wavelength, and beta3
// follows from the slope and that D. A preset's D is a straight line: the
// ssmf's curve by the G.652 formula bends away from it by 0.0004 ps/nm/km
// and its slope by 0.0003 ps/nm^2/km 3 nm from 1550 nm.
#include "models/fibre/fibre_presets.h"

#include <array>
#include <cmath>
#include <numbers>
#include <string>

#include "kernel/block_kind.h"
#include "numerics/constants.h"

namespace nodrix {
namespace {

constexpr double kTwoPiExact = 2.0 * std::numbers::pi;

// Typical values at 1550 nm; n2 of silica from G. P. Agrawal, Nonlinear
// Fiber Optics.
// - ssmf, standard single-mode fibre (ITU-T G.652): 0.2 dB/km and
//   D = 17 ps/nm/km, the values commonly quoted for G.652 fibre; S from the
//   G.652 dispersion formula D(l) = S0/4 (l - l0^4 / l^3) with S0 =
//   0.092 ps/nm^2/km and l0 = 1310 nm, S(1550 nm) = 0.058 ps/nm^2/km;
//   Aeff = 80 um^2 (Corning SMF-28, as tabulated in G. P. Agrawal,
//   Fiber-Optic Communication Systems).
// - nzdsf, non-zero dispersion-shifted fibre (ITU-T G.655), of the large
//   effective area class (Corning LEAF, same table: Aeff = 72 um^2, D = 2 to
//   6 ps/nm/km over the C band, S = 0.06 ps/nm^2/km): D = 4 ps/nm/km, the mid
//   of that range; with its slope D stays inside the G.655.D limits over the
//   C band (Dmin = 7.00/90 (l - 1460) - 4.20 and Dmax = 2.91/90 (l - 1460) +
//   3.29 up to 1550 nm, Dmin = 2.97/75 (l - 1550) + 2.80 and Dmax =
//   5.06/75 (l - 1550) + 6.20 above: 2.80 to 6.20 at 1550 nm). 0.2 dB/km is
//   the fibre's typical loss uncabled; G.655 allows a cable 0.35 dB/km.
// - dcf, dispersion-compensating fibre, the typical figures of Agrawal,
//   Fiber-Optic Communication Systems (dispersion management): D = -100
//   ps/nm/km, 0.5 dB/km (a figure of merit |D| / alpha of 200 ps/nm/dB) and
//   Aeff = 20 um^2; S = -0.34 ps/nm^2/km gives it the ssmf's relative slope
//   S/D = 0.0034 /nm, as a slope-matched commercial DCF has, so that it
//   compensates the slope too.
constexpr std::array<FibrePreset, 3> kPresets{{
    {"ssmf", 0.2, 17.0, 0.058, 80.0, kSilicaN2},
    {"nzdsf", 0.2, 4.0, 0.06, 72.0, kSilicaN2},
    {"dcf", 0.5, -100.0, -0.34, 20.0, kSilicaN2},
}};

struct Designer {
    const GivenValues& given;
    const FibrePreset* preset;
    double wavelength_nm;
    std::vector<DerivedValue>& derived;

    std::string at_centre(std::string_view key) const {
        return std::string(key) + " = " + number_text(given.number(key)) + " at " +
               number_text(given.centre_frequency_thz) + " THz";
    }
    std::string of_preset() const { return "preset \"" + std::string(preset->name) + "\""; }

    // D at the centre wavelength, from whichever form gives it: D itself,
    // beta2, the preset's; 0 as beta2's default.
    double dispersion() const {
        if (given.has("dispersion_ps_per_nm_km")) return given.number("dispersion_ps_per_nm_km");
        if (given.has("beta2_ps2_per_km")) return dispersion_from_beta2(given.number("beta2_ps2_per_km"), wavelength_nm);
        return preset != nullptr ? preset_dispersion_at(*preset, wavelength_nm) : 0.0;
    }

    void attenuation() {
        if (preset != nullptr && !given.has("attenuation_db_per_km"))
            derived.push_back({"attenuation_db_per_km", preset->attenuation_db_per_km, "preset", of_preset()});
    }

    void beta2() {
        if (given.has("dispersion_ps_per_nm_km"))
            derived.push_back({"beta2_ps2_per_km", beta2_from_dispersion(dispersion(), wavelength_nm),
                               "dispersion_ps_per_nm_km", at_centre("dispersion_ps_per_nm_km")});
        else if (preset != nullptr && !given.has("beta2_ps2_per_km"))
            derived.push_back({"beta2_ps2_per_km", beta2_from_dispersion(dispersion(), wavelength_nm), "preset",
                               of_preset()});
    }

    void beta3() {
        const char* slope = "dispersion_slope_ps_per_nm2_km";
        if (given.has(slope))
            derived.push_back({"beta3_ps3_per_km", beta3_from_slope(given.number(slope), dispersion(), wavelength_nm),
                               slope, at_centre(slope)});
        else if (preset != nullptr && !given.has("beta3_ps3_per_km"))
            derived.push_back({"beta3_ps3_per_km",
                               beta3_from_slope(preset->dispersion_slope_ps_per_nm2_km, dispersion(), wavelength_nm),
                               "preset", of_preset()});
    }

    void gamma(Findings& found) {
        const bool area = given.has("effective_area_um2");
        const bool n2 = given.has("n2_m2_per_w");
        if (!area && !n2) {
            if (preset != nullptr && !given.has("gamma_per_w_per_km"))
                derived.push_back({"gamma_per_w_per_km",
                                   gamma_from_area(preset->n2_m2_per_w, preset->effective_area_um2, wavelength_nm),
                                   "preset", of_preset()});
            return;
        }
        if (!area && preset == nullptr) {
            found.error("n2_m2_per_w", "n2_m2_per_w needs effective_area_um2 (or a preset) to give gamma_per_w_per_km");
            return;
        }
        const double aeff = area ? given.number("effective_area_um2") : preset->effective_area_um2;
        const double index = n2 ? given.number("n2_m2_per_w") : preset != nullptr ? preset->n2_m2_per_w : kSilicaN2;
        const char* key = area ? "effective_area_um2" : "n2_m2_per_w";
        derived.push_back({"gamma_per_w_per_km", gamma_from_area(index, aeff, wavelength_nm), key, at_centre(key)});
    }
};

void derive(const GivenValues& given, std::vector<DerivedValue>& derived, Findings& found) {
    const FibrePreset* preset = nullptr;
    if (const auto p = given.values.find("preset"); p != given.values.end())
        preset = &kPresets[static_cast<std::size_t>(p->second.number)];
    Designer fibre{given, preset, kLightSpeed / given.centre_frequency_thz, derived};
    fibre.attenuation();
    fibre.beta2();
    fibre.beta3();
    fibre.gamma(found);
}

ParamSpec preset_spec() {
    ParamSpec p{.name = "preset", .type = ParamType::choice,
                .help = "a fibre type's attenuation, dispersion, slope, effective area and n2 (explicit values override "
                        "them); docs list their sources"};
    for (std::size_t k = 0; k < kPresets.size(); ++k)
        p.choices.push_back({kPresets[k].name, static_cast<std::int32_t>(k)});
    return p;
}

const KindFormsRegistration forms{KindForms{
    .kind = "fibre",
    .forms =
        {
            {preset_spec(), ""},
            {{.name = "dispersion_ps_per_nm_km", .unit = "ps/nm/km",
              .help = "chromatic dispersion D at the link's centre frequency: beta2 = -D lambda^2 / (2 pi c)"},
             "beta2_ps2_per_km"},
            {{.name = "dispersion_slope_ps_per_nm2_km", .unit = "ps/nm^2/km",
              .help = "dispersion slope S = dD/dlambda: beta3 = (lambda^2 / (2 pi c))^2 (S + 2 D / lambda)"},
             "beta3_ps3_per_km"},
            {{.name = "effective_area_um2", .unit = "um^2", .help = "effective area: gamma = 2 pi n2 / (lambda Aeff)",
              .low = 0, .low_open = true},
             "gamma_per_w_per_km"},
            {{.name = "n2_m2_per_w", .unit = "m^2/W",
              .help = "non-linear index, with effective_area_um2 (default 2.6e-20, silica)", .low = 0,
              .low_open = true},
             "gamma_per_w_per_km"},
        },
    .derive = derive,
}};

}  // namespace

const FibrePreset* find_fibre_preset(std::string_view name) {
    for (const FibrePreset& p : kPresets)
        if (p.name == name) return &p;
    return nullptr;
}

double preset_dispersion_at(const FibrePreset& preset, double wavelength_nm) {
    const double from_1550 = wavelength_nm - kPresetWavelengthNm;
    return preset.dispersion_ps_per_nm_km + preset.dispersion_slope_ps_per_nm2_km * from_1550;
}

double beta2_from_dispersion(double dispersion_ps_per_nm_km, double wavelength_nm) {
    return -dispersion_ps_per_nm_km * wavelength_nm * wavelength_nm / (kTwoPiExact * kLightSpeed);
}

double dispersion_from_beta2(double beta2_ps2_per_km, double wavelength_nm) {
    return -kTwoPiExact * kLightSpeed * beta2_ps2_per_km / (wavelength_nm * wavelength_nm);
}

double beta3_from_slope(double slope_ps_per_nm2_km, double dispersion_ps_per_nm_km, double wavelength_nm) {
    const double factor = wavelength_nm * wavelength_nm / (kTwoPiExact * kLightSpeed);
    return factor * factor * (slope_ps_per_nm2_km + 2.0 * dispersion_ps_per_nm_km / wavelength_nm);
}

double gamma_from_area(double n2_m2_per_w, double effective_area_um2, double wavelength_nm) {
    // n2 [m^2/W] / (lambda [m] Aeff [m^2]) is per W per m; times 1000 per km.
    return kTwoPiExact * n2_m2_per_w / (wavelength_nm * 1e-9 * effective_area_um2 * 1e-12) * 1000.0;
}

}  // namespace nodrix
