// The training of the feed-forward equaliser (ffe.cpp): the decision
// instant and the pattern's place found in the received training samples,
// then least-mean-squares taps.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace nodrix {

// One period of the symbol source's level indices for a shift register of
// `degree` (5..28) and polynomial variant, M = 2 or 4 (bit pairs Gray-mapped),
// starting from the register's all-ones state. Empty without such a
// polynomial.
std::vector<std::int32_t> training_pattern(std::int32_t degree, std::int32_t polynomial, std::int32_t levels);

// Where the pattern lies in the training samples: the sample phase of the
// decisions within a symbol (that of the largest variance), the pattern
// symbol decided at that phase of the first whole symbol (the lag of the
// largest correlation), the samples' mean and the slope of the samples on
// the centred levels (their least-squares gain).
struct TrainingAlignment {
    std::int32_t phase = 0;
    std::int32_t lag = 0;
    double mean = 0.0;
    double gain = 0.0;
};
TrainingAlignment align_training(std::span<const float> x, std::int32_t per_symbol,
                                 std::span<const std::int32_t> pattern, std::int32_t levels);

// Least-mean-squares training of `taps` (their count given; started at a
// single 1 on the cursor tap) over `passes` passes of the samples: at each
// decision n = phase + cursor x spacing + k x per_symbol the regressor is
// x[n - j x spacing] - mean for j = 0..taps-1, the target gain x (level -
// (M - 1) / 2) of the pattern symbol lag + k, the step `step` over taps x
// the samples' variance. Returns the mean squared error of the last pass.
double lms_train(std::span<const float> x, std::int32_t per_symbol, std::int32_t spacing, std::int32_t cursor,
                 std::span<const std::int32_t> pattern, std::int32_t levels, const TrainingAlignment& a,
                 double step, std::int32_t passes, std::span<double> taps);

}  // namespace nodrix
