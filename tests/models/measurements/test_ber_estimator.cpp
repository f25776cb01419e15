#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "models/measurements/ber_estimator.h"
#include "tests/models/measurements/run_harness.h"
#include "tests/support/block_bench.h"

namespace nodrix {
namespace {

using testing::read_text;

const std::string kTitle = "pestim3 Run(s): 1";

class BerEstimator : public testing::BlockTest {
protected:
    // An estimator (samples per bit, estimator -1 Q or 0 BER, pattern length) observing from time 0
    // to past the last sample `end` of the run, given input(step) for steps 1..steps, then finished.
    static Status run(const std::array<std::int32_t, 3>& e, const std::function<float(std::int32_t)>& input,
                      std::int32_t steps, std::int32_t end = 0) {
        end = end > 0 ? end : steps;
        SimulationSettings settings;
        settings.end_time_ps = static_cast<float>((end - 0.5) * settings.time_step_ps);
        testing::BlockBench bench("ber_estimator", settings);
        bench.set("samples_per_bit", e[0]).set("estimator", e[1]).set("pattern_length", e[2]);
        bench.set("window_ps", (end + 1) * settings.time_step_ps);
        bench.set("instant_chart", 0.0).set("threshold_chart", 0.0);
        bench.set("title", kTitle).set("report_name", std::string("rep  x"));
        bench.producer_window() = TimeWindow{0.0f, 1e9f, -settings.monitor_offset_ps, 1e9f};
        ElectricalSample& in = bench.input<ElectricalSample>("input");
        const Status started = bench.start();
        if (!started.ok()) return started;
        for (std::int32_t k = 1; k <= steps; ++k) {
            in.value = input(k);
            bench.run(k);
        }
        return bench.finish();
    }

    // Whether the report holds these whole lines, in a row.
    static bool has_lines(const std::string& lines) {
        return ("\n" + read_text("rep.DAT")).find("\n" + lines + "\n") != std::string::npos;
    }
    static QBerRequest request(std::int32_t mode, std::int32_t length) {
        return QBerRequest{.mode = mode, .pattern_length = length, .rv = {0.5f, 0.0f}, .bit_period = 100.0,
                           .title = kTitle, .report_name = "rep", .file_name = "chart   "};
    }
};

// A constant input: marks and spaces alike, the conventional Q of 2 whose
// BER is the Gaussian tail Q(2) = 0.02275; a bad pattern length asks for nothing.
TEST_F(BerEstimator, ConstantInputGivesQ2AndItsGaussianTailInBothModes) {
    EXPECT_TRUE(run({8, 0, 1}, [](std::int32_t) { return 0.25f; }, 8 * 60).ok());
    EXPECT_TRUE(has_lines(" P BER at Optimal Decision Threshold                   = 0.22750E-01\n"
                          "Equivalent Q at Optimal Decision Threshold [linear] =   2.00000"));
    EXPECT_TRUE(run({8, -1, 1}, [](std::int32_t) { return 0.25f; }, 8 * 60).ok());
    EXPECT_TRUE(has_lines(" P Q value  [dB]       =      6.02060\n P Q value  [linear]   =      2.00000"));
    EXPECT_TRUE(std::filesystem::exists("rep_old.DAT"));  // the previous report is kept
    EXPECT_EQ(run({8, 0, 2}, [](std::int32_t) { return 0.0f; }, 0).text(),
              "pestim pestim3 Run(s): 1: the pattern length must be 1, 3 or 5");
}

TEST_F(BerEstimator, EvaluatesAtTheLastSampleOfTheRunNotBeforeNorAfter) {
    auto input = [](std::int32_t k) { return k > 400 ? 50.0f : ((k - 1) / 4) % 3 == 0 ? 1.0f : 0.0f; };
    run({4, 0, 1}, input, 399, 400);
    EXPECT_FALSE(std::filesystem::exists("rep.DAT"));
    run({4, 0, 1}, input, 400);  // the last sample of the run
    const std::string at_end = read_text("rep.DAT");
    std::filesystem::remove("rep.DAT");
    run({4, 0, 1}, input, 401, 400);  // one past it changes nothing
    EXPECT_EQ(read_text("rep.DAT"), at_end);
}

TEST_F(BerEstimator, TheEyeQGoesOnWhereTheReportedQSaturates) {
    // Levels 0 and 1 with Gaussian noise of deviation 0.02: a true Q of 25, far
    // beyond the BER floor, where the report stops at 100 (40 dB).
    std::mt19937 gen(11);
    std::normal_distribution<float> noise(0.0f, 0.02f);
    std::vector<float> eye;
    for (int b = 0; b < 4000; ++b) eye.push_back(static_cast<float>(gen() & 1u) + noise(gen));
    EXPECT_TRUE(q_ber_main(eye, 1, request(1, 3), FileServices{}).ok());
    EXPECT_TRUE(has_lines(" P Equivalent Q at Optimal Decision Threshold [dB]     =  40.00000"));
    const auto q = last_eye_q("rep  and the rest of its field");
    ASSERT_TRUE(q.has_value());
    EXPECT_NEAR(q->q, 25.0, 1.0);
    EXPECT_EQ(q->marks + q->spaces, 4000);
    QBerRequest unnamed = request(1, 3);
    unnamed.report_name = " ";
    EXPECT_EQ(q_ber_main(eye, 1, unnamed, FileServices{}).text(), "pestim: no report file name for pestim3 Run(s): 1");
    // Setting the estimator up again forgets it.
    run({8, 0, 1}, [](std::int32_t) { return 0.0f; }, 0, 10);
    EXPECT_FALSE(last_eye_q("rep").has_value());
}

}  // namespace
}  // namespace nodrix
