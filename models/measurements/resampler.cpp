#include "models/measurements/resampler.h"

namespace nodrix {

// Positions are evaluated in double precision: a run of 10^7 samples needs
// more than the 24 bits of a float to keep the fractional position.

void resample_start(Resampler& r, std::int32_t i, std::int32_t samples_per_bit, std::int32_t recorded_per_bit,
                    float input) {
    const std::int64_t k = std::int64_t{i} * recorded_per_bit / samples_per_bit;
    const double next = static_cast<double>(k + 1) * samples_per_bit / recorded_per_bit;
    r.counter = static_cast<std::int32_t>(static_cast<double>(i - 1) < next ? k + 2 : k + 3);
    r.previous = input;
}

bool resample_step(Resampler& r, std::int32_t i, std::int32_t samples_per_bit, std::int32_t recorded_per_bit,
                   float input, double& v) {
    const double x = static_cast<double>(r.counter - 1) * samples_per_bit / recorded_per_bit;
    bool produced = false;
    if (x <= static_cast<double>(i - 1)) {
        const double prev = r.previous;
        v = prev + (x - static_cast<double>(i - 2)) * (static_cast<double>(input) - prev);
        ++r.counter;
        produced = true;
    }
    r.previous = input;
    return produced;
}

void keep_resampled(std::int32_t* words, float& previous, float* buffer, std::int32_t length, std::int32_t i,
                    std::int32_t samples_per_period, std::int32_t kept, float input) {
    if (kept == samples_per_period) {
        if (words[2] < length) buffer[static_cast<std::size_t>(words[2]++)] = input;
        return;
    }
    Resampler r{words[1], previous};
    double v = 0.0;
    if (words[0] == 0)
        resample_start(r, i, samples_per_period, kept, input);
    else if (resample_step(r, i, samples_per_period, kept, input, v) && words[2] < length)
        buffer[static_cast<std::size_t>(words[2]++)] = static_cast<float>(v);
    words[1] = r.counter;
    previous = r.previous;
}

}  // namespace nodrix
