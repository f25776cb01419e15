#include "models/transmitters/frequency_modulation.h"

#include <cmath>

#include "kernel/control_blocks.h"
#include "kernel/lib00.h"
#include "kernel/storage.h"

namespace nodrix {
namespace {

constexpr std::int32_t kErrCarrier = 15090;   // carrier too low for the envelope form
constexpr std::int32_t kErrBaseband = 15091;  // modulating input is not a baseband signal

enum : std::size_t { kCarrier = 0, kAmplitude = 1, kPhase = 2, kStart = 3, kSensitivity = 4 };
enum : std::size_t { kB0 = 0, kA1 = 1, kA2 = 2, kY1 = 3, kY2 = 4 };

bool first_run_call() { return zzctrl.time <= 0.0f; }

// The state of each piece: one slot each.
struct PieceState {
    std::int32_t values;
};
constexpr StateSlot<PieceState> kIntgrlState[] = {
    // the running integral (double, so that a long run does not lose the small phase steps)
    {&PieceState::values, SlotKind::real_double, kIntgrlDoubles},
};
constexpr StateSlot<PieceState> kFremodState[] = {
    // carrier, amplitude, initial phase, start value, sensitivity
    {&PieceState::values, SlotKind::real, kFremodReals},
};
constexpr StateSlot<PieceState> kTwopolState[] = {
    // b0, a1, a2 of the recursion y = b0 x + a1 y' + a2 y'', and the past outputs y', y''
    {&PieceState::values, SlotKind::real_double, kTwopolDoubles},
};

}  // namespace

float intgrl(float start, float input) {
    const std::int32_t pos = claim_state(kIntgrlState).values;
    if (zzctrl.pass == 0) return start;
    double& sum = *dist_at(pos);
    const double half = 0.5 * static_cast<double>(zzctrl.delt) * static_cast<double>(input);
    if (first_run_call()) {
        sum = static_cast<double>(start) + half;
        return static_cast<float>(sum);
    }
    sum += half;
    const auto out = static_cast<float>(sum);
    sum += half;
    return out;
}

void siggen(float carrier, float amplitude, float phase, CarrierSample& out) {
    if (carrier > 0.2f / zzctrl.delt) {
        out.re = amplitude * std::cos(phase);
        out.im = amplitude * std::sin(phase);
        out.carrier = carrier;
        return;
    }
    // Real carrier signal; the carrier's cycles are reduced to a fraction
    // first so that the phase keeps its precision at large times.
    const double cycles = static_cast<double>(carrier) * static_cast<double>(zzctrl.time);
    const double angle = static_cast<double>(phase) + kTwoPi * (cycles - std::trunc(cycles));
    out.re = static_cast<float>(static_cast<double>(amplitude) * std::cos(angle));
    out.im = 0.0f;
    out.carrier = 0.0f;
}

FmPhase fremod_phase(float carrier, float amplitude, float phase, float start, float sensitivity,
                     const ElectricalSample& input) {
    const std::int32_t pos = claim_state(kFremodState).values;
    if (zzctrl.pass == 0) {
        intgrl(start, 0.0f);
        return FmPhase{};
    }
    float* st = hist_at(pos);
    if (first_run_call()) {
        st[kCarrier] = carrier;
        st[kAmplitude] = amplitude;
        st[kPhase] = phase;
        st[kStart] = start;
        st[kSensitivity] = sensitivity;
        if (carrier < 0.2f / zzctrl.delt) tsedet(kErrCarrier);
        if (input.w3 != 0.0f) tsedet(kErrBaseband);
    }
    const float integral = intgrl(st[kStart], input.value);
    return FmPhase{st[kCarrier], st[kAmplitude], st[kPhase] + st[kSensitivity] * integral};
}

void fremod_reserve() {
    claim_state(kFremodState);
    claim_state(kIntgrlState);
}

void twopol_reserve() { claim_state(kTwopolState); }

void fremod(float carrier, float amplitude, float phase, float start, float sensitivity,
            const ElectricalSample& input, CarrierSample& out) {
    const FmPhase fm = fremod_phase(carrier, amplitude, phase, start, sensitivity, input);
    if (zzctrl.pass == 0) {
        out = CarrierSample{};
        return;
    }
    siggen(fm.carrier, fm.amplitude, fm.phase, out);
}

float twopol(float pole_re, float pole_im, float input) {
    const std::int32_t pos = claim_state(kTwopolState).values;
    if (zzctrl.pass == 0) return 0.0f;
    double* st = dist_at(pos);
    if (first_run_call()) {
        // Pole-matched recursion with its gain set for unit response at zero
        // frequency; an unusable pole leaves the input unchanged.
        if (pole_re < 0.0f && std::isfinite(pole_re) && std::isfinite(pole_im)) {
            const auto dt = static_cast<double>(zzctrl.delt);
            const double r = std::exp(static_cast<double>(pole_re) * dt);
            st[kA1] = 2.0 * r * std::cos(static_cast<double>(pole_im) * dt);
            st[kA2] = -r * r;
            st[kB0] = 1.0 - st[kA1] - st[kA2];
        } else {
            st[kB0] = 1.0;
            st[kA1] = 0.0;
            st[kA2] = 0.0;
        }
        st[kY1] = 0.0;
        st[kY2] = 0.0;
    }
    const double y = st[kB0] * static_cast<double>(input) + st[kA1] * st[kY1] + st[kA2] * st[kY2];
    st[kY2] = st[kY1];
    st[kY1] = y;
    return static_cast<float>(y);
}

}  // namespace nodrix
