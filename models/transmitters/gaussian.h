// The shared random generators of the optical models: the uniform generator
// tsrn01 (one state word shared by all its callers; tsrn02 to tsrn05 are
// copies with their own state) and the Gaussian generator built on it.
#pragma once

#include <cstdint>

#include "kernel/block.h"
#include "kernel/signals.h"

namespace nodrix {

struct UniformState;

// Next uniform number in (0, 1) of copy 1..5, drawn at sample `step` of a
// run (0 before the samples). The state is seeded from `seed` on the first
// call and once at step 1, so that every run starts its stream anew.
float tsrn01(std::int32_t seed, std::int32_t step);
float tsrn02(std::int32_t seed, std::int32_t step);
float tsrn03(std::int32_t seed, std::int32_t step);
float tsrn04(std::int32_t seed, std::int32_t step);
float tsrn05(std::int32_t seed, std::int32_t step);

// One step of the generator's recurrence on a state word (32-bit wrap-around
// arithmetic); returns the new state.
std::int32_t tsrn_step(std::int32_t x);
// Initial state for a seed: 2 seed - 1, with 1 replaced by 3173.
std::int32_t tsrn_seed_state(std::int32_t seed);

// Resets the run's uniform states (tests). Each run of the program (its
// RunState) has streams of its own, started anew.
void reset_uniform_generators();

// The Gaussian generator gausrr as state a block owns (a laser's phase noise,
// a photodiode's shot noise): Box-Muller pairs on the shared stream of
// tsrn01, seeded from the seed word the run's topology word selects, its
// records claimed where the block's design claims them (three reals, one
// integer).
class GaussianSource {
public:
    void claim(StateClaims& state);
    // One sample of the given mean and deviation. The first sample of a run
    // (time 0) keeps the statistics and starts without a spare value.
    float draw(const RunContext& ctx, float mean, float deviation);
    // For a block that no longer uses the values (a laser after its window):
    // the same draws from the shared stream and the spare flag toggled, but
    // no value formed (no logarithm, root or trigonometry).
    void draw_only(const RunContext& ctx);

private:
    // The first uniform stream of the run, found when the block claims its
    // state, so that the samples draw without looking the run up.
    UniformState& stream();
    State<float> reals_;        // stored mean, stored deviation, the spare value
    State<std::int32_t> spare_;  // 1 while the spare value is unused
    UniformState* stream_ = nullptr;
};

}  // namespace nodrix
