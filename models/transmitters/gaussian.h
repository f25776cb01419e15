// The shared random generators of the optical models: the uniform generator
// tsrn01 (one state word shared by all its callers; tsrn02 to tsrn05 are
// copies with their own state) and the Gaussian generator gausrr built on it.
#pragma once

#include <cstdint>

#include "kernel/block.h"
#include "kernel/signals.h"

namespace nodrix {

// Next uniform number in (0, 1) of copy 1..5. The state is seeded from `seed`
// on the first call and once when zzctrl.step equals 1.
float tsrn01(std::int32_t seed);
float tsrn02(std::int32_t seed);
float tsrn03(std::int32_t seed);
float tsrn04(std::int32_t seed);
float tsrn05(std::int32_t seed);

// One step of the generator's recurrence on a state word (32-bit wrap-around
// arithmetic); returns the new state.
std::int32_t tsrn_step(std::int32_t x);
// Initial state for a seed: 2 seed - 1, with 1 replaced by 3173.
std::int32_t tsrn_seed_state(std::int32_t seed);

// Gaussian samples of the given mean and deviation (Box-Muller on tsrn01).
// Writes (value, 0, 0). Keeps per-instance state in kernel storage, claimed
// on every call.
void gausrr(float mean, float deviation, ElectricalSample& out);

// The storage claims of gausrr alone, for a call that must keep its place in
// the kernel's record walk without drawing.
void gausrr_reserve();
// gausrr for a caller that no longer uses the values: the same claims and the
// same draws from tsrn01 (which the generator's other callers share), and the
// spare-value flag toggled, but no value formed (no logarithm, root or
// trigonometry); the spare value kept is left as it was.
void gausrr_draws();

// Resets the shared uniform states (start of a process; tests).
void reset_uniform_generators();

// The Gaussian generator as state a declared block owns (a laser's phase
// noise, a photodiode's shot noise): the numbers gausrr gives, from the same
// shared uniform stream, its records claimed where the block's design claims
// them and counted as gausrr's look-ups are (three reals, one integer).
class GaussianSource {
public:
    void claim(StateClaims& state);
    // One sample of the given mean and deviation. The first sample of a run
    // (time 0) keeps the statistics and starts without a spare value.
    float draw(const RunContext& ctx, float mean, float deviation);
    // As gausrr_draws: the same draws from the shared stream and the spare
    // flag toggled, no value formed.
    void draw_only(const RunContext& ctx);

private:
    State<float> reals_;        // stored mean, stored deviation, the spare value
    State<std::int32_t> spare_;  // 1 while the spare value is unused
};

}  // namespace nodrix
