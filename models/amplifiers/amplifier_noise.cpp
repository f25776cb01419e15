#include "models/amplifiers/amplifier_noise.h"

#include <array>
#include <cmath>

#include "numerics/constants.h"
#include "kernel/run_context.h"

namespace nodrix {
namespace {

constexpr std::int64_t kModulus = 2147483647;  // 2^31 - 1
constexpr std::array<std::int64_t, 10> kMultiplier{65539, 71335, 68771, 68773, 16807,
                                                   65539, 71335, 68771, 68773, 16807};
constexpr float kUnit = 4.656613e-10f;  // 1 / 2^31 in single precision

// Stream numbers outside 1..10 are taken modulo 10, as wgn2an forms them.
int stream_index(std::int32_t k) { return static_cast<int>(((k - 1) % 10 + 10) % 10); }

}  // namespace

std::int32_t optrnd_seed_state(std::int32_t stream, std::int32_t seed) {
    const std::int32_t fallback = stream_index(stream) < 5 ? 3173 : 1234;
    const std::int64_t x = 2 * std::int64_t{seed} - 1;
    if (x == 1) return fallback;
    // A state that is a multiple of the modulus would stay at zero for ever
    // (and the caller would wait in vain for a uniform above 0): use the
    // fallback state for it as well.
    const std::int64_t r = ((x % kModulus) + kModulus) % kModulus;
    return r == 0 ? fallback : static_cast<std::int32_t>(r);
}

float optrnd(AmplifierStreams& streams, std::int32_t stream, std::int32_t counter, std::int32_t seed) {
    const int k = stream_index(stream);
    AmplifierStreams::Stream& s = streams.streams[static_cast<std::size_t>(k)];
    if (counter > 1) {
        s.reseeded = false;
    } else if (counter == 1 && !s.reseeded) {
        s.valid = false;
        s.reseeded = true;
    }
    if (!s.valid) s.x = optrnd_seed_state(stream, seed);
    // a x mod m, exactly (the product fits in 64 bits).
    s.x = static_cast<std::int32_t>(kMultiplier[static_cast<std::size_t>(k)] * s.x % kModulus);
    s.valid = true;
    return static_cast<float>(s.x) * kUnit;
}

void AseNoiseSource::claim(StateClaims& state) {
    state.claim(sigma_, 1);
    state.claim(streams_, 4);
    state.claim(seeds_, 4);
}

void AseNoiseSource::draw(const RunContext& ctx, FieldSample& z1, FieldSample& z2) {
    float& sigma = sigma_[0];
    std::int32_t* k = streams_.data();
    std::int32_t* seed = seeds_.data();
    if (ctx.time() <= 0.0f) {
        sigma = std::sqrt(0.5f / ctx.time_step());
        const std::int32_t r = ctx.settings().topology;
        const std::int32_t first = ((4 * r) % 10 + 10) % 10;
        for (std::int32_t j = 0; j < 4; ++j) {
            k[j] = (first + j) % 10 + 1;
            seed[j] = r + ctx.settings().seeds[static_cast<std::size_t>(k[j] - 1)];
        }
    }

    // A uniform of exactly 0 or 1 would give an infinite or zero amplitude:
    // it is skipped by advancing the draw counter, which the later draws keep.
    AmplifierStreams& streams = ctx.shared<AmplifierStreams>();
    std::int32_t counter = ctx.step();
    float u[4];
    for (int j = 0; j < 4; ++j) {
        u[j] = optrnd(streams, k[j], counter, seed[j]);
        while (!(u[j] > 0.0f && u[j] < 1.0f)) {
            ++counter;
            u[j] = optrnd(streams, k[j], counter, seed[j]);
        }
    }

    const float band_centre = ctx.band_centre();
    const float a1 = sigma * std::sqrt(-2.0f * std::log(u[0]));
    const float phi1 = 2.0f * kPiF * u[1];
    const float a2 = sigma * std::sqrt(-2.0f * std::log(u[2]));
    const float phi2 = 2.0f * kPiF * u[3];
    z1 = FieldSample{a1 * std::cos(phi1), a1 * std::sin(phi1), band_centre};
    z2 = FieldSample{a2 * std::cos(phi2), a2 * std::sin(phi2), band_centre};
}

}  // namespace nodrix
