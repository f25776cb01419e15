// A fibre's designer quantities against independent values, and the presets
// against the sources their documentation names.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "models/fibre/fibre_presets.h"

namespace nodrix {
namespace {

TEST(FibrePresets, ConversionsMatchPublishedValues) {
    // D = 16 ps/nm/km at 1552 nm is beta2 = -20.46 ps^2/km; 80 um^2 with
    // n2 = 2.6e-20 m^2/W gives gamma = 1.316 /W/km (within 0.1 %).
    EXPECT_NEAR(beta2_from_dispersion(16.0, 1552.0), -20.46, 20.46e-3);
    EXPECT_NEAR(gamma_from_area(2.6e-20, 80.0, 1552.0), 1.316, 1.316e-3);
    EXPECT_NEAR(dispersion_from_beta2(beta2_from_dispersion(16.0, 1552.0), 1552.0), 16.0, 1e-12);
}

TEST(FibrePresets, Beta3IsTheFrequencyDerivativeOfBeta2) {
    // A second way: D(lambda) = D0 + S (lambda - lambda0), beta2(omega) =
    // -D lambda^2 / (2 pi c) at lambda = 2 pi c / omega, differentiated by a
    // central difference in omega [rad/ps].
    const double c = 299792.458;
    const struct {
        double dispersion, slope, wavelength;
    } cases[] = {{17.0, 0.058, 1550.0}, {-100.0, -0.34, 1552.0}, {4.0, 0.06, 1530.0}, {0.0, 0.07, 1600.0}};
    for (const auto& k : cases) {
        auto beta2_at = [&](double omega) {
            const double lambda = 2 * std::numbers::pi * c / omega;
            return beta2_from_dispersion(k.dispersion + k.slope * (lambda - k.wavelength), lambda);
        };
        const double omega = 2 * std::numbers::pi * c / k.wavelength;
        const double h = omega * 1e-5;
        const double numeric = (beta2_at(omega + h) - beta2_at(omega - h)) / (2 * h);
        EXPECT_NEAR(beta3_from_slope(k.slope, k.dispersion, k.wavelength), numeric, 1e-6 * std::abs(numeric) + 1e-9);
    }
}

TEST(FibrePresets, PresetsFollowTheirSources) {
    const FibrePreset* ssmf = find_fibre_preset("ssmf");
    const FibrePreset* nzdsf = find_fibre_preset("nzdsf");
    const FibrePreset* dcf = find_fibre_preset("dcf");
    ASSERT_TRUE(ssmf != nullptr && nzdsf != nullptr && dcf != nullptr);
    EXPECT_EQ(find_fibre_preset("smf"), nullptr);
    // The G.652 dispersion formula with S0 = 0.092 ps/nm^2/km, l0 = 1310 nm:
    // S(1550 nm) = S0/4 (1 + 3 l0^4 / l^4) = 0.0582.
    EXPECT_NEAR(ssmf->dispersion_slope_ps_per_nm2_km, 0.092 / 4 * (1 + 3 * std::pow(1310.0 / 1550.0, 4)), 0.001);
    // The dcf compensates the ssmf's slope with its dispersion: equal S/D.
    EXPECT_NEAR(dcf->dispersion_slope_ps_per_nm2_km / dcf->dispersion_ps_per_nm_km,
                ssmf->dispersion_slope_ps_per_nm2_km / ssmf->dispersion_ps_per_nm_km, 1e-4);
    // Agrawal's DCF: D = -100 ps/nm/km, |D| / alpha = 200 ps/nm/dB, 20 um^2.
    EXPECT_EQ(dcf->dispersion_ps_per_nm_km, -100.0);
    EXPECT_NEAR(-dcf->dispersion_ps_per_nm_km / dcf->attenuation_db_per_km, 200.0, 1e-9);
    EXPECT_EQ(dcf->effective_area_um2, 20.0);
    // The nzdsf: LEAF's 72 um^2 and 0.06 ps/nm^2/km, a loss below G.655's
    // cabled 0.35 dB/km, and D(l) inside the G.655.D limits over the C band.
    EXPECT_EQ(nzdsf->effective_area_um2, 72.0);
    EXPECT_EQ(nzdsf->dispersion_slope_ps_per_nm2_km, 0.06);
    EXPECT_LT(nzdsf->attenuation_db_per_km, 0.35);
    for (double l = 1530.0; l <= 1565.0; l += 5.0) {
        const bool low = l <= 1550.0;
        const double least = low ? 7.00 / 90 * (l - 1460) - 4.20 : 2.97 / 75 * (l - 1550) + 2.80;
        const double most = low ? 2.91 / 90 * (l - 1460) + 3.29 : 5.06 / 75 * (l - 1550) + 6.20;
        const double d = nzdsf->dispersion_ps_per_nm_km + nzdsf->dispersion_slope_ps_per_nm2_km * (l - 1550.0);
        EXPECT_TRUE(d >= least && d <= most) << l << " nm: D = " << d << ", G.655.D " << least << " to " << most;
    }
}

}  // namespace
}  // namespace nodrix
