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
    // Lines `at`, `at + 1`, ... start with the given texts.
    static void expect_heads(const Lines& lines, std::size_t at, const Lines& heads) {
        for (const std::string& h : heads) {
            ASSERT_LT(at, lines.size());
            EXPECT_EQ(lines[at++].substr(0, h.size()), h);
        }
    }

    // X values of the first chart of an XY file: count at byte 36, then two extremes, five texts, a word, the points.
    static std::vector<double> chart_x(const std::string& path) {
        const std::vector<unsigned char> b = testing::read_bytes(path);
        std::int32_t n;
        std::memcpy(&n, b.data() + 36, 4);
        auto at = b.begin() + 56;
        for (int t = 0; t < 5; ++t) at = std::find(at, b.end(), 0) + 1;
        std::vector<double> x(static_cast<std::size_t>(n));
        for (std::int32_t k = 0; k < n; ++k) std::memcpy(&x[k], &*(at + 4 + 16 * k), 8);
        return x;
    }

    static QBerRequest request(std::int32_t mode, std::int32_t length) {
        return QBerRequest{.mode = mode, .pattern_length = length, .rv = {0.5f, 0.0f}, .bit_period = 100.0,
                           .title = kTitle, .report_name = "rep", .file_name = "chart   "};
    }
};

TEST_F(BerEstimator, ConstantInputReportsQ2InBothModes) {
    PestimParams p = params(8, 0, 1);
    run(p, [](std::int32_t) { return 0.25f; }, 8 * 60);
    EXPECT_EQ(report(), (Lines{"BER Estimator at " + kTitle50, "BER evaluation with pattern length   1",
                               "Gaussian Approximation used", "Optimal Decision Threshold =  0.25000E+00",
                               " P BER at Optimal Decision Threshold                   = 0.22750E-01",
                               "Equivalent Q at Optimal Decision Threshold [linear] =   2.00000",
                               " P Equivalent Q at Optimal Decision Threshold [dB]     =   6.02060", "", "WARNING !",
                               "  The evaluated BER is very high", "  and has been conventionally truncated to  0.22750E-01"}));
    p = params(8, -1, 1);
    p.nv = {0, 1, 0, 0};
    run(p, [](std::int32_t) { return 0.25f; }, 8 * 60);
    EXPECT_EQ(report(), (Lines{"Q Estimator at " + kTitle50, "Q-evaluation with pattern length   1",
                               " P Q value  [dB]       =      6.02060", " P Q value  [linear]   =      2.00000",
                               "Optimal threshold   =  0.25000E+00", "", "WARNING !", "  The evaluated Q-value is very low",
                               "  and has been conventionally truncated to      6.02060 dB", " P Eye closure [dB]    =     50.00000",
                               " P Average eye opening =  0.00000E+00", " P Eye opening         =  0.00000E+00"}));
    EXPECT_TRUE(std::filesystem::exists("rep_old.DAT"));  // the previous report is kept
}

TEST_F(BerEstimator, StorageRequestsAndBadParameters) {
    testing::begin_counting_pass();
    PestimParams p = params(8, 0, 1);
    p.window = 100.0f;  // trunc(100 / (8 dt)) = 195 bits: (195 + 1) x 8 samples
    pestim(p, TimeWindow{}, ElectricalSample{});
    EXPECT_EQ(optcl_ctrl.memused, (4 * 1568 + 8) + (4 * 3 + 8) + (4 + 8));
    optcl_ctrl.memused = 0;
    p.samples_per_bit = 150;  // 100 kept: trunc(100 / (150 dt)) = 10 bits
    pestim(p, TimeWindow{}, ElectricalSample{});
    EXPECT_EQ(optcl_ctrl.memused, (4 * 1100 + 8) + 20 + 12);
    // Allocating with nohist 1 makes the records but writes no state.
    for (std::int32_t nohist : {1, 0}) {
        zzsupv.storephase = 1;
        zzflmn.nohist = nohist;
        testing::reset_cursors();
        zzist[2] = 77;  // the collecting flag of the record at position 1 (after two header words)
        pestim(p, TimeWindow{}, ElectricalSample{});
        EXPECT_EQ(zzist[2], nohist == 1 ? 77 : 0);
    }
    testing::begin_counting_pass();
    p.pattern_length = 2;
    EXPECT_EQ(testing::stderr_of([&] { pestim(p, TimeWindow{}, ElectricalSample{}); }),
              "Nodrix-E-pestim pestim3 Run(s): 1: the pattern length must be 1, 3 or 5\n");
    EXPECT_EQ(optcl_ctrl.memused, 0);
}

TEST_F(BerEstimator, EvaluatesOnceAtTheEndOfTheRun) {
    const PestimParams p = params(4, 0, 1);
    auto input = [](std::int32_t k) { return ((k - 1) / 4) % 3 == 0 ? 1.0f : 0.0f; };
    run(p, input, 399, 400);
    EXPECT_FALSE(std::filesystem::exists("rep.DAT"));
    run(p, input, 400, 400, 400);  // the last sample of the run
    EXPECT_TRUE(std::filesystem::remove("rep.DAT"));
    run(p, input, 401, 400, 401);  // one past it
    EXPECT_FALSE(std::filesystem::exists("rep.DAT"));
}

TEST_F(BerEstimator, MoreThan100SamplesPerBitKeep100) {
    PestimParams p = params(150, 0, 1);
    p.nv = {1, 0, 0, 0};
    run(p, [](std::int32_t k) { return ((k - 1) / 150) % 2 == 0 ? 0.2f : 0.9f; }, 150 * 40);
    const std::vector<double> x = chart_x("chart.qxy");
    ASSERT_EQ(x.size(), 100u);  // instants 1.5 time steps apart
    EXPECT_NEAR(x[1] - x[0], 1.5 * zzctrl.delt, 1e-6);
    EXPECT_NEAR(x[99], 99 * 1.5 * zzctrl.delt, 1e-4);
}

TEST_F(BerEstimator, NoiselessEyeMissingPatternAndFewOccurrences) {
    std::mt19937 gen(7);
    std::vector<float> eye;
    for (int b = 0; b < 200; ++b) eye.insert(eye.end(), 4, static_cast<float>(gen() & 1u));
    q_ber_main(eye, 4, request(1, 1));
    EXPECT_TRUE(has_lines(report(), {" P BER at Optimal Decision Threshold                   = 0.99999E-40",
                                     "Equivalent Q at Optimal Decision Threshold [linear] = 100.00000",
                                     " P Equivalent Q at Optimal Decision Threshold [dB]     =  40.00000", "",
                                     "WARNING !", "  The evaluated BER is very low",
                                     "  The Gaussian approximation may be unreliable",
                                     "  BER has been conventionally truncated"}));
    q_ber_main(eye, 4, request(0, 1));
    EXPECT_TRUE(has_lines(report(), {" P Q value  [dB]       =     40.00000", " P Q value  [linear]   =    100.00000"}));
    EXPECT_TRUE(has_lines(report(), {"", "WARNING !", "  The evaluated Q-value is very large",
                                     "  The Gaussian approximation may be unreliable"}));
    // L = 3 on alternating bits: only the patterns 010 and 101 occur.
    std::vector<float> alt;
    for (int b = 0; b < 100; ++b) alt.push_back(static_cast<float>(b % 2));
    q_ber_main(alt, 1, request(0, 3));
    EXPECT_TRUE(has_lines(report(), {"", "WARNING !", "  The number of occurences of one of the patterns is null",
                                     "  In this case, the numerical results are totally unreliable.",
                                     "  The Q has been conventionally set to     6.02060 dB",
                                     "  You should probably increase the number of simulated bits"}));
    q_ber_main(alt, 1, request(1, 3));
    EXPECT_TRUE(has_lines(report(), {"  BER has been conventionally set to 0.22750E-01"}));
    // Nine marks and nine spaces with noise.
    std::vector<float> few;
    for (int b = 0; b < 18; ++b) few.push_back(static_cast<float>(b % 2) + 0.01f * static_cast<float>(b % 5));
    q_ber_main(few, 1, request(1, 1));
    EXPECT_TRUE(has_lines(report(), {"", "WARNING !", "  There are less than 10 occurences for one of the patterns",
                                     "  In this case, the numerical results may be unreliable",
                                     "  You should probably increase the number of simulated bits"}));
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

TEST_F(BerEstimator, QModeSideResultsAndCharts) {
    // N = 10: a raised-cosine-like noisy eye; all four Q-mode requests.
    std::mt19937 gen(11);
    std::normal_distribution<float> noise(0.0f, 0.03f);
    std::vector<float> s;
    for (int b = 0, prev = 0, bit; b < 400; ++b, prev = bit) {
        bit = static_cast<int>(gen() & 1u);
        for (int j = 0; j < 10; ++j) {
            const float w = 0.5f - 0.5f * std::cos(3.14159265f * (j + 0.5f) / 10.0f);
            s.push_back(static_cast<float>(prev) + (static_cast<float>(bit - prev)) * w + noise(gen));
        }
    }
    QBerRequest r = request(0, 1);
    r.nv = {1, 1, 1, 1};
    q_ber_main(s, 10, r);
    expect_heads(report(), 5, {" P Eye closure [dB]    = ", " P Average eye opening = ", " P Eye opening         = ",
                               " P Jitter value [ps]   = ", "Tolerance to Sampling Instant Variation with",
                               "Q factor degradation tolerance of  1.000 dB: ", " P Sampling Instant Tolerance [ps] = "});
    const std::vector<double> x = chart_x("chart.qxy");  // one instant left out at each end
    ASSERT_EQ(x.size(), 8u);
    for (int k = 0; k < 8; ++k) EXPECT_NEAR(x[k], (k - 4) * 10.0, 1e-12);
}

TEST_F(BerEstimator, BerModeThresholdReportsAndApproximation) {
    std::mt19937 gen(3);
    std::normal_distribution<float> noise(0.0f, 0.1f);
    std::vector<float> s;
    for (int b = 0; b < 2000; ++b) s.push_back(static_cast<float>(gen() & 1u) * (1.0f + noise(gen)) + 0.3f * noise(gen));
    QBerRequest r = request(1, 1);
    r.nv = {0, 0, 1, 1};
    r.fixed_threshold = 5.0f;
    q_ber_main(s, 1, r);
    Lines lines = report();
    EXPECT_TRUE(has_lines(lines, {"Fixed Decision Threshold =  0.50000E+01", " P BER at Fixed Decision Threshold =-0.10000E+01",
                                  "ERROR !", "  The Fixed Decision Threshold is outside the eye",
                                  "  BER evaluation is impossible"}));
    ASSERT_EQ(lines.size(), 20u);
    expect_heads(lines, 7, {"Relative Decision Threshold = ", " P BER at Relative Decision Threshold                   =",
                            "Equivalent Q at Relative Decision Threshold [linear] = ",
                            " P Equivalent Q at Relative Decision Threshold [dB]     = "});
    expect_heads(lines, 16, {"Mean Decision Threshold = ", " P BER at Mean Decision Threshold                    =",
                             "Equivalent Q at Mean Decision Threshold [linear]  = ",
                             " P Equivalent Q at Mean Decision Threshold [dB]      = "});
    r.rv[1] = 40.0f;  // marks noisier than spaces: the chi-square model fits
    q_ber_main(s, 1, r);
    expect_heads(report(), 2, {"Chi^2 Approximation used", "Chi^2 Degree of freedom = "});
    for (float& v : s) v = 1.0f - v;  // spaces noisier than marks: the Gaussian result stands
    q_ber_main(s, 1, r);
    lines = report();
    EXPECT_EQ(Lines(lines.begin() + 2, lines.begin() + 8),
              (Lines{"Gaussian Approximation used", "", "WARNING !", "It was impossible to use the Chi^2 approximation",
                     "The result has thus been obtained", "using the gaussian approximation"}));
}

}  // namespace
}  // namespace nodrix
