#include "models/transmitters/modulator.h"

#include <algorithm>
#include <cmath>

#include "kernel/control_blocks.h"
#include "kernel/storage.h"
#include "runtime/opxfile.h"

namespace nodrix {
namespace {

// The state of one modulator.
struct ModulatorState {
    std::int32_t loss;
};
constexpr StateSlot<ModulatorState> kModulatorState[] = {
    {&ModulatorState::loss, SlotKind::real, 1},  // field loss factor 10^(insertion_loss / 20)
};

constexpr const char* kBadSymmetry = "Modulator: symmetry factor outside 0 to 1, taken at the nearer limit";
constexpr const char* kNoSwitching = "Modulator: switching voltage 0, the drive is ignored";
constexpr float kHalfPiF = 1.5707964f;
constexpr float kDarkPower = 0.0001f;  // power below which the chirp phase stops following ln P [mW]

void set_up(const OamodParams& p, const InputWindow& in, TimeWindow& out, const OpticalSignal& laser,
            OpticalSignal& sig) {
    sig.x = empty_field();
    sig.y = empty_field();
    const float loss = std::pow(10.0f, 0.1f * p.insertion_loss);
    const float inv_loss = 1.0f / loss;
    const float field2 = p.spectral_field_factor * p.spectral_field_factor;
    for (int i = 0; i < kBins; ++i) sig.ps[static_cast<std::size_t>(i)] = laser.ps[static_cast<std::size_t>(i)] * inv_loss * field2;
    sig.iv = laser.iv;
    if (optcl_ctrl.setuponly == 1) return;
    sig.gd = laser.gd;
    if (laser.iv == 0) {
        sig.pp = 0.0f;
        return;
    }
    if (p.symmetry < 0.0f || p.symmetry > 1.0f) opxerr(kBadSymmetry);
    if (p.switching_voltage == 0.0f) opxerr(kNoSwitching);
    sig.pp = laser.pp / loss;
    group_delay_window(in, sig.gd.data(), least_group_delay(laser.gd.data()), out);
    const std::int32_t pos = claim_state(kModulatorState).loss;
    if (zzsupv.storephase == 1 && zzflmn.nohist == 0) *hist_at(pos) = std::pow(10.0f, 0.05f * p.insertion_loss);
}

}  // namespace

void oamod(const OamodParams& p, const InputWindow& in, TimeWindow& out, const OpticalSignal& laser,
           const ElectricalSample& drive, OpticalSignal& sig) {
    if (zzctrl.pass == 0) {
        set_up(p, in, out, laser, sig);
        return;
    }
    if (optcl_ctrl.setuponly == 1) return;
    const float fc = f_vbs_band.fcenter;
    if (laser.iv == 0) {
        sig.x = empty_field();
        sig.y = empty_field();
        return;
    }
    const float g = *hist_at(claim_state(kModulatorState).loss);
    const float t = zzctrl.time;
    if (t < in.ton || t >= out.toff) {
        sig.x = empty_field();
        sig.y = empty_field();
        return;
    }
    // Field transfer (cos phi - j sqrt(1 - symmetry) sin phi) / g.
    const float phi =
        p.switching_voltage != 0.0f ? (drive.value - p.bias_voltage) * kHalfPiF / p.switching_voltage : 0.0f;
    const float asym = std::sqrt(std::clamp(1.0f - p.symmetry, 0.0f, 1.0f));
    const float tr = std::cos(phi) / g;
    const float ti = -asym * std::sin(phi) / g;
    float exr = laser.x.re * tr - laser.x.im * ti;
    float exi = laser.x.re * ti + laser.x.im * tr;
    float eyr = laser.y.re * tr - laser.y.im * ti;
    float eyi = laser.y.re * ti + laser.y.im * tr;
    if (p.chirp_factor != 0.0f) {
        // Phase 0.5 alpha ln P following the output power; dark samples take
        // the phase of the floor power.
        float power = exr * exr + exi * exi;
        if (optcl_ctrl.npol == 2) power += eyr * eyr + eyi * eyi;
        if (power <= kDarkPower) power = kDarkPower;
        const float angle = 0.5f * p.chirp_factor * std::log(power);
        const float cr = std::cos(angle);
        const float ci = std::sin(angle);
        const float xr = exr * cr - exi * ci;
        exi = exr * ci + exi * cr;
        exr = xr;
        const float yr = eyr * cr - eyi * ci;
        eyi = eyr * ci + eyi * cr;
        eyr = yr;
    }
    sig.x = FieldSample{exr, exi, fc};
    sig.y = optcl_ctrl.npol == 2 ? FieldSample{eyr, eyi, fc} : empty_field();
}

}  // namespace nodrix
