#include "models/transmitters/frequency_modulation.h"

#include <cmath>

#include "kernel/lib00.h"
#include "numerics/constants.h"

namespace nodrix {
namespace {

constexpr std::int32_t kErrCarrier = 15090;   // carrier too low for the envelope form
constexpr std::int32_t kErrBaseband = 15091;  // modulating input is not a baseband signal

enum : std::size_t { kCarrier = 0, kAmplitude = 1, kPhase = 2, kStart = 3, kSensitivity = 4 };
enum : std::size_t { kB0 = 0, kA1 = 1, kA2 = 2, kY1 = 3, kY2 = 4 };

bool first_sample(const RunContext& ctx) { return ctx.time() <= 0.0f; }

}  // namespace

void siggen(const RunContext& ctx, float carrier, float amplitude, float phase, CarrierSample& out) {
    if (carrier > 0.2f / ctx.time_step()) {
        out.re = amplitude * std::cos(phase);
        out.im = amplitude * std::sin(phase);
        out.carrier = carrier;
        return;
    }
    // Real carrier signal; the carrier's cycles are reduced to a fraction
    // first so that the phase keeps its precision at large times.
    const double cycles = static_cast<double>(carrier) * static_cast<double>(ctx.time());
    const double angle = static_cast<double>(phase) + kTwoPi * (cycles - std::trunc(cycles));
    out.re = static_cast<float>(static_cast<double>(amplitude) * std::cos(angle));
    out.im = 0.0f;
    out.carrier = 0.0f;
}

void FrequencyModulator::claim(StateClaims& state) {
    state.claim(kept_, 5);
    state.claim(integral_, 1);
}

float FrequencyModulator::integrate(const RunContext& ctx, float start, float input) {
    double& sum = integral_[0];
    const double half = 0.5 * static_cast<double>(ctx.time_step()) * static_cast<double>(input);
    if (first_sample(ctx)) {
        sum = static_cast<double>(start) + half;
        return static_cast<float>(sum);
    }
    sum += half;
    const auto out = static_cast<float>(sum);
    sum += half;
    return out;
}

FmPhase FrequencyModulator::phase(const RunContext& ctx, float carrier, float amplitude, float phase, float start,
                                  float sensitivity, const ElectricalSample& input) {
    float* st = kept_.data();
    if (first_sample(ctx)) {
        st[kCarrier] = carrier;
        st[kAmplitude] = amplitude;
        st[kPhase] = phase;
        st[kStart] = start;
        st[kSensitivity] = sensitivity;
        if (carrier < 0.2f / ctx.time_step()) tsedet(kErrCarrier);
        if (input.w3 != 0.0f) tsedet(kErrBaseband);
    }
    const float integral = integrate(ctx, st[kStart], input.value);
    return FmPhase{st[kCarrier], st[kAmplitude], st[kPhase] + st[kSensitivity] * integral};
}

void TwoPoleLowPass::claim(StateClaims& state) { state.claim(values_, 5); }

float TwoPoleLowPass::filter(const RunContext& ctx, float pole_re, float pole_im, float input) {
    double* st = values_.data();
    if (first_sample(ctx)) {
        // Pole-matched recursion with its gain set for unit response at zero
        // frequency; an unusable pole leaves the input unchanged.
        if (pole_re < 0.0f && std::isfinite(pole_re) && std::isfinite(pole_im)) {
            const auto dt = static_cast<double>(ctx.time_step());
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
