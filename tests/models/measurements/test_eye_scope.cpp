#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <vector>

#include "models/measurements/observation.h"
#include "models/measurements/resampler.h"
#include "tests/models/measurements/run_harness.h"
#include "tests/support/block_bench.h"

namespace nodrix {
namespace {

TEST(Resampler, LinearInputIsReproducedAtThePointPositions) {
    // With the input equal to its position (i - 1) every value equals its point's position; points follow
    // at spb / rec, each between the previous and the current sample, also ten million samples into a run.
    // The first counter is k + 2 for k = trunc(first rec / spb), or k + 3 when point k + 1 lies at or
    // before the first sample (64/16 at 16: position 16 lies after 15 but is passed over).
    struct Case { std::int32_t spb, rec, first, counter; };
    for (const Case& c : {Case{64, 16, 1, 2}, Case{64, 16, 16, 6}, Case{10, 4, 17, 8}, Case{10, 4, 18, 9},
                          Case{8, 8, 5, 7}, Case{7, 3, 5, 4}, Case{100, 99, 2, 3}, Case{10, 3, 9999990, 2999999}}) {
        Resampler r;
        resample_start(r, c.first, c.spb, c.rec, static_cast<float>(c.first - 1));
        EXPECT_EQ(r.counter, c.counter) << c.spb << "/" << c.rec << " at " << c.first;
        const double spacing = static_cast<double>(c.spb) / c.rec;
        double last = -1.0;
        int produced = 0;
        for (std::int32_t i = c.first + 1; i < c.first + 400; ++i) {
            double v = -1.0;
            if (!resample_step(r, i, c.spb, c.rec, static_cast<float>(i - 1), v)) continue;
            ++produced;
            EXPECT_TRUE(v > i - 2.0 && v <= i - 1.0) << c.spb << "/" << c.rec << " at " << i;
            EXPECT_NEAR(v, (r.counter - 2) * spacing, 1e-6) << c.spb << "/" << c.rec << " at " << i;
            EXPECT_TRUE(last < 0.0 || std::fabs(v - last - spacing) < 1e-6);
            last = v;
        }
        EXPECT_NEAR(produced, 399.0 / spacing, 2.0) << c.spb << "/" << c.rec;
    }
}

// The signal file: header with the final count and extremes, then the values.
std::vector<unsigned char> signal_file(std::int32_t recorded_per_bit, double delt, const std::vector<double>& values) {
    const bool none = values.empty();
    std::vector<unsigned char> b;
    testing::put_text(b, "NodrixSgn  2");
    for (std::int32_t v : {1, 5, 16, 1, 7, 1, static_cast<std::int32_t>(values.size()), recorded_per_bit}) testing::put_i32(b, v);
    for (double v : {none ? 0.0 : *std::min_element(values.begin(), values.end()),
                     none ? 0.0 : *std::max_element(values.begin(), values.end()), delt, 0.0,
                     static_cast<double>(SimulationSettings{}.band.centre_thz)})
        testing::put_f64(b, v);
    testing::put_i32(b, 0);
    for (double v : values) testing::put_f64(b, v);
    return b;
}

class EyeScopeTest : public testing::BlockTest {
protected:
    // Runs samples 1..n (steps of 1 ps, n the last) with input(step), finishes, and returns the
    // signal file. The window [tgoodi + m + delay, min(tgoodf - m, tgoodi + m + window)] is 15.5 ps
    // to 40.5 ps.
    std::vector<unsigned char> run(std::int32_t n, const std::function<float(std::int32_t)>& input,
                                   std::int32_t recorded_per_bit = 4) {
        testing::BlockBench bench("eye_scope", SimulationSettings{.time_step_ps = 1.0f,
                                                                  .end_time_ps = static_cast<float>(n) - 0.5f,
                                                                  .monitor_offset_ps = 10.5f});
        bench.set("delay_ps", 5.0).set("window_ps", 30.0).set("samples_per_bit", 4.0);
        bench.set("recorded_samples_per_bit", static_cast<double>(recorded_per_bit));
        bench.set("file_name", std::string("EYE111    "));
        bench.producer_window() = good;
        ElectricalSample& in = bench.input<ElectricalSample>("input");
        std::filesystem::remove("EYE111.qsg");
        EXPECT_TRUE(bench.start().ok());
        for (std::int32_t step = 1; step <= n + 1; ++step) {  // one sample past the last
            in.value = input(step);
            bench.run(step);
        }
        EXPECT_FALSE(std::filesystem::exists("EYE111.qsg"));
        EXPECT_TRUE(bench.finish().ok());
        return testing::read_bytes("EYE111.qsg");
    }
    static float step(std::int32_t s) { return static_cast<float>(s); }
    static std::vector<double> steps(std::int32_t from, std::int32_t to, std::int32_t by = 1) {
        std::vector<double> v;
        for (std::int32_t s = from; s <= to; s += by) v.push_back(s);
        return v;
    }
    TimeWindow good{.tgoodf = 1000.0f};
};

TEST_F(EyeScopeTest, EqualRatesRecordEverySampleAndRewriteTheHeader) {
    // Recorded while t < 41.5 ps: steps 17 to 42.
    auto input = [](std::int32_t s) { return 0.25f * static_cast<float>((s - 30) * (s - 30)) - 3.0f; };
    std::vector<double> expected;
    for (std::int32_t s = 17; s <= 42; ++s) expected.push_back(input(s));
    EXPECT_EQ(run(60, input), signal_file(4, 1.0, expected));
    EXPECT_FALSE(posted_observation("EYE111")->cut_by_run_end);
    EXPECT_EQ(run(30, step), signal_file(4, 1.0, steps(17, 30)));  // a run ending inside the window
    EXPECT_TRUE(posted_observation("EYE111")->cut_by_run_end);
    // Two of four samples per bit: the points at even positions 16, 18, ... 40 (steps 17 .. 41).
    EXPECT_EQ(run(60, [](std::int32_t s) { return static_cast<float>(s - 1); }, 2),
              signal_file(2, 2.0, steps(18, 40, 2)));
}

TEST_F(EyeScopeTest, WindowBeforeTheSignalLeavesAnEmptyCompleteHeader) {
    good.tgoodf = 20.0f;  // the good interval ends before the window can start
    EXPECT_EQ(run(60, step), signal_file(4, 1.0, {}));
}

}  // namespace
}  // namespace nodrix
