#include "models/transmitters/gaussian.h"

#include <array>
#include <cmath>

#include "xu/run_state.h"

namespace nodrix {

struct UniformState {
    std::int32_t x = 0;
    bool seeded = false;  // the first call seeds
    bool mark = false;    // set at step 1 so that the step-1 reseed happens once
};

namespace {

// The five streams of a run of the program, shared by every block that draws
// from them.
struct UniformStreams {
    std::array<UniformState, 5> states{};
};

UniformStreams& run_streams() { return current_run_state().part<UniformStreams>(); }

float uniform(UniformState& s, std::int32_t seed, std::int32_t step) {
    if (step >= 2) s.mark = false;
    if (!s.seeded || (step == 1 && !s.mark)) {
        s.x = tsrn_seed_state(seed);
        s.seeded = true;
        if (step == 1) s.mark = true;
    }
    s.x = tsrn_step(s.x);
    return static_cast<float>(s.x) * 4.656613e-10f;
}

}  // namespace

std::int32_t tsrn_seed_state(std::int32_t seed) {
    const std::int32_t x = static_cast<std::int32_t>(2u * static_cast<std::uint32_t>(seed) - 1u);
    // A state that is a multiple of the modulus 2^31 - 1 would stay 0 for ever
    // (and the Gaussian generator, which waits for a value above 0, would never
    // return): it is replaced like the fixed point 1.
    if (x == 1 || x % 2147483647 == 0) return 3173;
    return x;
}

std::int32_t tsrn_step(std::int32_t x) {
    // For a state in 1 .. 2^31 - 2 (every state after the first step) the
    // recurrence below is x 65539 modulo the prime 2^31 - 1, taken here with
    // one 64-bit product and a Mersenne reduction.
    if (x > 0 && x < 2147483647) {
        const std::uint64_t p = 65539u * static_cast<std::uint64_t>(x);
        std::uint64_t r = (p & 0x7fffffffu) + (p >> 31);
        if (r >= 0x7fffffffu) r -= 0x7fffffffu;
        return static_cast<std::int32_t>(r);
    }
    // 32-bit arithmetic with wrap-around, done in unsigned to keep it defined.
    auto wrap = [](std::int64_t v) { return static_cast<std::int32_t>(static_cast<std::uint32_t>(v)); };
    const std::int32_t q = x / 32767;
    const std::int32_t r = x % 32767;
    const std::int32_t a = wrap(std::int64_t{r} * 65539);
    const std::int32_t b = wrap(std::int64_t{q} * 32766 - 2147483647);
    std::int32_t c = wrap(std::int64_t{a} - 2147483647);
    if (c < 0 && b < 0) c = a;
    std::int32_t next = wrap(std::int64_t{b} + c);
    if (next < 0) next = wrap(std::int64_t{next} + 2147483647);
    return next;
}

float tsrn01(std::int32_t seed, std::int32_t step) { return uniform(run_streams().states[0], seed, step); }
float tsrn02(std::int32_t seed, std::int32_t step) { return uniform(run_streams().states[1], seed, step); }
float tsrn03(std::int32_t seed, std::int32_t step) { return uniform(run_streams().states[2], seed, step); }
float tsrn04(std::int32_t seed, std::int32_t step) { return uniform(run_streams().states[3], seed, step); }
float tsrn05(std::int32_t seed, std::int32_t step) { return uniform(run_streams().states[4], seed, step); }

void reset_uniform_generators() { run_streams() = {}; }

namespace {

// Next number of the first stream (tsrn01's) strictly between 0 and 1. A
// generator stuck at 0 (only a degenerate seed state gets there) gives 0.5
// instead of a hang.
float open_uniform(UniformState& stream, const RunContext& ctx, std::int32_t seed) {
    for (int tries = 0; tries < 1000; ++tries) {
        const float u = uniform(stream, seed, ctx.step());
        if (u > 0.0f && u < 1.0f) return u;
    }
    return 0.5f;
}

// Seed word (4 r mod 10) + 1 of the topology word r, taken non-negative so
// that any topology word selects one of the ten seeds.
std::int32_t gaussian_seed(std::int32_t topology, const std::int32_t* seed_words) {
    return topology + seed_words[static_cast<std::size_t>(((4LL * topology) % 10 + 10) % 10)];
}
std::int32_t gaussian_seed(const RunContext& ctx) {
    return gaussian_seed(ctx.settings().topology, ctx.settings().seeds.data());
}

// A pair by Box-Muller: the first value, and the second kept in `spare`.
float box_muller(UniformState& stream, const RunContext& ctx, float mean, float deviation, float& spare) {
    const std::int32_t seed = gaussian_seed(ctx);
    const float u1 = open_uniform(stream, ctx, seed);
    const float u2 = open_uniform(stream, ctx, seed);
    const float rho = std::sqrt(-2.0f * std::log(u1));
    const float angle = 6.2831855f * u2;
    spare = rho * std::sin(angle);
    return rho * std::cos(angle) * deviation + mean;
}

}  // namespace

void GaussianSource::claim(StateClaims& state) {
    state.claim(reals_, 3);
    state.claim(spare_, 1);
    stream_ = &run_streams().states[0];
}

UniformState& GaussianSource::stream() {
    if (stream_ == nullptr) stream_ = &run_streams().states[0];
    return *stream_;
}

float GaussianSource::draw(const RunContext& ctx, float mean, float deviation) {
    float* st = reals_.data();
    std::int32_t& have_second = spare_[0];
    if (ctx.time() <= 0.0f) {
        st[0] = mean;
        st[1] = deviation;
        have_second = 0;
    }
    const float value =
        have_second == 0 ? box_muller(stream(), ctx, mean, deviation, st[2]) : st[2] * st[1] + st[0];
    have_second = have_second == 0 ? 1 : 0;
    return value;
}

void GaussianSource::draw_only(const RunContext& ctx) {
    std::int32_t& have_second = spare_[0];
    if (ctx.time() <= 0.0f) have_second = 0;
    if (have_second == 0) {
        const std::int32_t seed = gaussian_seed(ctx);
        open_uniform(stream(), ctx, seed);
        open_uniform(stream(), ctx, seed);
    }
    have_second = have_second == 0 ? 1 : 0;
}

}  // namespace nodrix
