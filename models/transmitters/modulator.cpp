// The external intensity modulator of a transmitter (oamod): a push-pull
// interferometric modulator with a finite symmetry, an insertion loss and an
// optional intensity-proportional chirp. It modulates the laser's light by
// the NRZ driver's voltage; its output carries the laser's spectral
// description scaled by the loss.
#include <algorithm>
#include <cmath>

#include "kernel/block_declaration.h"

namespace nodrix {
namespace {

constexpr const char* kBadSymmetry = "Modulator: symmetry factor outside 0 to 1, taken at the nearer limit";
constexpr const char* kNoSwitching = "Modulator: switching voltage 0, the drive is ignored";
constexpr float kHalfPiF = 1.5707964f;
constexpr float kDarkPower = 0.0001f;  // power below which the chirp phase stops following ln P [mW]

struct Modulator {
    float insertion_loss_db = 0.0f;      // optical insertion loss [dB]
    float bias_voltage_v = 0.0f;         // drive voltage of full transmission [V]
    float switching_voltage_v = 1.0f;    // swing from full transmission to extinction [V], not 0
    float symmetry = 1.0f;               // push-pull symmetry, 0 to 1 (1: chirp-free)
    float chirp_factor = 0.0f;           // intensity-chirp factor (0: none)
    // The root of the mean power transmission, which scales the laser's power
    // spectrum into the output's. Unset, the link works it out from the
    // drive's levels (project/modulated_power.h); with no driver to trace, an
    // on/off modulation's marks half the time: 1/sqrt(2).
    float spectral_field_factor = 0.70710678f;

    Input<OpticalSignal> laser;
    Input<ElectricalSample> drive;
    Output<OpticalSignal> output;
    Window window;

    // The field loss factor 10^(insertion_loss_db / 20), held while the laser
    // is in band.
    State<float> field_loss;

    static KindDeclaration<Modulator> declaration() {
        using M = Modulator;
        return {
            .name = "modulator",
            .routine = "oamod",
            .help = "push-pull intensity modulator with insertion loss and optional chirp",
            .family = BlockFamily::transmitters,
            .parameters =
                {
                    parameter(&M::insertion_loss_db, {.name = "insertion_loss_db", .unit = "dB", .fallback = 0.0,
                                                      .help = "optical insertion loss", .low = -100, .high = 100}),
                    parameter(&M::bias_voltage_v, {.name = "bias_voltage_v", .unit = "V", .fallback = 0.0,
                                                   .help = "drive voltage of full transmission"}),
                    parameter(&M::switching_voltage_v,
                              {.name = "switching_voltage_v", .unit = "V", .fallback = 1.0,
                               .help = "swing from full transmission to extinction, not 0", .limits = "not 0"}),
                    parameter(&M::symmetry, {.name = "symmetry", .fallback = 1.0,
                                             .help = "push-pull symmetry (1: chirp-free)", .low = 0, .high = 1}),
                    parameter(&M::chirp_factor, {.name = "chirp_factor", .fallback = 0.0,
                                                 .help = "intensity-chirp factor (0: none)"}),
                    parameter(&M::spectral_field_factor,
                              {.name = "spectral_field_factor", .fallback = 0.70710678,
                               .help = "root of the mean power transmission, which scales the output's power "
                                       "spectrum (unset: from the drive's levels, 1/sqrt(2) for on/off)",
                               .low = 0}),
                },
            .inputs = {port(&M::laser, {.key = "input", .help = "the laser's light"}),
                       port(&M::drive, {.key = "drive", .help = "the drive voltage"})},
            .outputs = {port(&M::output, {.key = "output", .help = "the modulated light"})},
            .window = &M::window,
            .check = check,
        };
    }

    static void check(const BlockSettings& s, const LinkContext&, Findings& found) {
        if (s.real("switching_voltage_v") == 0.0f)
            found.error("switching_voltage_v",
                        "switching_voltage_v = 0 would leave the light unmodulated; allowed: any value but 0");
    }

    // The output's spectrum is the laser's scaled by the loss and the mean
    // field transmission; its delays are the laser's.
    Status design(const RunContext& ctx, StateClaims& state) {
        OpticalSignal& out = *output;
        out.x = ctx.empty_field();
        out.y = ctx.empty_field();
        const float loss = std::pow(10.0f, 0.1f * insertion_loss_db);
        const float inv_loss = 1.0f / loss;
        const float field2 = spectral_field_factor * spectral_field_factor;
        for (std::size_t i = 0; i < kBins; ++i) out.ps[i] = laser->ps[i] * inv_loss * field2;
        out.iv = laser->iv;
        out.gd = laser->gd;
        if (laser->iv == 0) {
            out.pp = 0.0f;
            return {};
        }
        Status status;
        if (symmetry < 0.0f || symmetry > 1.0f) status.add(kBadSymmetry);
        if (switching_voltage_v == 0.0f) status.add(kNoSwitching);
        out.pp = laser->pp / loss;
        group_delay_window(window.input(ctx), out.gd.data(), least_group_delay(laser->gd.data()), window.output());
        state.claim(field_loss, 1);
        return status;
    }

    void setup(const RunContext&) {
        if (field_loss.size() > 0) field_loss[0] = std::pow(10.0f, 0.05f * insertion_loss_db);
    }

    void run(const RunContext& ctx) {
        OpticalSignal& out = *output;
        const float t = ctx.time();
        if (laser->iv == 0 || t < window.input(ctx).ton || t >= window.output().toff) {
            out.x = ctx.empty_field();
            out.y = ctx.empty_field();
            return;
        }
        // Field transfer (cos phi - j sqrt(1 - symmetry) sin phi) / g.
        const float g = field_loss[0];
        const float phi = switching_voltage_v != 0.0f
                              ? (drive->value - bias_voltage_v) * kHalfPiF / switching_voltage_v
                              : 0.0f;
        const float asym = std::sqrt(std::clamp(1.0f - symmetry, 0.0f, 1.0f));
        const float tr = std::cos(phi) / g;
        const float ti = -asym * std::sin(phi) / g;
        const FieldSample& x = laser->x;
        const FieldSample& y = laser->y;
        float exr = x.re * tr - x.im * ti;
        float exi = x.re * ti + x.im * tr;
        float eyr = y.re * tr - y.im * ti;
        float eyi = y.re * ti + y.im * tr;
        const bool both = ctx.polarisations() == 2;
        if (chirp_factor != 0.0f) chirp(both, exr, exi, eyr, eyi);
        const float fc = ctx.band_centre();
        out.x = FieldSample{exr, exi, fc};
        out.y = both ? FieldSample{eyr, eyi, fc} : ctx.empty_field();
    }

    // Phase 0.5 alpha ln P following the output power; dark samples take the
    // phase of the floor power.
    void chirp(bool both, float& exr, float& exi, float& eyr, float& eyi) const {
        float power = exr * exr + exi * exi;
        if (both) power += eyr * eyr + eyi * eyi;
        if (power <= kDarkPower) power = kDarkPower;
        const float angle = 0.5f * chirp_factor * std::log(power);
        const float cr = std::cos(angle);
        const float ci = std::sin(angle);
        const float xr = exr * cr - exi * ci;
        exi = exr * ci + exi * cr;
        exr = xr;
        const float yr = eyr * cr - eyi * ci;
        eyi = eyr * ci + eyi * cr;
        eyr = yr;
    }
};

const KindRegistration registration{declare_kind<Modulator>()};

}  // namespace
}  // namespace nodrix
