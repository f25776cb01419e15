// The whole link simulated sample by sample: the physics of its results.
// These runs take minutes; they carry the CTest label "long".
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "kernel/driver.h"
#include "kernel/lib00.h"
#include "main/op_main.h"
#include "project/sim_160g.h"
#include "project/summary.h"
#include "tests/support/test_support.h"
#include "tests/xu/qxy_collect.h"
#include "xu/xu_msg.h"

namespace nodrix {
namespace {

namespace fs = std::filesystem;

// The sources' window of these runs: long enough for the estimators to
// observe 12.8 ns behind the link's delay spread (see the summary's note).
constexpr const char* kWindow = "30720";

struct SimRun {
    fs::path dir;
    int status = -1;
    std::string summary;
    std::string messages;
    // The spectral totals [mW] and total powers the set-up carried to the
    // power meters' inputs.
    std::map<std::int32_t, double> spectral_total;
    std::map<std::int32_t, double> pp;
};

// The file name of an instance's result: "sim_160G_" + code + four digits.
std::string instance_name(const char* code, std::int32_t instance) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "sim_160G_%s%04d", code, instance);
    return buf;
}

// The whole link, or a variant of it given by overrides.
SimRun simulate(const std::vector<LinkOverride>& overrides) {
    SimRun r;
    const fs::path previous = fs::current_path();
    char templ[] = "/tmp/nodrix-simulation-XXXXXX";
    r.dir = ::mkdtemp(templ);
    fs::current_path(r.dir);
    reset_kernel_errors();
    const auto schedule = sim160g::make_schedule(overrides);
    set_project(schedule->project());
    // The kernel storage sized by the dimensioning pass: some 35 million
    // double complex elements for the fibres' step filters.
    std::vector<std::string> words{"sim_160G", "-simulate", "-window", kWindow, "-autosize"};
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    ::testing::internal::CaptureStderr();
    // The summary reads the files the run put in place: made before the run ends.
    r.status = op_main(static_cast<int>(words.size()), argv.data(),
                       [&](int) { r.summary = simulation_summary(*schedule); });
    r.messages = ::testing::internal::GetCapturedStderr();
    for (std::int32_t signal : {70, 73, 74}) {
        const OpticalSignal& s = *schedule->optical(signal);
        double total = 0.0;
        for (float v : s.ps) total += v;
        r.spectral_total[signal] = total;
        r.pp[signal] = s.pp;
    }
    set_per_sample_run(false);
    fs::current_path(previous);
    return r;
}

// A spectrum or an eye signal as the chart reader gives it: its header (the
// frequency step and start, the samples per bit) and its one column.
struct Trace {
    QxyChartHeader header{};
    std::vector<double> v;
};
Trace read_trace(const SimRun& r, const std::string& name) {
    const testing::Outcome read = testing::run((r.dir / name).string());
    EXPECT_EQ(read.code, kQxyOk) << name << ": " << read.err;
    Trace t;
    if (read.got.charts.empty()) return t;
    t.header = read.got.charts[0].header;
    for (const auto& row : read.got.charts[0].rows) t.v.push_back(row.at(0).value());
    return t;
}

// Eye opening and Q of the best sampling phase: marks and spaces split at the
// mid level, Q = (mean1 - mean0) / (sigma1 + sigma0).
struct EyeFigures { double opening = -1.0; double q = 0.0; };
EyeFigures eye_figures(const Trace& e) {
    const auto [lo, hi] = std::minmax_element(e.v.begin(), e.v.end());
    const double mid = 0.5 * (*lo + *hi);
    EyeFigures best;
    for (std::int32_t phase = 0; phase < e.header.SamplesPerBit; ++phase) {
        double min_mark = 1e300, max_space = -1e300, s1 = 0, s0 = 0, q1 = 0, q0 = 0;
        int n1 = 0, n0 = 0;
        for (std::size_t k = static_cast<std::size_t>(phase); k < e.v.size(); k += static_cast<std::size_t>(e.header.SamplesPerBit)) {
            const double v = e.v[k];
            if (v > mid) {
                min_mark = std::min(min_mark, v);
                s1 += v;
                q1 += v * v;
                ++n1;
            } else {
                max_space = std::max(max_space, v);
                s0 += v;
                q0 += v * v;
                ++n0;
            }
        }
        if (n1 < 2 || n0 < 2) continue;
        const double m1 = s1 / n1, m0 = s0 / n0;
        const double sd1 = std::sqrt(std::max(0.0, q1 / n1 - m1 * m1));
        const double sd0 = std::sqrt(std::max(0.0, q0 / n0 - m0 * m0));
        if (min_mark - max_space > best.opening) {
            best.opening = min_mark - max_space;
            best.q = (m1 - m0) / (sd1 + sd0);
        }
    }
    return best;
}

class SimulationTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        reference_ = new SimRun(simulate({}));
        struct rusage usage {};
        getrusage(RUSAGE_SELF, &usage);
        peak_kib_ = usage.ru_maxrss;
    }
    static void TearDownTestSuite() {
        std::error_code ec;
        for (SimRun* r : {reference_, linear_}) {
            if (r == nullptr) continue;
            fs::remove_all(r->dir, ec);
            delete r;
        }
        reference_ = linear_ = nullptr;
    }
    static const SimRun& reference() { return *reference_; }
    static const SimRun& linear() {
        if (linear_ == nullptr) linear_ = new SimRun(simulate({*parse_override("73.gamma_per_w_per_km=0")}));
        return *linear_;
    }
    static SimRun* reference_;
    static SimRun* linear_;
    static long peak_kib_;
};
SimRun* SimulationTest::reference_ = nullptr;
SimRun* SimulationTest::linear_ = nullptr;
long SimulationTest::peak_kib_ = 0;

// The files the run leaves, and that none of its working files is left, are
// those of the regression net's shorter simulation; the results are read below.
TEST_F(SimulationTest, CompletesWithoutAnErrorAndObservesEveryMeasurement) {
    ASSERT_EQ(reference().status, 0) << reference().messages;
    EXPECT_EQ(reference().messages.find("Nodrix-E-"), std::string::npos) << reference().messages;
    EXPECT_NE(reference().summary.find("Simulation of sim_160G"), std::string::npos);
    EXPECT_EQ(reference().summary.find("not observed"), std::string::npos) << reference().summary;
}

TEST_F(SimulationTest, EachRecordIsHeldOnceAndPeakMemoryStaysUnder800MiB) {
    ASSERT_EQ(reference().status, 0);
    // The fibres' filters and buffers (about 480 MiB) are held once, by the
    // fibre blocks.
    EXPECT_LT(peak_kib_, 800L * 1024);
}

TEST_F(SimulationTest, SpectrumAfterTheBoosterShowsSixteenCarriers) {
    ASSERT_EQ(reference().status, 0);
    const Trace s = read_trace(reference(), "sim_160G_OSA0072.qsp");
    ASSERT_GT(s.v.size(), 100u);
    const double step = s.header.FrequencyStep;
    const double floor_db = *std::min_element(s.v.begin(), s.v.end());
    for (int k = 0; k < 16; ++k) {
        const double f = 192.35 + 0.1 * k;
        // The strongest point within 50 GHz of the carrier lies within one
        // frequency step of it and stands well above the floor.
        std::size_t best = 0;
        double best_db = -1e300;
        for (std::size_t i = 0; i < s.v.size(); ++i)
            if (std::abs(s.header.Tstart + i * step - f) < 0.05 && s.v[i] > best_db) best_db = s.v[i], best = i;
        EXPECT_NEAR(s.header.Tstart + best * step, f, step) << "carrier " << k + 1;
        EXPECT_GT(best_db, floor_db + 40.0) << "carrier " << k + 1;
    }
}

TEST_F(SimulationTest, PowerMetersAgreeWithTheSetUp) {
    ASSERT_EQ(reference().status, 0);
    // Each meter measures the mean power of its input. The set-up's spectral
    // total is that mean; its pp is the power of the marks (the modulators
    // carry the lasers' power less their insertion loss), twice the mean of an
    // NRZ signal with as many marks as spaces.
    const std::pair<std::int32_t, std::int32_t> meters[] = {{71, 70}, {93, 73}, {94, 74}};
    for (const auto& [meter, signal] : meters) {
        const auto dbm = read_power_meter_report((reference().dir / instance_name("OPM", meter)).string() + ".DAT");
        ASSERT_TRUE(dbm.has_value()) << meter;
        const double mw = std::pow(10.0, *dbm / 10.0);
        EXPECT_NEAR(mw, reference().spectral_total.at(signal), 0.05 * mw) << meter;
        EXPECT_NEAR(mw, 0.5 * reference().pp.at(signal), 0.05 * mw) << meter;
    }
    // The fixed output power amplifier holds its 10 mW target.
    const auto line = read_power_meter_report((reference().dir / "sim_160G_OPM0093.DAT").string());
    ASSERT_TRUE(line.has_value());
    EXPECT_NEAR(std::pow(10.0, *line / 10.0), 10.0, 0.5);
}

TEST_F(SimulationTest, MeasuredChannelsHaveOpenEyesAndAQOfAtLeastSix) {
    ASSERT_EQ(reference().status, 0);
    for (const char* eye : {"sim_160G_EYE0111.qsg", "sim_160G_EYE0118.qsg"}) {
        const Trace e = read_trace(reference(), eye);
        EXPECT_EQ(e.header.SamplesPerBit, 32);
        EXPECT_GE(e.v.size(), 32u * 100);
        const EyeFigures f = eye_figures(e);
        EXPECT_GT(f.opening, 0.0) << eye;
        EXPECT_GE(f.q, 6.0) << eye;
    }
    for (std::int32_t estimator : {110, 125, 132}) {
        const auto r = read_estimator_report((reference().dir / instance_name("PST", estimator)).string() + ".DAT");
        ASSERT_TRUE(r.has_value()) << estimator;
        EXPECT_GE(r->q_linear, 6.0) << estimator;
        EXPECT_LE(r->ber, 1e-9) << estimator;
        // The mean photocurrent: a channel of the 31.6 mW at the demultiplexer input.
        EXPECT_NEAR(r->mean_level, 31.6e-3 / 16.0, 0.5e-3) << estimator;
    }
}

TEST_F(SimulationTest, WithoutKerrEffectTheQIsNotLower) {
    ASSERT_EQ(reference().status, 0);
    ASSERT_EQ(linear().status, 0);
    // The same noise realisations: only the span's non-linearity differs. The
    // estimators' Q is the one at the optimal decision threshold.
    for (std::int32_t estimator : {110, 125, 132}) {
        const std::string report = instance_name("PST", estimator) + ".DAT";
        const auto kerr = read_estimator_report((reference().dir / report).string());
        const auto lin = read_estimator_report((linear().dir / report).string());
        ASSERT_TRUE(kerr.has_value() && lin.has_value()) << estimator;
        EXPECT_GE(lin->q_linear, kerr->q_linear) << estimator;
        EXPECT_LE(lin->ber, kerr->ber) << estimator;
    }
    for (const char* eye : {"sim_160G_EYE0111.qsg", "sim_160G_EYE0118.qsg"}) {
        const EyeFigures kerr = eye_figures(read_trace(reference(), eye));
        const EyeFigures lin = eye_figures(read_trace(linear(), eye));
        EXPECT_GE(lin.q, kerr.q * 0.99) << eye;
    }
}

}  // namespace
}  // namespace nodrix
