// The decisions of the multi-level estimator (multilevel_estimator.cpp): from
// the received signal collected over the observation window, per sampling
// instant the M levels' statistics and the M - 1 thresholds, the best
// instant, the symbol error ratio, the BER after Gray demapping and, per eye,
// its Q, height and width.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace nodrix {

// Floor of the reported error ratios.
inline constexpr double kMultilevelFloor = 1e-40;

// The levels of one sampling instant. Each level's samples are those between
// its thresholds; its spread is the larger of their standard deviation and
// their interquartile range over 1.349 (a Gaussian level's quartiles do not
// move when a few tail samples are decided into a neighbour, while its
// standard deviation shrinks; a level widened by intersymbol interference
// keeps its larger standard deviation). Each threshold sits where the two
// levels' Gaussian tails are equally many deviations away.
struct LevelFit {
    bool defined = false;             // every level holds samples
    std::vector<double> mean;         // M, ascending
    std::vector<double> sigma;        // M
    std::vector<double> threshold;    // M - 1
    std::vector<std::int32_t> count;  // samples per level
    double ser = 1.0;                 // symbol error ratio of the Gaussian levels
    double ber = 0.5;                 // bit error ratio after Gray demapping
    std::vector<double> eye_q;        // M - 1, from the lowest eye up
    // M - 1 eye heights: the opening between two levels left at a probability
    // of 1e-6 of each Gaussian level, (m1 - 4.753 s1) - (m0 + 4.753 s0);
    // negative when the eye is closed at that probability.
    std::vector<double> opening;
};

// The fit of M levels to the samples of one instant.
LevelFit fit_levels(std::span<const double> values, std::int32_t levels);

// Symbol and bit error ratios of Gaussian levels (means, deviations) decided
// by the thresholds, symbols equally likely, Gray-mapped bits.
void gaussian_error_ratios(LevelFit& fit, std::int32_t levels);

struct MultilevelEvaluation {
    std::int32_t instant = 0;    // best sampling instant, 0 .. per_symbol - 1
    std::int32_t symbols = 0;    // evaluated
    LevelFit best;               // at that instant
    std::vector<double> width;   // M - 1 eye widths [symbol periods]
};

// Evaluates `samples` (per_symbol of them per symbol): the instant of the
// lowest symbol error ratio (ties: of the widest smallest eye Q), and each
// eye's width, the run of neighbouring instants (cyclic) around the best one
// at which the eye is open (its opening positive).
MultilevelEvaluation evaluate_multilevel(std::span<const float> samples, std::int32_t per_symbol, std::int32_t levels);

}  // namespace nodrix
