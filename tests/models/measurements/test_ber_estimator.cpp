#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "kernel/control_blocks.h"
#include "kernel/storage.h"
#include "models/measurements/ber_estimator.h"
#include "tests/support/test_support.h"

namespace nodrix {
namespace {

using testing::NodrixTest;
using testing::read_text;

const std::string kTitle = "pestim3 Run(s): 1";
const std::string kTitle50 = kTitle + std::string(50 - kTitle.size(), ' ');

class BerEstimator : public NodrixTest {
protected:
    void SetUp() override {
        NodrixTest::SetUp();
        testing::set_project_constants();
    }

    static PestimParams params(std::int32_t spb, std::int32_t kind, std::int32_t length) {
        return PestimParams{0.0f, 0.0f, spb, length, kind, 0.5f, {0, 0, 0, 0}, {0.5f, 0.0f},
                            kTitle, "rep  x", kTitle, "chart"};
    }

    static void reset_cursors() {
        zzsupv.h = zzsupv.i = zzsupv.c = zzsupv.d = zzsupv.z = zzsupv.zd = 1;
    }

    // The initialisation call and `steps` per-sample calls as a schedule makes
    // them; the observation covers the run from time 0, which ends after
    // `end_steps` samples (by default the last one called).
    static void run(PestimParams p, const std::function<float(std::int32_t)>& input, std::int32_t steps,
                    std::int32_t end_steps = 0) {
        const TimeWindow in = window();
        p.window = static_cast<float>((steps + 1) * static_cast<double>(zzctrl.delt));
        zzsupv.storephase = 1;
        zzflmn.nohist = 0;
        optcl_ctrl.blkmode = 1;
        // The run ends on sample `end_steps`: its interval contains tend.
        zzctrl.tend = static_cast<float>(((end_steps > 0 ? end_steps : steps) - 0.5) * static_cast<double>(zzctrl.delt));
        zdctrl.ddelt = zzctrl.delt;
        zzctrl.pass = 0;
        reset_cursors();
        pestim(p, in, ElectricalSample{});
        for (std::int32_t k = 1; k <= steps; ++k) {
            zzctrl.pass = 1;
            zzctrl.step = k;
            zzctrl.time = static_cast<float>((k - 1) * static_cast<double>(zzctrl.delt));
            zdctrl.dtime = (k - 1) * zdctrl.ddelt;
            reset_cursors();
            pestim(p, in, ElectricalSample{input(k), 0.0f, 0.0f});
        }
    }
    static TimeWindow window() { return TimeWindow{0.0f, 1e9f, -polmon.tmon, 1e9f}; }

    static std::vector<std::string> report() {
        std::vector<std::string> lines;
        std::string text = read_text("rep.DAT");
        std::size_t at = 0;
        while (at < text.size()) {
            const std::size_t nl = text.find('\n', at);
            lines.push_back(text.substr(at, nl - at));
            at = nl + 1;
        }
        return lines;
    }

    static bool has_lines(const std::vector<std::string>& all, const std::vector<std::string>& want) {
        for (std::size_t k = 0; k + want.size() <= all.size(); ++k)
            if (std::equal(want.begin(), want.end(), all.begin() + static_cast<std::ptrdiff_t>(k))) return true;
        return false;
    }

    // Number of points and X values of the first chart of a version 1 XY file.
    static std::vector<double> chart_x(const std::string& path) {
        const std::vector<unsigned char> b = testing::read_bytes(path);
        std::int32_t n;
        std::memcpy(&n, b.data() + 36, 4);
        std::size_t at = 36 + 4 + 16;
        for (int t = 0; t < 5; ++t) at = static_cast<std::size_t>(std::find(b.begin() + static_cast<std::ptrdiff_t>(at), b.end(), 0) - b.begin()) + 1;
        at += 4;
        std::vector<double> x(static_cast<std::size_t>(n));
        for (std::int32_t k = 0; k < n; ++k) std::memcpy(&x[static_cast<std::size_t>(k)], b.data() + at + 16 * k, 8);
        return x;
    }

    static QBerRequest request(std::int32_t mode, std::int32_t length) {
        QBerRequest r;
        r.mode = mode;
        r.pattern_length = length;
        r.rv = {0.5f, 0.0f};
        r.bit_period = 100.0;
        r.title = kTitle;
        r.report_name = "rep";
        r.file_name = "chart   ";
        return r;
    }
};

TEST_F(BerEstimator, ConstantInputReportsQ2InBothModes) {
    PestimParams p = params(8, 0, 1);
    run(p, [](std::int32_t) { return 0.25f; }, 8 * 60);
    EXPECT_EQ(report(), (std::vector<std::string>{
                            "BER Estimator at " + kTitle50,
                            "BER evaluation with pattern length   1",
                            "Gaussian Approximation used",
                            "Optimal Decision Threshold =  0.25000E+00",
                            " P BER at Optimal Decision Threshold                   = 0.22750E-01",
                            "Equivalent Q at Optimal Decision Threshold [linear] =   2.00000",
                            " P Equivalent Q at Optimal Decision Threshold [dB]     =   6.02060",
                            "",
                            "WARNING !",
                            "  The evaluated BER is very high",
                            "  and has been conventionally truncated to  0.22750E-01",
                        }));
    p = params(8, -1, 1);
    p.nv = {0, 1, 0, 0};
    run(p, [](std::int32_t) { return 0.25f; }, 8 * 60);
    EXPECT_EQ(report(), (std::vector<std::string>{
                            "Q Estimator at " + kTitle50,
                            "Q-evaluation with pattern length   1",
                            " P Q value  [dB]       =      6.02060",
                            " P Q value  [linear]   =      2.00000",
                            "Optimal threshold   =  0.25000E+00",
                            "",
                            "WARNING !",
                            "  The evaluated Q-value is very low",
                            "  and has been conventionally truncated to      6.02060 dB",
                            " P Eye closure [dB]    =     50.00000",
                            " P Average eye opening =  0.00000E+00",
                            " P Eye opening         =  0.00000E+00",
                        }));
    EXPECT_TRUE(std::filesystem::exists("rep_old.DAT"));  // the previous report is kept
}

TEST_F(BerEstimator, StorageRequestsAndBadParameters) {
    zzctrl.pass = 0;
    optcl_ctrl.blkmode = 1;
    PestimParams p = params(8, 0, 1);
    p.window = 100.0f;  // trunc(100 / (8 dt)) = 195 bits: (195 + 1) x 8 samples
    pestim(p, TimeWindow{}, ElectricalSample{});
    EXPECT_EQ(optcl_ctrl.memused, (4 * 1568 + 8) + (4 * 3 + 8) + (4 + 8));
    EXPECT_EQ(zzmax.h, 1570 + 3);
    EXPECT_EQ(zzmax.i, 5);
    optcl_ctrl.memused = 0;
    p.samples_per_bit = 150;  // 100 kept: trunc(100 / (150 dt)) = 10 bits
    pestim(p, TimeWindow{}, ElectricalSample{});
    EXPECT_EQ(optcl_ctrl.memused, (4 * 1100 + 8) + 20 + 12);
    // Allocating with nohist 1: the records are made but no state is written.
    zzsupv.storephase = 1;
    zzflmn.nohist = 1;
    reset_cursors();
    zzist[2] = 77;  // the collecting flag of the record at position 1 (two header words first)
    pestim(p, TimeWindow{}, ElectricalSample{});
    EXPECT_EQ(zzist[2], 77);
    zzflmn.nohist = 0;
    reset_cursors();
    pestim(p, TimeWindow{}, ElectricalSample{});
    EXPECT_EQ(zzist[2], 0);
    zzsupv.storephase = 0;
    optcl_ctrl.memused = 0;
    p.pattern_length = 2;
    ::testing::internal::CaptureStderr();
    pestim(p, TimeWindow{}, ElectricalSample{});
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Nodrix-E-pestim pestim3 Run(s): 1: the pattern length must be 1, 3 or 5\n");
    EXPECT_EQ(optcl_ctrl.memused, 0);
}

TEST_F(BerEstimator, EvaluatesOnceAtTheEndOfTheRun) {
    PestimParams p = params(4, 0, 1);
    auto input = [](std::int32_t k) { return ((k - 1) / 4) % 3 == 0 ? 1.0f : 0.0f; };
    run(p, input, 399, 400);
    EXPECT_FALSE(std::filesystem::exists("rep.DAT"));
    p.window = static_cast<float>(400 * static_cast<double>(zzctrl.delt));  // as run() set it
    for (std::int32_t k : {400, 401}) {  // the last sample of the run, then one past it
        zzctrl.step = k;
        zzctrl.time = static_cast<float>((k - 1) * static_cast<double>(zzctrl.delt));
        zdctrl.dtime = (k - 1) * zdctrl.ddelt;
        reset_cursors();
        pestim(p, window(), ElectricalSample{input(k), 0.0f, 0.0f});
        EXPECT_EQ(std::filesystem::exists("rep.DAT"), k == 400) << k;
        std::filesystem::remove("rep.DAT");
    }
}

TEST_F(BerEstimator, MoreThan100SamplesPerBitKeep100) {
    PestimParams p = params(150, 0, 1);
    p.nv = {1, 0, 0, 0};
    run(p, [](std::int32_t k) { return ((k - 1) / 150) % 2 == 0 ? 0.2f : 0.9f; }, 150 * 40);
    const std::vector<double> x = chart_x("chart.qxy");
    ASSERT_EQ(x.size(), 100u);
    // The bit lasts 150 time steps: instants 1.5 steps apart.
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
    // Nine marks and nine spaces with noise: status 4.
    std::vector<float> few;
    for (int b = 0; b < 18; ++b) few.push_back(static_cast<float>(b % 2) + 0.01f * static_cast<float>(b % 5));
    q_ber_main(few, 1, request(1, 1));
    EXPECT_TRUE(has_lines(report(), {"", "WARNING !", "  There are less than 10 occurences for one of the patterns",
                                     "  In this case, the numerical results may be unreliable",
                                     "  You should probably increase the number of simulated bits"}));
}

TEST_F(BerEstimator, QModeSideResultsAndCharts) {
    // N = 10: a raised-cosine-like eye with noise; all four Q-mode requests.
    std::mt19937 gen(11);
    std::normal_distribution<float> noise(0.0f, 0.03f);
    std::vector<float> s;
    int prev = 0;
    for (int b = 0; b < 400; ++b) {
        const int bit = static_cast<int>(gen() & 1u);
        for (int j = 0; j < 10; ++j) {
            const float w = 0.5f - 0.5f * std::cos(3.14159265f * (j + 0.5f) / 10.0f);
            s.push_back(static_cast<float>(prev) + (static_cast<float>(bit - prev)) * w + noise(gen));
        }
        prev = bit;
    }
    QBerRequest r = request(0, 1);
    r.nv = {1, 1, 1, 1};
    q_ber_main(s, 10, r);
    const std::vector<std::string> lines = report();
    ASSERT_GE(lines.size(), 12u);
    EXPECT_EQ(lines[5].substr(0, 25), " P Eye closure [dB]    = ");
    EXPECT_EQ(lines[8].substr(0, 25), " P Jitter value [ps]   = ");
    EXPECT_TRUE(has_lines(lines, {"Tolerance to Sampling Instant Variation with",
                                  "Q factor degradation tolerance of  1.000 dB: "}));
    EXPECT_EQ(lines[11].substr(0, 37), " P Sampling Instant Tolerance [ps] = ");
    // The Q chart holds the 8 instants left after one is removed at each end.
    const std::vector<double> x = chart_x("chart.qxy");
    ASSERT_EQ(x.size(), 8u);
    for (int k = 0; k < 8; ++k) EXPECT_NEAR(x[static_cast<std::size_t>(k)], (k - 4) * 10.0, 1e-12);
    const std::string bytes = read_text("chart.qxy");
    EXPECT_NE(bytes.find(std::string("Q vs. Sampling Instant \0time\0ps\0Q \0dB\0", 39)), std::string::npos);
    EXPECT_NE(bytes.find(std::string("EYE Closure vs. Sampling Instant \0time\0ps\0 EYE Closure \0dB\0", 59)),
              std::string::npos);
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
    std::vector<std::string> lines = report();
    EXPECT_TRUE(has_lines(lines, {"Fixed Decision Threshold =  0.50000E+01",
                                  " P BER at Fixed Decision Threshold =-0.10000E+01", "ERROR !",
                                  "  The Fixed Decision Threshold is outside the eye",
                                  "  BER evaluation is impossible"}));
    ASSERT_EQ(lines.size(), 20u);
    EXPECT_EQ(lines[7].substr(0, 30), "Relative Decision Threshold = ");
    EXPECT_EQ(lines[8].substr(0, 57), " P BER at Relative Decision Threshold                   =");
    EXPECT_EQ(lines[9].substr(0, 55), "Equivalent Q at Relative Decision Threshold [linear] = ");
    EXPECT_EQ(lines[10].substr(0, 58), " P Equivalent Q at Relative Decision Threshold [dB]     = ");
    EXPECT_EQ(lines[16].substr(0, 26), "Mean Decision Threshold = ");
    EXPECT_EQ(lines[17].substr(0, 54), " P BER at Mean Decision Threshold                    =");
    EXPECT_EQ(lines[18].substr(0, 52), "Equivalent Q at Mean Decision Threshold [linear]  = ");
    EXPECT_EQ(lines[19].substr(0, 55), " P Equivalent Q at Mean Decision Threshold [dB]      = ");
    // Marks noisier than spaces: the chi-square model fits.
    r.rv[1] = 40.0f;
    q_ber_main(s, 1, r);
    lines = report();
    EXPECT_EQ(lines[2], "Chi^2 Approximation used");
    EXPECT_EQ(lines[3].substr(0, 26), "Chi^2 Degree of freedom = ");
    // Spaces noisier than marks: no chi-square model, the Gaussian result stands.
    for (float& v : s) v = 1.0f - v;
    q_ber_main(s, 1, r);
    lines = report();
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 2, lines.begin() + 8),
              (std::vector<std::string>{"Gaussian Approximation used", "", "WARNING !",
                                        "It was impossible to use the Chi^2 approximation",
                                        "The result has thus been obtained", "using the gaussian approximation"}));
}

}  // namespace
}  // namespace nodrix
