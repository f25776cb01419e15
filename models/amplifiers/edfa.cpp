#include "models/amplifiers/edfa.h"

#include <cmath>

#include "kernel/control_blocks.h"
#include "kernel/storage.h"
#include "models/amplifiers/amplifier_noise.h"
#include "models/amplifiers/edfa_profile.h"
#include "runtime/opxfile.h"

namespace nodrix {
namespace {

constexpr float kW2mW = 1e15f;  // W/Hz to mW/THz, in single precision as the model uses it

bool outside_window(const InputWindow& in, const TimeWindow& out) {
    const float t = zzctrl.time;
    return (t > 0.0f && t < in.ton) || t >= out.toff;
}

void empty_outputs(OpticalSignal& sout) {
    sout.x = empty_field();
    sout.y = empty_field();
}

// The flat model's own state, after the noise pair's (when noise is on).
struct FlatState {
    std::int32_t values;
};
constexpr StateSlot<FlatState> kFlatState[] = {
    {&FlatState::values, SlotKind::real, 3},  // field gain g, inversion factor n_sp, ASE density S [mW/THz]
};

// The fixed-power amplifier's gain [dB], fixed in the initialisation pass,
// claimed before the flat model's state.
struct FixedGainState {
    std::int32_t gain;
};
constexpr StateSlot<FixedGainState> kFixedGainState[] = {{&FixedGainState::gain, SlotKind::real, 1}};

// The storage requests of the flat model's per-sample call.
void flat_reserve(const OpticalSignal& sout) {
    if (sout.iv == 0) return;
    if (optcl_ctrl.optaux1 == 0) wgn2an_reserve();
    claim_state(kFlatState);
}

// Per-sample pass of the flat model: g x + sqrt(S) z on each polarisation.
void flat_sample(const InputWindow& in, const TimeWindow& out, const OpticalSignal& sin, OpticalSignal& sout) {
    if (sout.iv == 0) {
        empty_outputs(sout);
        return;
    }
    const bool noise = optcl_ctrl.optaux1 == 0;
    FieldSample z1;
    FieldSample z2;
    if (noise) wgn2an(f_vbs_band.fcenter, z1, z2);
    const float* slot = hist_at(claim_state(kFlatState).values);
    const float t = zzctrl.time;
    if (!(in.ton <= t && t < out.toff)) {
        empty_outputs(sout);
        return;
    }
    const float g = slot[0];
    if (noise) {
        const float a = std::sqrt(slot[2]);
        sout.x = FieldSample{g * sin.x.re + a * z1.re, g * sin.x.im + a * z1.im, sin.x.fcenter};
        if (optcl_ctrl.npol == 2)
            sout.y = FieldSample{g * sin.y.re + a * z2.re, g * sin.y.im + a * z2.im, sin.y.fcenter};
    } else {
        sout.x = FieldSample{g * sin.x.re, g * sin.x.im, sin.x.fcenter};
        if (optcl_ctrl.npol == 2) sout.y = FieldSample{g * sin.y.re, g * sin.y.im, sin.y.fcenter};
    }
}

// Fixed output power: the gain [dB] chosen from the input spectrum.
float fixed_power_gain_db(const OampfpParams& p, const OpticalSignal& sin) {
    float p_in = 0.0f;
    for (float v : sin.ps) p_in += v;
    const float n_sp = p.noise_off == 1 ? 0.0f : 0.5f * p.noise_figure;
    const float a = static_cast<float>(n_sp * kPlanck * f_vbs_band.fcenter * optcl_ctrl.npol *
                                       (flimit.fgridhi - flimit.fgridlo) * kW2mW);
    const float g_max = std::pow(10.0f, 0.1f * p.max_gain);
    return 10.0f * std::log10(fixed_power_gain(p_in, a, p.output_power, g_max));
}

}  // namespace

bool fixed_power_target_usable(float output_power, const InputWindow& in, TimeWindow& out,
                               const OpticalSignal& sin, OpticalSignal& sout) {
    if (output_power > 0.0f) return true;
    opxerr("Fixed output power optical amplifier. ");
    opxinfo("   The target output power must be positive.");
    opxinfo("   Simulation will proceed, but the branch ");
    opxinfo("   after this block will be turned off");
    empty_outputs(sout);
    sout.ps.fill(0.0f);
    sout.pp = 0.0f;
    sout.iv = 0;
    sout.gd = sin.gd;
    group_delay_window(in, sout.gd.data(), least_group_delay(sin.gd.data()), out);
    return false;
}

float flat_ase_density(float power_gain, float n_sp, float fc) {
    const float s = static_cast<float>((power_gain - 1.0f) * n_sp * kPlanck * fc * kW2mW);
    return s < 0.0f ? 0.0f : s;
}

float fixed_power_gain(float p_in, float a, float target, float g_max) {
    const float denominator = p_in + a;
    if (!(denominator > 0.0f)) return g_max;
    float g = (target + a) / denominator;
    // Below unit gain no ASE is added, so the signal alone has to meet the
    // target: G p_in = target.
    if (g < 1.0f && p_in > 0.0f) g = target / p_in;
    return g <= g_max ? g : g_max;
}

void fg_flat(float gain, float noise_figure, std::int32_t noise_off, const InputWindow& in, TimeWindow& out,
             const OpticalSignal& sin, OpticalSignal& sout) {
    if (zzctrl.pass != 0) {
        flat_sample(in, out, sin, sout);
        return;
    }
    sout.iv = sin.iv;
    std::int32_t slot = 0;
    if (sout.iv != 0) {
        if (optcl_ctrl.optaux1 == 0) {
            FieldSample z1;
            FieldSample z2;
            wgn2an(f_vbs_band.fcenter, z1, z2);  // reserves its slots only
        }
        slot = claim_state(kFlatState).values;
    }
    const float g = std::pow(10.0f, 0.05f * gain);
    const float power_gain = g * g;
    const float n_sp = noise_off == 1 ? 0.0f : 0.5f * noise_figure;
    const float s = flat_ase_density(power_gain, n_sp, f_vbs_band.fcenter);

    const float npol = static_cast<float>(optcl_ctrl.npol);
    const float ase_per_bin = npol * s * (flimit.fgridhi - flimit.fgridlo) / 1024.0f;
    for (int i = 0; i < kBins; ++i) sout.ps[i] = power_gain * sin.ps[i] + ase_per_bin;
    if (optcl_ctrl.setuponly != 0) return;

    sout.gd = sin.gd;
    // 0.8 / dt is the simulated bandwidth: the ASE power the field carries.
    sout.pp = optcl_ctrl.optaux1 == 0 ? power_gain * sin.pp + npol * (0.8f / zzctrl.delt) * s
                                      : power_gain * sin.pp;
    group_delay_window(in, sout.gd.data(), least_group_delay(sin.gd.data()), out);
    if (zzflmn.nohist == 0 && sout.iv != 0) {
        float* st = hist_at(slot);
        st[0] = g;
        st[1] = n_sp;
        st[2] = s;
    }
}

namespace {

// The front shared by both blocks; true when the call ends here. Set-up
// only: the descriptors, never a sample. A turned-off branch stays off. Outside
// the window, iv out keeps the value of the initialisation pass (which may
// have turned the branch off), and since the kernel hands records out in call
// order the block still makes its requests (the fixed-power gain slot first
// when `gain_slot`), so that the blocks after it find their own.
bool done_before_model(bool flat, bool gain_slot, const InputWindow& in, const TimeWindow& out,
                       const OpticalSignal& sin, OpticalSignal& sout) {
    if (optcl_ctrl.setuponly != 0) {
        if (zzctrl.pass == 0) return false;
        empty_outputs(sout);
        return true;
    }
    if (sin.iv == 0) {
        empty_outputs(sout);
        sout.iv = 0;
        return true;
    }
    if (zzctrl.pass == 0 || !outside_window(in, out)) return false;
    empty_outputs(sout);
    if (flat) {
        if (gain_slot) claim_state(kFixedGainState);
        flat_reserve(sout);
    } else {
        gain_dep_reserve(sout);
    }
    return true;
}

}  // namespace

void oampfg(const OampfgParams& p, const InputWindow& in, TimeWindow& out, const OpticalSignal& sin,
            OpticalSignal& sout) {
    const bool flat = p.gain >= 0.0f && p.noise_figure >= 0.0f;
    if (done_before_model(flat, false, in, out, sin, sout)) return;
    if (flat)
        fg_flat(p.gain, p.noise_figure, p.noise_off, in, out, sin, sout);
    else
        fg_gain_dep(p, in, out, sin, sout);
}

void oampfp(const OampfpParams& p, const InputWindow& in, TimeWindow& out, const OpticalSignal& sin,
            OpticalSignal& sout) {
    const bool flat = p.max_gain >= 0.0f && p.noise_figure >= 0.0f;
    if (done_before_model(flat, true, in, out, sin, sout)) return;
    if (!flat) {
        fp_gain_dep(p, in, out, sin, sout);
        return;
    }
    const std::int32_t slot = claim_state(kFixedGainState).gain;
    if (zzctrl.pass != 0) {
        fg_flat(*hist_at(slot), p.noise_figure, p.noise_off, in, out, sin, sout);
        return;
    }
    if (!fixed_power_target_usable(p.output_power, in, out, sin, sout)) return;
    const float gain_db = fixed_power_gain_db(p, sin);
    fg_flat(gain_db, p.noise_figure, p.noise_off, in, out, sin, sout);
    if (optcl_ctrl.setuponly == 0 && zzflmn.nohist == 0) *hist_at(slot) = gain_db;
}

}  // namespace nodrix
