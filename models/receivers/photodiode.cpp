#include "models/receivers/photodiode.h"

#include <cmath>

#include "kernel/control_blocks.h"
#include "kernel/storage.h"
#include "models/transmitters/gaussian.h"
#include "runtime/opxfile.h"

namespace nodrix {

float photod_scaled_responsivity(float responsivity) { return 0.001f * responsivity; }

float photod_shot_factor(float avalanche_gain, float excess_noise_exponent) {
    // 2e12 is held as the single-precision value 1999999991808.
    return static_cast<float>(kElementaryCharge) * std::pow(avalanche_gain, 2.0f + excess_noise_exponent) *
           1999999991808.0f;
}

double photod_shot_deviation(float avalanche_gain, float excess_noise_exponent, double current_a,
                             double time_step_ps) {
    if (!(avalanche_gain > 0.0f) || !(time_step_ps > 0.0) || !(current_a > 0.0)) return 0.0;
    const double before_gain = current_a / avalanche_gain;
    return std::sqrt(photod_shot_factor(avalanche_gain, excess_noise_exponent) * before_gain * 0.5 / time_step_ps);
}

float optical_sample_power(const FieldSample& x, const FieldSample& y, std::int32_t npol) {
    float p = x.re * x.re + x.im * x.im;
    if (npol != 1) p += y.re * y.re + y.im * y.im;
    return p;
}

namespace {

void check_parameters(const PhotodParams& p) {
    if (p.responsivity < 0.0f) opxerr("Photodiode: the responsivity must not be negative");
    if (p.dark_current < 0.0f) opxerr("Photodiode: the dark current must not be negative");
    if (!(p.avalanche_gain > 0.0f)) opxerr("Photodiode: the avalanche gain must be positive");
}

// The state of one photodiode, kept while its input is in band.
struct DiodeState {
    std::int32_t factors;
};
constexpr StateSlot<DiodeState> kDiodeState[] = {
    {&DiodeState::factors, SlotKind::real, 2},  // scaled responsivity, shot-noise factor
};

}  // namespace

void photod(const PhotodParams& p, const InputWindow& in, TimeWindow& out, const OpticalSignal& sig,
            ElectricalSample& current) {
    // Storage walk, identical in both passes: the two factors while the input
    // is in band, then the Gaussian generator's own records when shot noise
    // is on.
    const bool active = optcl_ctrl.setuponly == 0;
    const bool in_band = sig.iv != 0;
    const bool noisy = p.shot_noise == 1;
    const std::int32_t h = (active && in_band) ? claim_state(kDiodeState).factors : 0;

    if (zzctrl.pass == 0) {
        current = ElectricalSample{};
        if (!active) return;
        check_parameters(p);
        group_delay_window(in, sig.gd.data(), least_group_delay(sig.gd.data()), out);
        if (in_band && zzflmn.nohist == 0) {
            float* st = hist_at(h);
            st[0] = photod_scaled_responsivity(p.responsivity);
            st[1] = photod_shot_factor(p.avalanche_gain, p.excess_noise_exponent);
        }
        if (noisy) {
            ElectricalSample n;
            gausrr(0.0f, 1.0f, n);
        }
        return;
    }

    current = ElectricalSample{};
    if (!active) return;
    const float t = zzctrl.time;
    const bool lit = in_band && t >= in.ton && t < out.toff;
    ElectricalSample n;
    if (noisy) {
        // The generator is drawn only while light arrives, and on the first
        // call of the run (t <= 0), which sets it up; on the other samples its
        // records are passed over so that the blocks after this one find their own.
        if (lit || t <= 0.0f) {
            gausrr(0.0f, 1.0f, n);
        } else {
            gausrr_reserve();
        }
    }
    if (!lit) return;

    const float* st = hist_at(h);
    const float m = p.avalanche_gain;
    float i0 = st[0] * optical_sample_power(sig.x, sig.y, optcl_ctrl.npol);
    float i;
    if (noisy) {
        i0 += 1e-9f * p.dark_current;
        // Shot noise of variance 2 q M^2 F I0 B over the simulation bandwidth
        // B = 1 / (2 dt), added after the multiplication.
        const float variance = st[1] * i0 * 0.5f / zzctrl.delt;
        const float s = variance > 0.0f ? std::sqrt(variance) : 0.0f;
        i = s * n.value + m * i0;
    } else {
        i = (i0 + 1e-9f * p.dark_current) * m;
    }
    // A current cannot flow backwards through the diode (this also turns -0
    // into +0).
    current.value = i > 0.0f ? i : 0.0f;
}

}  // namespace nodrix
