#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "models/measurements/ber_estimator.h"
#include "tests/models/measurements/run_harness.h"

namespace nodrix {
namespace {

using testing::read_text;

const std::string kTitle = "pestim3 Run(s): 1";
const std::string kTitle50 = kTitle + std::string(50 - kTitle.size(), ' ');
using Lines = std::vector<std::string>;

class BerEstimator : public testing::BlockTest {
protected:
    static PestimParams params(std::int32_t spb, std::int32_t kind, std::int32_t length) {
        return PestimParams{0.0f, 0.0f, spb, length, kind, 0.5f, {0, 0, 0, 0}, {0.5f, 0.0f}, kTitle, "rep  x", kTitle, "chart"};
    }

    // The initialisation call (counting as blkmode 1 does) and the calls of samples from..steps of a
    // run of `end_steps` samples (default `steps`), observed from time 0.
    static void run(PestimParams p, const std::function<float(std::int32_t)>& input, std::int32_t steps,
                    std::int32_t end_steps = 0, std::int32_t from = 0) {
        const std::int32_t end = end_steps > 0 ? end_steps : steps;
        p.window = static_cast<float>((end + 1) * static_cast<double>(zzctrl.delt));
        testing::set_run_length(end);
        for (std::int32_t k = from; k <= steps; ++k) {
            k == 0 ? testing::begin_init_pass() : testing::begin_sample(k);
            optcl_ctrl.blkmode = 1;
            pestim(p, TimeWindow{0.0f, 1e9f, -polmon.tmon, 1e9f}, ElectricalSample{k == 0 ? 0.0f : input(k), 0.0f, 0.0f});
        }
    }

    static Lines report() {
        Lines lines;
        const std::string text = read_text("rep.DAT");
        for (std::size_t at = 0, nl; at < text.size(); at = nl + 1) {
            nl = text.find('\n', at);
            lines.push_back(text.substr(at, nl - at));
        }
        return lines;
    }
    static bool has_lines(const Lines& all, const Lines& want) {
        return std::search(all.begin(), all.end(), want.begin(), want.end()) != all.end();
    }
    static QBerRequest request(std::int32_t mode, std::int32_t length) {
        return QBerRequest{.mode = mode, .pattern_length = length, .rv = {0.5f, 0.0f}, .bit_period = 100.0,
                           .title = kTitle, .report_name = "rep", .file_name = "chart   "};
    }
};

// A constant input: marks and spaces alike, the conventional Q of 2 whose
// BER is the Gaussian tail Q(2) = 0.02275; a bad pattern length asks for nothing.
TEST_F(BerEstimator, ConstantInputGivesQ2AndItsGaussianTailInBothModes) {
    PestimParams p = params(8, 0, 1);
    run(p, [](std::int32_t) { return 0.25f; }, 8 * 60);
    EXPECT_TRUE(has_lines(report(), {" P BER at Optimal Decision Threshold                   = 0.22750E-01",
                                     "Equivalent Q at Optimal Decision Threshold [linear] =   2.00000"}));
    p = params(8, -1, 1);
    run(p, [](std::int32_t) { return 0.25f; }, 8 * 60);
    EXPECT_TRUE(has_lines(report(), {" P Q value  [dB]       =      6.02060", " P Q value  [linear]   =      2.00000"}));
    EXPECT_TRUE(std::filesystem::exists("rep_old.DAT"));  // the previous report is kept
    testing::begin_counting_pass();
    p.pattern_length = 2;
    EXPECT_EQ(testing::stderr_of([&] { pestim(p, TimeWindow{}, ElectricalSample{}); }),
              "Nodrix-E-pestim pestim3 Run(s): 1: the pattern length must be 1, 3 or 5\n");
    EXPECT_EQ(optcl_ctrl.memused, 0);
}

TEST_F(BerEstimator, EvaluatesAtTheLastSampleOfTheRunNotBeforeNorAfter) {
    const PestimParams p = params(4, 0, 1);
    auto input = [](std::int32_t k) { return ((k - 1) / 4) % 3 == 0 ? 1.0f : 0.0f; };
    run(p, input, 399, 400);
    EXPECT_FALSE(std::filesystem::exists("rep.DAT"));
    run(p, input, 400, 400, 400);  // the last sample of the run
    EXPECT_TRUE(std::filesystem::remove("rep.DAT"));
    run(p, input, 401, 400, 401);  // one past it
    EXPECT_FALSE(std::filesystem::exists("rep.DAT"));
}

TEST_F(BerEstimator, TheEyeQGoesOnWhereTheReportedQSaturates) {
    // Levels 0 and 1 with Gaussian noise of deviation 0.02: a true Q of 25, far
    // beyond the BER floor, where the report stops at 100 (40 dB).
    std::mt19937 gen(11);
    std::normal_distribution<float> noise(0.0f, 0.02f);
    std::vector<float> eye;
    for (int b = 0; b < 4000; ++b) eye.push_back(static_cast<float>(gen() & 1u) + noise(gen));
    q_ber_main(eye, 1, request(1, 3));
    EXPECT_TRUE(has_lines(report(), {" P Equivalent Q at Optimal Decision Threshold [dB]     =  40.00000"}));
    const auto q = last_eye_q("rep  and the rest of its field");
    ASSERT_TRUE(q.has_value());
    EXPECT_NEAR(q->q, 25.0, 1.0);
    EXPECT_EQ(q->marks + q->spaces, 4000);
    // Setting the estimator up again forgets it.
    run(params(8, 0, 1), [](std::int32_t) { return 0.0f; }, 0);
    EXPECT_FALSE(last_eye_q("rep").has_value());
}

}  // namespace
}  // namespace nodrix
