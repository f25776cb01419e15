// The pieces of the laser's phase-noise chain: the frequency modulator (the
// phase grows by the integral of its input, taken by half steps), the signal
// generator that forms a carrier from a phase, and the two-pole low-pass that
// shapes the frequency noise. The modulator and the low-pass keep their state
// as records of the block that owns them, claimed in its design and counted
// as the storage look-ups of the original routines were.
#pragma once

#include <cstdint>

#include "kernel/block.h"
#include "kernel/signals.h"

namespace nodrix {

// A signal of the electrical library: complex envelope (re, im) about a
// carrier [THz], or a real signal (re, 0) with carrier 0.
struct CarrierSample {
    float re = 0.0f;
    float im = 0.0f;
    float carrier = 0.0f;
};

// Carrier signal of the given amplitude and phase at the sample's time: the
// complex envelope (a cos phase, a sin phase, carrier) when the carrier
// exceeds 0.2 / time step, otherwise the real signal
// a cos(phase + 2 pi carrier time) with carrier 0 (siggen).
void siggen(const RunContext& ctx, float carrier, float amplitude, float phase, CarrierSample& out);

// The carrier and amplitude the modulator keeps and its current phase.
struct FmPhase {
    float carrier = 0.0f;
    float amplitude = 0.0f;
    float phase = 0.0f;
};

// Frequency modulator (fremod_phase): phase = initial phase + sensitivity x
// the running integral of the input, started at `start`. The run's first
// sample (time 0) keeps its arguments, which later samples use, and reports
// kernel error 15090 when the carrier is below 0.2 / time step and 15091
// when the input is not a baseband signal (carrier word non-zero). The
// integral (intgrl) adds time step x input / 2 on every sample and, on every
// sample but the first, the second half step after the value returned, which
// so trails the integral by half a step.
class FrequencyModulator {
public:
    // Five reals (carrier, amplitude, initial phase, start, sensitivity),
    // then the running integral, a double so that a long run keeps the
    // small phase steps.
    void claim(StateClaims& state);
    FmPhase phase(const RunContext& ctx, float carrier, float amplitude, float phase, float start, float sensitivity,
                  const ElectricalSample& input);

private:
    float integrate(const RunContext& ctx, float start, float input);
    State<float> kept_;
    State<double> integral_;
};

// Two-pole low-pass of unit gain at zero frequency (twopol) with the poles
// pole_re +- j pole_im [rad/ps], pole_re < 0; the poles map to
// exp(pole x time step) on the run's first sample. A pole that is not in the
// left half-plane passes the input unchanged.
class TwoPoleLowPass {
public:
    // Five doubles: b0, a1, a2 of y = b0 x + a1 y' + a2 y'', and y', y''.
    void claim(StateClaims& state);
    float filter(const RunContext& ctx, float pole_re, float pole_im, float input);

private:
    State<double> values_;
};

}  // namespace nodrix
