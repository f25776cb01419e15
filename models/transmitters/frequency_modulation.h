// The pieces of the electrical block library that the laser's phase-noise
// chain uses: the integrator intgrl, the signal generator siggen, the
// frequency modulator fremod built on both, and the two-pole low-pass twopol
// that shapes the frequency noise.
//
// Each piece claims its per-instance storage on every call, in both passes
// and always in the same order (fremod's own state before its intgrl's), so
// that a per-sample pass finds again the records of the initialisation pass;
// frequency_modulation.cpp declares each piece's state. kFremodStorageBytes
// and kTwopolStorageBytes are what the claims add to a block's memused while
// the kernel counts.
#pragma once

#include <cstdint>

#include "kernel/signals.h"

namespace nodrix {

inline constexpr std::int32_t kFremodReals = 5;
inline constexpr std::int32_t kIntgrlDoubles = 1;
inline constexpr std::int32_t kTwopolDoubles = 5;
inline constexpr std::int32_t kFremodStorageBytes = (4 * kFremodReals + 8) + (8 * kIntgrlDoubles + 16);
inline constexpr std::int32_t kTwopolStorageBytes = 8 * kTwopolDoubles + 16;

// A signal of the electrical library: complex envelope (re, im) about a
// carrier [THz], or a real signal (re, 0) with carrier 0.
struct CarrierSample {
    float re = 0.0f;
    float im = 0.0f;
    float carrier = 0.0f;
};

// Running integral of `input` over time, starting at `start` on the first run
// call (time <= 0), by half steps: each call adds delt * input / 2 and
// returns the sum; every call but the first then adds the second half step,
// so the value returned trails the integral by half a step. Returns `start`
// in the initialisation pass.
float intgrl(float start, float input);

// Carrier signal of the given amplitude and phase: the complex envelope
// (a cos phase, a sin phase, carrier) when the carrier exceeds 0.2 / delt,
// otherwise the real signal a cos(phase + 2 pi carrier time) with carrier 0.
void siggen(float carrier, float amplitude, float phase, CarrierSample& out);

// Frequency modulator: phase = initial phase + sensitivity x the integral of
// the input (started at `start`), handed to siggen. The first run call keeps
// its arguments (later calls use the kept values) and reports kernel error
// 15090 when the carrier is below 0.2 / delt and 15091 when the input is not
// a baseband signal (carrier word non-zero). Zero output in the
// initialisation pass.
void fremod(float carrier, float amplitude, float phase, float start, float sensitivity,
            const ElectricalSample& input, CarrierSample& out);

// fremod without its signal generator, for callers that form the signal
// themselves: the same storage, checks and integration; returns the kept
// carrier and amplitude and the current phase (zeros in the initialisation
// pass).
struct FmPhase {
    float carrier = 0.0f;
    float amplitude = 0.0f;
    float phase = 0.0f;
};
FmPhase fremod_phase(float carrier, float amplitude, float phase, float start, float sensitivity,
                     const ElectricalSample& input);
// The storage claims of fremod_phase (its own state, then its integrator's)
// and of twopol, without their work: for a caller that keeps its place in
// the kernel's record walk on a sample whose phase it does not use.
void fremod_reserve();
void twopol_reserve();

// Two-pole low-pass of unit gain at zero frequency with the poles
// pole_re +- j pole_im [rad/ps], pole_re < 0; the poles map to exp(pole delt)
// on the first run call. A pole that is not in the left half-plane passes the
// input unchanged. Zero output in the initialisation pass.
float twopol(float pole_re, float pole_im, float input);

}  // namespace nodrix
