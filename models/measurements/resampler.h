// Linear-interpolation resampling of a sampled signal from `samples_per_bit`
// to `recorded_per_bit` samples per bit (recorded_per_bit <= samples_per_bit),
// one input sample per call, at most one output value per call. The output
// points lie at the positions (counter - 1) x samples_per_bit / recorded_per_bit
// counted in input samples from the first sample of the run (sample index i,
// from 1, sits at position i - 1). The eye scope and the BER estimator share it.
#pragma once

#include <cstdint>

namespace nodrix {

struct Resampler {
    std::int32_t counter = 0;  // index (from 1) of the next output point
    float previous = 0.0f;     // input of the previous call
};

// The first call of a recording, at sample index i: no value is produced; the
// counter is set to k + 2 when (i - 1) < (k + 1) x samples_per_bit /
// recorded_per_bit, else k + 3, with k = trunc(i x recorded_per_bit /
// samples_per_bit); the input becomes the previous sample.
void resample_start(Resampler& r, std::int32_t i, std::int32_t samples_per_bit, std::int32_t recorded_per_bit,
                    float input);

// A later call at sample index i. When the next output point x lies at or
// before the current sample (x <= i - 1) it is interpolated between the
// previous input (at i - 2) and this one, written to v, and the counter
// advances; the result tells whether a value was produced. The input becomes
// the previous sample in every case.
bool resample_step(Resampler& r, std::int32_t i, std::int32_t samples_per_bit, std::int32_t recorded_per_bit,
                   float input, double& v);

// One call of an estimator's collection: keeps the input itself when the run
// already gives `kept` samples per period (bit or symbol), else the points
// resampled by the rule above. words: [0] 0 before the first call, [1] the
// resampler's counter, [2] the samples kept so far in buffer (of length).
void keep_resampled(std::int32_t* words, float& previous, float* buffer, std::int32_t length, std::int32_t i,
                    std::int32_t samples_per_period, std::int32_t kept, float input);

}  // namespace nodrix
