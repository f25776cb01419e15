#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "kernel/control_blocks.h"
#include "models/measurements/eye_scope.h"
#include "tests/models/measurements/run_harness.h"
#include "tests/support/test_support.h"

namespace nodrix {
namespace {

// The expected signal file: header with the final count and extremes, then the values.
std::vector<unsigned char> signal_file(std::int32_t recorded_per_bit, double delt, const std::vector<double>& values) {
    const auto [lo, hi] = values.empty() ? std::pair{0.0, 0.0}
                                         : std::pair{*std::min_element(values.begin(), values.end()),
                                                     *std::max_element(values.begin(), values.end())};
    std::vector<unsigned char> b;
    testing::put_text(b, "NodrixSgn  2");
    for (std::int32_t v : {1, 5, 16, 1, 7, 1}) testing::put_i32(b, v);  // ..., one column
    testing::put_i32(b, static_cast<std::int32_t>(values.size()));
    testing::put_i32(b, recorded_per_bit);
    for (double v : {lo, hi, delt, 0.0, static_cast<double>(f_vbs_band.fcenter)}) testing::put_f64(b, v);
    testing::put_i32(b, 0);
    for (double v : values) testing::put_f64(b, v);
    return b;
}

class EyeScopeTest : public testing::NodrixTest {
protected:
    void SetUp() override {
        NodrixTest::SetUp();
        testing::set_project_constants();
        dt = static_cast<float>(zdctrl.ddelt);
        polmon.tmon = 10.5f * dt;
        good = {0.0f, 0.0f, 0.0f, 1000.0f * dt};
        p.delay = 5.0f * dt;
        p.window = 30.0f * dt;
    }
    // Runs samples 1..n with input(step) and returns the signal file.
    std::vector<unsigned char> run(std::int32_t n, const std::function<float(std::int32_t)>& input) {
        testing::set_run_length(n);
        testing::begin_init_pass();
        scope(p, good, ElectricalSample{});
        for (std::int32_t s = 1; s <= n; ++s) {
            testing::begin_sample(s);
            scope(p, good, ElectricalSample{input(s), 0.0f, 0.0f});
        }
        return testing::read_bytes("EYE111.qsg");
    }
    static float step(std::int32_t s) { return static_cast<float>(s); }
    // The window [tgoodi + m + delay, min(tgoodf - m, tgoodi + m + window)],
    // set in SetUp to 15.5 dt .. 40.5 dt (edges between samples).
    ScopeParams p{0.0f, 0.0f, 4, 4, "scope1 Run(s): 1", "EYE111    "};
    TimeWindow good;
    float dt = 0.0f;
};

TEST_F(EyeScopeTest, EqualRatesRecordEverySampleAndRewriteTheHeader) {
    // Window from 15.5 dt to 40.5 dt, recorded while t < 41.5 dt: steps 17 to 42.
    auto input = [](std::int32_t s) { return 0.25f * static_cast<float>((s - 30) * (s - 30)) - 3.0f; };
    std::vector<double> expected;
    for (std::int32_t s = 17; s <= 42; ++s) expected.push_back(input(s));
    EXPECT_EQ(run(60, input), signal_file(4, zdctrl.ddelt, expected));
    // A run ending inside the window completes the file too.
    expected.clear();
    for (std::int32_t s = 17; s <= 30; ++s) expected.push_back(s);
    EXPECT_EQ(run(30, step), signal_file(4, zdctrl.ddelt, expected));
}

TEST_F(EyeScopeTest, SixteenOfSixtyFourKeepsEveryFourthSampleAndFourOfTenInterpolates) {
    p.samples_per_bit = 64;
    p.recorded_samples_per_bit = 16;
    p.delay = 7.0f * dt;    // first call at step 18 (position 17)
    p.window = 80.0f * dt;  // steps 18 .. 92
    // Positions 20, 24, ..., 88 (steps 21 .. 89): the samples themselves. The
    // first call of the window only starts the resampling.
    std::vector<double> expected;
    for (std::int32_t s = 21; s <= 89; s += 4) expected.push_back(s);
    EXPECT_EQ(run(120, step), signal_file(16, 64 * zdctrl.ddelt / 16, expected));
    // 4 of 10: points every 2.5 samples; a linear input (value = position) is
    // reproduced at the fractional positions. The first call (step 18) has
    // k = trunc(18 x 4 / 10) = 7, so the first point is number k + 2 = 9, at
    // (9 - 1) x 2.5 = 20; the last lies at or before position 91 (step 92).
    p.samples_per_bit = 10;
    p.recorded_samples_per_bit = 4;
    expected.clear();
    for (double x = 20.0; x <= 91.0; x += 2.5) expected.push_back(x);
    EXPECT_EQ(run(120, [](std::int32_t s) { return static_cast<float>(s - 1); }), signal_file(4, 2.5 * zdctrl.ddelt, expected));
}

TEST_F(EyeScopeTest, WindowBeforeTheSignalLeavesAnEmptyCompleteHeader) {
    good.tgoodf = 20.0f * dt;  // the good interval ends before the window can start
    EXPECT_EQ(run(60, step), signal_file(4, zdctrl.ddelt, {}));
}

TEST_F(EyeScopeTest, StorageSetUpAndBadRates) {
    testing::begin_counting_pass();
    scope(p, good, ElectricalSample{});
    EXPECT_EQ(optcl_ctrl.memused, 16 + 24 + 12 + 32);
    EXPECT_FALSE(std::filesystem::exists("EYE111.qsg"));  // nothing set up with nohist 1
    for (auto [spb, rec] : {std::pair{4, 5}, std::pair{0, 1}, std::pair{4, 0}}) {
        p.samples_per_bit = spb;
        p.recorded_samples_per_bit = rec;
        ::testing::internal::CaptureStderr();
        EXPECT_TRUE(run(60, step).empty());
        EXPECT_EQ(::testing::internal::GetCapturedStderr(),
                  "Nodrix-E-Eye scope scope1 Run(s): 1: the samples per bit must be at least 1, and those recorded at "
                  "most the simulated ones\n");
    }
}

}  // namespace
}  // namespace nodrix
