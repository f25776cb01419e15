// The ASE noise source of the amplifiers: ten uniform streams every amplifier
// of a run draws from (optrnd)
// and the complex Gaussian pair generator built on them (wgn2an, as the
// state an amplifier owns).
#pragma once

#include <array>
#include <cstdint>

#include "kernel/block.h"
#include "kernel/signals.h"

namespace nodrix {

// One uniform number of stream k (1..10): x <- a_k x mod (2^31 - 1), value
// x * 4.656613e-10 in single precision. A counter above 1 re-arms the stream;
// the first call with counter 1 after that reseeds it from `seed` (2 seed - 1,
// with 1 replaced by 3173 for streams 1-5 and 1234 for streams 6-10). A stream
// never seeded is seeded on its first call whatever the counter.
// The streams, one set per run (RunContext::shared): the amplifiers take
// their numbers from them in the order of the schedule.
struct AmplifierStreams {
    struct Stream {
        std::int32_t x = 0;
        bool valid = false;     // the state holds a value of the recurrence
        bool reseeded = false;  // set by the reseed at counter 1, cleared by any later counter
    };
    std::array<Stream, 10> streams{};
};
float optrnd(AmplifierStreams& streams, std::int32_t stream, std::int32_t counter, std::int32_t seed);

// Starting state of stream k for a seed (the value before the first step).
std::int32_t optrnd_seed_state(std::int32_t stream, std::int32_t seed);

// The complex Gaussian pair generator as state a declared amplifier owns: the
// numbers wgn2an gives, its records (the component deviation, four stream
// numbers, four seeds) claimed where the amplifier's design claims them.
class AseNoiseSource {
public:
    void claim(StateClaims& state);
    // Two samples whose real components each have variance 0.5 / dt, as field
    // samples at the band centre, from the run's amplifier streams. The first
    // sample of a run (time 0) fixes the deviation, the four streams and
    // their seeds.
    void draw(const RunContext& ctx, FieldSample& z1, FieldSample& z2);

private:
    State<float> sigma_;
    State<std::int32_t> streams_;
    State<std::int32_t> seeds_;
};

}  // namespace nodrix
