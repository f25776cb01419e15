// A fibre in the designer's terms: chromatic dispersion D and its slope S,
// effective area and non-linear index, instead of beta2, beta3 and gamma, and
// presets of common fibre types. The link converts them at its centre
// frequency when it is read (the fibre's other forms, kernel/block_kind.h).
#pragma once

#include <string_view>

namespace nodrix {

// A type of fibre as its datasheet gives it, at 1550 nm.
struct FibrePreset {
    std::string_view name;
    double attenuation_db_per_km;
    double dispersion_ps_per_nm_km;
    double dispersion_slope_ps_per_nm2_km;
    double effective_area_um2;
    double n2_m2_per_w;
};
const FibrePreset* find_fibre_preset(std::string_view name);

// The wavelength at which the presets give their dispersion and slope [nm].
inline constexpr double kPresetWavelengthNm = 1550.0;
// A preset's D at a wavelength [ps/nm/km]: its slope carries it from 1550 nm,
// D(l) = D + S (l - 1550 nm).
double preset_dispersion_at(const FibrePreset& preset, double wavelength_nm);

// The non-linear index of fused silica [m^2/W], taken when an effective area
// is given without one.
inline constexpr double kSilicaN2 = 2.6e-20;

// beta2 = -D lambda^2 / (2 pi c) [ps^2/km].
double beta2_from_dispersion(double dispersion_ps_per_nm_km, double wavelength_nm);
// The dispersion D = -2 pi c beta2 / lambda^2 [ps/nm/km].
double dispersion_from_beta2(double beta2_ps2_per_km, double wavelength_nm);
// beta3 = (lambda^2 / (2 pi c))^2 (S + 2 D / lambda) [ps^3/km], from
// S = dD/dlambda and D = -(2 pi c / lambda^2) beta2.
double beta3_from_slope(double slope_ps_per_nm2_km, double dispersion_ps_per_nm_km, double wavelength_nm);
// gamma = 2 pi n2 / (lambda Aeff) [1/W/km].
double gamma_from_area(double n2_m2_per_w, double effective_area_um2, double wavelength_nm);

}  // namespace nodrix
