#include "models/transmitters/combiner.h"

#include <algorithm>

#include "kernel/control_blocks.h"

namespace nodrix {
namespace {

void set_up(const Ocmb04Params& p, const InputWindow& in, TimeWindow& out, const OpticalSignal* const (&inputs)[4],
            OpticalSignal& sig) {
    sig.x = empty_field();
    sig.y = empty_field();
    const float power_factor = p.afact * p.afact;
    for (std::size_t i = 0; i < kBins; ++i) {
        const float sum = inputs[0]->ps[i] + inputs[1]->ps[i] + inputs[2]->ps[i] + inputs[3]->ps[i];
        sig.ps[i] = sum * power_factor * p.sfact;
    }
    const std::int32_t flags = inputs[0]->iv + inputs[1]->iv + inputs[2]->iv + inputs[3]->iv;
    sig.iv = flags != 0 ? 1 : 0;
    if (optcl_ctrl.setuponly == 1) return;

    for (std::size_t i = 0; i < kBins; ++i)
        sig.gd[i] = std::max({inputs[0]->gd[i], inputs[1]->gd[i], inputs[2]->gd[i], inputs[3]->gd[i]});
    if (sig.iv == 0) {
        sig.pp = 0.0f;  // the window is left as it was
        return;
    }
    sig.pp = (inputs[0]->pp + inputs[1]->pp + inputs[2]->pp + inputs[3]->pp) * power_factor * p.pfact;
    // Delays relative to the earliest input component.
    float m = least_group_delay(inputs[0]->gd.data());
    for (int k = 1; k < 4; ++k) m = std::min(m, least_group_delay(inputs[k]->gd.data()));
    group_delay_window(in, sig.gd.data(), m, out);
}

}  // namespace

void ocmb04(const Ocmb04Params& p, const InputWindow& in, TimeWindow& out, const OpticalSignal& in1,
            const OpticalSignal& in2, const OpticalSignal& in3, const OpticalSignal& in4, OpticalSignal& sig) {
    if (zzctrl.pass == 0) {
        const OpticalSignal* const inputs[4] = {&in1, &in2, &in3, &in4};
        set_up(p, in, out, inputs, sig);
        return;
    }
    const float fc = f_vbs_band.fcenter;
    const float t = zzctrl.time;
    if (sig.iv == 0 || t < in.ton || t >= out.toff) {
        sig.x = empty_field();
        sig.y = empty_field();
        return;
    }
    const float a = p.afact;
    sig.x = FieldSample{(in1.x.re + in2.x.re + in3.x.re + in4.x.re) * a, (in1.x.im + in2.x.im + in3.x.im + in4.x.im) * a, fc};
    if (optcl_ctrl.npol == 2)
        sig.y = FieldSample{(in1.y.re + in2.y.re + in3.y.re + in4.y.re) * a,
                            (in1.y.im + in2.y.im + in3.y.im + in4.y.im) * a, fc};
    else
        sig.y = empty_field();
}

}  // namespace nodrix
