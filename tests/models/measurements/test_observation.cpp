// The coverage of an observation: what its settings ask for, what the block
// collected and what cut it short, worked by hand for each case.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "models/measurements/observation.h"

namespace nodrix {
namespace {

// "50 of 128 run-end partial": what was observed and what cut it short.
std::string said(const ObservationCoverage& c) {
    return std::to_string(c.observed) + " of " + std::to_string(c.requested) + (c.cut_by_run_end ? " run-end" : "") +
           (c.cut_by_good_interval ? " good-interval" : "") + (c.cut_by_delay ? " delay" : "") +
           (c.partial() ? " partial" : "");
}

// An estimator's window of 12800 ps (128 bits of 100 ps) opening 1280 ps
// after a good interval that starts at 6099 ps: it closes at 20179 ps.
TEST(ObservationCoverage, AWindowIsCutByTheRunsEndTheGoodIntervalOrItsDelay) {
    struct Case {
        std::string what;
        double delay, window;
        std::int64_t bits;
        float tgoodf, time;
        std::string expected;
    };
    const Case cases[] = {
        {"full", 0, 12800, 128, 29094.5f, 32000.0f, "128 of 128"},
        {"a sample more than asked", 0, 12800, 129, 29094.5f, 32000.0f, "128 of 128"},
        {"the run ends at 12400 ps", 0, 12800, 50, 29094.5f, 12400.0f, "50 of 128 run-end partial"},
        {"the last sample within a step of the end", 0, 12800, 128, 29094.5f, 20178.0f, "128 of 128"},
        {"the good interval ends at 16720 ps", 0, 12800, 106, 18000.0f, 32000.0f, "106 of 128 good-interval partial"},
        {"a delay of 333 ps", 333, 12800, 124, 29094.5f, 32000.0f, "124 of 124"},
        {"a delay beyond the window", 13000, 12800, 0, 29094.5f, 32000.0f, "0 of 0 delay partial"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(said(windowed_coverage(c.delay, c.window, 100.0, c.bits, 6099.0f, c.tgoodf, 1280.0f, c.time, 1.5625f)),
                  c.expected)
            << c.what;
    EXPECT_EQ(requested_bits(0.0, 12800.0, 1561 * 0.0640443), 128);
    EXPECT_EQ(requested_bits(0.0, 1e308, 1.0), 9000000000000000000);
    EXPECT_EQ(nearest_whole_bits(8191, 64), 128);  // a window's edges fall between samples
    EXPECT_EQ(nearest_whole_bits(8159, 64), 127);
}

// A power meter over [1280, 24320] ps at 1.5625 ps, 14745 samples of the time
// grid (from 820 to 15564), and a spectrum analyser's frames of 1000 over [1280, 24320).
TEST(ObservationCoverage, AnIntervalCutByTheRunsEndCountsTheSamplesItWouldHaveHeld) {
    struct Case {
        std::string what;
        ObservationUnit unit;
        std::int64_t collected;
        double end, time;
        std::string expected;
    };
    const auto samples = ObservationUnit::samples, frames = ObservationUnit::frames;
    const Case cases[] = {
        {"the window passed", samples, 14745, 24320, 32000, "14745 of 14745"},
        // The run's last sample at 12400 ps is number 7936 of the grid: 15564 - 7936 more.
        {"the run ends at 12400 ps", samples, 7117, 24320, 12400, "7117 of 14745 run-end partial"},
        {"the run ends before the window", samples, 0, 24320, 100, "0 of 14745 run-end partial"},
        {"an empty window", samples, 0, 1000, 32000, "0 of 0"},
        {"frames cut by the run's end", frames, 7117, 24320, 12400, "7 of 14 run-end partial"},
        {"frames of a passed window", frames, 23040, 37280, 40000, "23 of 23"},
    };
    for (const Case& c : cases) {
        const ObservationCoverage got = interval_coverage(c.unit, c.collected, 1000, 1280.0, c.end, c.time, 1.5625);
        EXPECT_EQ(got.unit, c.unit) << c.what;
        EXPECT_EQ(said(got), c.expected) << c.what;
    }
}

}  // namespace
}  // namespace nodrix
