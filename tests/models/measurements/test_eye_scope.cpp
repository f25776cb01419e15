#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "kernel/control_blocks.h"
#include "kernel/signals.h"
#include "models/measurements/eye_scope.h"
#include "tests/models/measurements/run_harness.h"
#include "tests/support/test_support.h"

namespace nodrix {
namespace {

using testing::begin_init_pass;
using testing::begin_sample;

// The expected signal file: header with the final count and extremes, then the values.
std::vector<unsigned char> signal_file(std::int32_t recorded_per_bit, double delt, const std::vector<double>& values) {
    double lo = 0.0;
    double hi = 0.0;
    if (!values.empty()) {
        lo = *std::min_element(values.begin(), values.end());
        hi = *std::max_element(values.begin(), values.end());
    }
    std::vector<unsigned char> b;
    testing::put_text(b, "NodrixSgn  2");
    for (std::int32_t v : {1, 5, 16, 1, 7}) testing::put_i32(b, v);
    testing::put_i32(b, 1);  // one column
    testing::put_i32(b, static_cast<std::int32_t>(values.size()));
    testing::put_i32(b, recorded_per_bit);
    testing::put_f64(b, lo);
    testing::put_f64(b, hi);
    testing::put_f64(b, delt);
    testing::put_f64(b, 0.0);
    testing::put_f64(b, static_cast<double>(f_vbs_band.fcenter));
    testing::put_i32(b, 0);
    for (double v : values) testing::put_f64(b, v);
    return b;
}

// A readable account of a signal file, shown when the bytes differ.
std::string describe(const std::vector<unsigned char>& b) {
    if (b.size() < 89) return "short file of " + std::to_string(b.size()) + " bytes";
    auto i32 = [&](std::size_t o) { std::int32_t v; std::memcpy(&v, b.data() + o, 4); return v; };
    auto f64 = [&](std::size_t o) { double v; std::memcpy(&v, b.data() + o, 8); return v; };
    std::string s = "count " + std::to_string(i32(37)) + " per bit " + std::to_string(i32(41)) + " min " +
                    std::to_string(f64(45)) + " max " + std::to_string(f64(53)) + " delt " + std::to_string(f64(61)) +
                    " values:";
    for (std::size_t o = 89; o + 8 <= b.size(); o += 8) s += " " + std::to_string(f64(o));
    return s;
}

#define EXPECT_FILE(path, expected)                                           \
    do {                                                                     \
        const auto actual_ = testing::read_bytes(path);                      \
        const auto expected_ = (expected);                                   \
        EXPECT_TRUE(actual_ == expected_) << "actual:   " << describe(actual_) \
                                          << "\nexpected: " << describe(expected_); \
    } while (0)

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
    // Runs samples 1..n with input(step).
    void run(std::int32_t n, const std::function<float(std::int32_t)>& input) {
        testing::set_run_length(n);
        begin_init_pass();
        scope(p, good, ElectricalSample{});
        for (std::int32_t s = 1; s <= n; ++s) {
            begin_sample(s);
            scope(p, good, ElectricalSample{input(s), 0.0f, 0.0f});
        }
    }
    // The window [tgoodi + m + delay, min(tgoodf - m, tgoodi + m + window)],
    // set in SetUp to 15.5 dt .. 40.5 dt (edges between samples).
    ScopeParams p{0.0f, 0.0f, 4, 4, "scope1 Run(s): 1", "EYE111    "};
    TimeWindow good;
    float dt = 0.0f;
};

TEST_F(EyeScopeTest, EqualRatesRecordEverySampleAndRewriteTheHeader) {
    // Window from 15.5 dt to 40.5 dt, recorded while t < 41.5 dt: steps 17 to 42.
    auto input = [](std::int32_t s) { return 0.25f * static_cast<float>((s - 30) * (s - 30)) - 3.0f; };
    run(60, input);
    std::vector<double> expected;
    for (std::int32_t s = 17; s <= 42; ++s) expected.push_back(input(s));
    EXPECT_FILE("EYE111.qsg", signal_file(4, 4 * zdctrl.ddelt / 4, expected));
}

TEST_F(EyeScopeTest, SixteenOfSixtyFourKeepsEveryFourthSample) {
    p.samples_per_bit = 64;
    p.recorded_samples_per_bit = 16;
    p.delay = 7.0f * dt;  // first call at step 18 (position 17)
    p.window = 80.0f * dt;  // steps 18 .. 92
    run(120, [](std::int32_t s) { return static_cast<float>(s); });
    // Positions 20, 24, ..., 88 (steps 21 .. 89): the samples themselves. The
    // first call of the window only starts the resampling.
    std::vector<double> expected;
    for (std::int32_t s = 21; s <= 89; s += 4) expected.push_back(s);
    EXPECT_FILE("EYE111.qsg", signal_file(16, 64 * zdctrl.ddelt / 16, expected));
}

TEST_F(EyeScopeTest, DownsamplingInterpolatesBetweenSamples) {
    // 4 of 10 samples per bit: points every 2.5 samples. A linear input
    // (value = position) is reproduced exactly at the fractional positions.
    p.samples_per_bit = 10;
    p.recorded_samples_per_bit = 4;
    p.delay = 7.0f * dt;  // first call at step 18 (position 17)
    p.window = 80.0f * dt;
    run(120, [](std::int32_t s) { return static_cast<float>(s - 1); });
    // The first call (step 18) has k = trunc(18 x 4 / 10) = 7, so the first
    // point is number k + 2 = 9, at (9 - 1) x 2.5 = 20; the last lies at or
    // before position 91 (step 92, the last of the window).
    std::vector<double> expected;
    for (double x = 20.0; x <= 91.0; x += 2.5) expected.push_back(x);
    EXPECT_FILE("EYE111.qsg", signal_file(4, 10 * zdctrl.ddelt / 4, expected));
}

TEST_F(EyeScopeTest, WindowBeforeTheSignalLeavesAnEmptyCompleteHeader) {
    // The good interval ends before the window can start.
    good.tgoodf = 20.0f * dt;
    run(60, [](std::int32_t s) { return static_cast<float>(s); });
    EXPECT_FILE("EYE111.qsg", signal_file(4, zdctrl.ddelt, {}));
}

TEST_F(EyeScopeTest, RunEndingInsideTheWindowCompletesTheFile) {
    run(30, [](std::int32_t s) { return static_cast<float>(s); });  // window steps 17 .. 42
    std::vector<double> expected;
    for (std::int32_t s = 17; s <= 30; ++s) expected.push_back(s);
    EXPECT_FILE("EYE111.qsg", signal_file(4, zdctrl.ddelt, expected));
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
        run(60, [](std::int32_t s) { return static_cast<float>(s); });
        EXPECT_EQ(::testing::internal::GetCapturedStderr(),
                  "Nodrix-E-Eye scope scope1 Run(s): 1: the samples per bit must be at least 1, and those recorded at "
                  "most the simulated ones\n");
        EXPECT_FALSE(std::filesystem::exists("EYE111.qsg"));
    }
}

}  // namespace
}  // namespace nodrix
