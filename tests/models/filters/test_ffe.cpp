// The feed-forward equaliser on a channel of known intersymbol interference
// (a Bessel filter far below the symbol rate): trained taps against the
// least-squares (Wiener) solution solved here, and the eye it opens.
#include <cmath>
#include <random>
#include <vector>

#include "models/filters/ffe.h"
#include "models/measurements/multilevel_estimator.h"
#include "tests/models/measurements/run_harness.h"
#include "tests/support/block_bench.h"

namespace nodrix {
namespace {

using FfeTest = testing::BlockTest;

constexpr int kPerSymbol = 8;
constexpr int kTraining = 1024;  // symbols

// Solves a x = b by Gaussian elimination with partial pivoting.
std::vector<double> solve(std::vector<std::vector<double>> a, std::vector<double> b) {
    const std::size_t n = b.size();
    for (std::size_t c = 0; c < n; ++c) {
        std::size_t pivot = c;
        for (std::size_t r = c + 1; r < n; ++r)
            if (std::fabs(a[r][c]) > std::fabs(a[pivot][c])) pivot = r;
        std::swap(a[c], a[pivot]);
        std::swap(b[c], b[pivot]);
        for (std::size_t r = c + 1; r < n; ++r) {
            const double f = a[r][c] / a[c][c];
            for (std::size_t k = c; k < n; ++k) a[r][k] -= f * a[c][k];
            b[r] -= f * b[c];
        }
    }
    std::vector<double> x(n);
    for (std::size_t r = n; r-- > 0;) {
        double s = b[r];
        for (std::size_t k = r + 1; k < n; ++k) s -= a[r][k] * x[k];
        x[r] = s / a[r][r];
    }
    return x;
}

// The signal through symbol source, driver (0..3 V, rectangular), a
// fourth-order Bessel low-pass at 0.3 x the symbol rate and the equaliser.
struct Channel {
    std::vector<float> received;   // the equaliser's input
    std::vector<float> equalised;  // its output
};

Channel run_channel(int spacing, int samples, double noise_v) {
    SimulationSettings settings;
    settings.time_step_ps = 1.0f;  // a symbol of 8 ps: 125 GBd
    settings.end_time_ps = static_cast<float>(samples);
    settings.monitor_offset_ps = 0.0f;
    testing::BlockBench source("symbol_source", settings);
    source.set("samples_per_symbol", kPerSymbol).set("degree", 9);
    const LogicalSignal& level = source.output<LogicalSignal>("output");
    testing::BlockBench driver("multilevel_driver", settings);
    driver.set("samples_per_symbol", kPerSymbol).set("low_level_v", 0.0).set("high_level_v", 3.0);
    LogicalSignal& driven = driver.input<LogicalSignal>("input");
    const ElectricalSample& drive = driver.output<ElectricalSample>("output");
    testing::BlockBench filter("bessel_filter", settings);
    filter.set("order", 4).set("bandwidth_thz", 0.0375);
    ElectricalSample& unfiltered = filter.input<ElectricalSample>("input");
    const ElectricalSample& filtered = filter.output<ElectricalSample>("output");
    testing::BlockBench ffe("ffe", settings);
    ffe.set("samples_per_symbol", kPerSymbol).set("degree", 9).set("taps", 7).set("spacing", spacing);
    ffe.set("training_delay_ps", 40.0 * kPerSymbol).set("training_symbols", kTraining);
    ffe.set("step", spacing == 1 ? 0.01 : 0.05).set("passes", spacing == 1 ? 60 : 400);
    ffe.producer_window() = TimeWindow{0.0f, 1e9f, 0.0f, 1e9f};
    ElectricalSample& in = ffe.input<ElectricalSample>("input");
    const ElectricalSample& out = ffe.output<ElectricalSample>("output");
    for (testing::BlockBench* b : {&source, &driver, &filter, &ffe}) {
        b->context().enter_round(SetupRound::state);
        EXPECT_TRUE(b->start().ok());
    }
    std::mt19937 rng(11u);
    std::normal_distribution<double> noise(0.0, noise_v);
    Channel c;
    for (int step = 1; step <= samples; ++step) {
        source.run(step);
        driven = level;
        driver.run(step);
        unfiltered = drive;
        filter.run(step);
        in = filtered;
        in.value += static_cast<float>(noise(rng));
        ffe.run(step);
        c.received.push_back(in.value);
        c.equalised.push_back(out.value);
    }
    return c;
}

// The decisions of the equaliser over the training span for the alignment it
// takes: regressors and targets.
struct Decisions { std::vector<std::vector<double>> u; std::vector<double> d; };

Decisions decisions(const std::vector<float>& x, int spacing_samples, const std::vector<std::int32_t>& pattern,
                    const TrainingAlignment& a) {
    const int cursor = 3;
    Decisions s;
    for (std::size_t k = 0;; ++k) {
        const std::size_t n = a.phase + cursor * spacing_samples + k * kPerSymbol;
        if (n >= x.size()) break;
        if (n < static_cast<std::size_t>(6 * spacing_samples)) continue;
        std::vector<double> u(7);
        for (int j = 0; j < 7; ++j) u[j] = x[n - j * spacing_samples] - a.mean;
        s.u.push_back(u);
        s.d.push_back(a.gain * (pattern[(a.lag + k) % pattern.size()] - 1.5));
    }
    return s;
}

// The least-squares taps: the normal equations R w = p.
std::vector<double> wiener_taps(const Decisions& s) {
    std::vector<std::vector<double>> r(7, std::vector<double>(7, 0.0));
    std::vector<double> p(7, 0.0);
    for (std::size_t k = 0; k < s.d.size(); ++k)
        for (int i = 0; i < 7; ++i) {
            p[i] += s.u[k][i] * s.d[k];
            for (int j = 0; j < 7; ++j) r[i][j] += s.u[k][i] * s.u[k][j];
        }
    return solve(r, p);
}

double mean_squared_error(const Decisions& s, const std::vector<double>& taps) {
    double sum = 0.0;
    for (std::size_t k = 0; k < s.d.size(); ++k) {
        double y = 0.0;
        for (int j = 0; j < 7; ++j) y += taps[j] * s.u[k][j];
        sum += (s.d[k] - y) * (s.d[k] - y);
    }
    return sum / static_cast<double>(s.d.size());
}

TEST_F(FfeTest, TrainedTapsAreTheWienerSolutionAndOpenTheEye) {
    const std::vector<std::int32_t> pattern = training_pattern(9, 1, 4);
    for (const int spacing : {1, 2}) {
        const int spacing_samples = spacing == 1 ? kPerSymbol : kPerSymbol / 2;
        const int start = 40 * kPerSymbol;  // the training span
        const int samples = start + (kTraining + 600) * kPerSymbol;
        const Channel c = run_channel(spacing, samples, 0.02);
        const std::vector<float> span(c.received.begin() + start, c.received.begin() + start + kTraining * kPerSymbol);
        const TrainingAlignment a = align_training(span, kPerSymbol, pattern, 4);
        // T/2 taps see a band-limited signal twice per symbol: directions of
        // little weight in the error converge slowly, so that spacing gets a
        // larger step and more passes.
        std::vector<double> lms(7);
        lms_train(span, kPerSymbol, spacing_samples, 3, pattern, 4, a, spacing == 1 ? 0.01 : 0.05,
                  spacing == 1 ? 60 : 400, lms);
        const Decisions s = decisions(span, spacing_samples, pattern, a);
        const std::vector<double> wiener = wiener_taps(s);
        double largest = 0.0;
        for (const double w : wiener) largest = std::max(largest, std::fabs(w));
        const double tolerance = spacing == 1 ? 0.01 : 0.1;
        for (int j = 0; j < 7; ++j)
            EXPECT_NEAR(lms[j], wiener[j], tolerance * largest) << "spacing " << spacing << " tap " << j;
        // The error is within 1 % (T) or 5 % (T/2) of the least one.
        EXPECT_LT(mean_squared_error(s, lms), (spacing == 1 ? 1.01 : 1.05) * mean_squared_error(s, wiener)) << spacing;
        // The block's output after the training is the signal through these
        // taps: its eye, closed at 1e-6 before, opens.
        const int after = start + kTraining * kPerSymbol + 8 * kPerSymbol;
        const std::vector<float> before(c.received.begin() + after, c.received.end());
        const std::vector<float> equalised(c.equalised.begin() + after, c.equalised.end());
        const MultilevelEvaluation closed = evaluate_multilevel(before, kPerSymbol, 4);
        const MultilevelEvaluation open = evaluate_multilevel(equalised, kPerSymbol, 4);
        for (int eye = 0; eye < 3; ++eye) {
            EXPECT_LT(closed.best.opening[eye], 0.0) << spacing << " " << eye;
            EXPECT_GT(open.best.opening[eye], 0.0) << spacing << " " << eye;
        }
        double y = a.mean;  // the block's last sample by hand, from the taps trained here
        const std::size_t n = c.equalised.size() - 1;
        for (int j = 0; j < 7; ++j) y += lms[j] * (c.received[n - j * spacing_samples] - a.mean);
        EXPECT_NEAR(c.equalised[n], y, 1e-4);
    }
}

TEST_F(FfeTest, FixedTapsFilterAndBadTapListsAreRefused) {
    testing::BlockBench bench("ffe");
    bench.set("samples_per_symbol", 2).set("taps", 3).set("mode", 1).set("fixed_taps", std::string("0.5, 1, -0.25"));
    ElectricalSample& in = bench.input<ElectricalSample>("input");
    const ElectricalSample& out = bench.output<ElectricalSample>("output");
    bench.context().enter_round(SetupRound::state);
    ASSERT_TRUE(bench.start().ok());
    // Taps at T = 2 samples: y[n] = 0.5 x[n] + x[n - 2] - 0.25 x[n - 4].
    const std::vector<float> x{1, 0, 0, 0, 0, 0, 2, 0};
    const std::vector<float> expected{0.5f, 0, 1, 0, -0.25f, 0, 1, 0};
    for (std::size_t k = 0; k < x.size(); ++k) {
        in.value = x[k];
        bench.run(static_cast<std::int32_t>(k + 1));
        EXPECT_FLOAT_EQ(out.value, expected[k]) << k;
    }
    BlockSettings s = BlockSettings::defaults(bench.kind());
    s.set_number("samples_per_symbol", 3);
    s.set_number("spacing", 2);
    s.set_number("mode", 1);
    s.set_text("fixed_taps", "1, x");
    Findings found;
    bench.kind().check(s, LinkContext{}, found);
    ASSERT_GE(found.list().size(), 2u);
    EXPECT_EQ(found.list()[0].text, "spacing = \"half_symbol\" needs an even samples_per_symbol, not 3");
    EXPECT_EQ(found.list()[1].text, "mode = \"fixed\": fixed_taps must hold taps = 7 numbers separated by commas");
}

}  // namespace
}  // namespace nodrix
