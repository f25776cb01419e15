// The user-defined optical filter through its registry entry: against closed
// forms and a direct convolution, its faults, the files its set-up leaves and
// the rounds that never read them back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "numerics/fft.h"
#include "runtime/format.h"
#include "tests/models/filters/optical_filter_bench.h"

namespace nodrix {
namespace {

using cd = std::complex<double>;
using testing::FilterBench;
using testing::HandOverFile;
using testing::read_hand_over;

// A description of evenly spaced abscissas, by default 185 to 202.5 THz (beyond the simulated band).
void write_table(const std::string& path, const std::function<std::string(double)>& columns, int points,
                 double lo = 185.0, double hi = 202.5) {
    std::string s = "# test description\nsome header words\n## data follow\n";
    for (int i = 0; i < points; ++i) {
        const double f = lo + (hi - lo) * i / (points - 1);
        s += fmt::F(f, 14, 8) + " " + columns(f) + "\n";
    }
    testing::write_text(path, s);
}
std::function<std::string(double)> constant(const std::string& c) { return [c](double) { return c; }; }

// A smooth band-pass (Gaussian amplitude, linear phase) keeps the FFT short.
std::string gaussian(double f) {
    const double x = (f - 194.1) / 0.6;
    return fmt::F(std::exp(-x * x), 16, 12) + " " + fmt::F(0.8 * x, 16, 12);
}

const std::string kFailure =
    "Nodrix-W-User defined optical filter at Test filter\n   The filter synthesis was not possible.\n"
    "   Please read the online help for further information.\n   Simulation will proceed, but the branch \n"
    "   after this block will be turned off\n";
const std::string kFewerThan64 =
    "Nodrix-W-User defined optical filter\n   The number of data points inside the \n"
    "   simulation bandwidth is less than 64\n   This number is usually too small\n   to obtain a sufficient accuracy\n";

class UserFilterTest : public testing::NodrixTest {
protected:
    // A filter of a description file: modulus only unless `kind` says otherwise.
    static void describe(FilterBench& f, const std::string& file, std::int32_t kind = 2) {
        f.bench.set("data_file", file).set("data", kind).set("title", std::string("Test filter"));
        f.bench.set("file_name", std::string("chart_base"));
    }
};

TEST_F(UserFilterTest, FlatUnitResponsePassesEverything) {
    write_table("flat.DAT", constant("1.0"), 700);
    FilterBench f("user_filter");
    describe(f, "flat");
    EXPECT_EQ(f.size(), "");
    EXPECT_EQ(f.out.iv, 1);
    for (int i = 0; i < kBins; ++i) ASSERT_NEAR(f.out.ps[i], f.in.ps[i], 1e-9) << i;
    const HandOverFile h = read_hand_over(77);
    ASSERT_EQ(h.active, 1);
    EXPECT_EQ(h.n, 1 << h.log2n);
    EXPECT_EQ(h.reserved, 0.0);
    ASSERT_EQ(std::int32_t(h.h.size()), h.n);
    // Taps cut below 0.0005 of the largest: a power ripple under 1e-3 in the
    // central band, under 2e-3 at its edges; pp carries the peak.
    double peak = 0.0;
    for (std::int32_t k = 0; k < h.n; ++k) {
        const double power = std::norm(h.h[k]), fr = (k < h.n / 2 ? k : k - h.n) / double(h.n);  // in units of fs
        peak = std::max(peak, power);
        if (std::fabs(fr) < 0.4) {
            ASSERT_NEAR(power, 1.0, std::fabs(fr) < 0.35 ? 1e-3 : 2e-3) << k;
        }
    }
    EXPECT_FLOAT_EQ(h.peak, float(peak));
    EXPECT_FLOAT_EQ(f.out.pp, f.in.pp * h.peak);
    EXPECT_NEAR(f.out.pp / f.in.pp, 1.0, 2e-3);
    // A flat delay (within 0.05 sample) including the latency; the window follows it.
    const double dt = f.settings().time_step_ps;
    for (int i = 102; i <= 922; ++i) {
        ASSERT_NEAR(f.out.gd[i], f.out.gd[512], 0.05 * dt) << i;
        ASSERT_GE(f.out.gd[i], 0.5 * h.n * dt);
        ASSERT_EQ(f.out.gd[i], h.delay[i]) << "the input had no delay";
    }
    EXPECT_NEAR(f.bench.window().ton, f.out.gd[512], 1e-2);
    EXPECT_NEAR(f.bench.window().toff, f.settings().emission_window_ps + f.out.gd[512], 1e-2);
}

TEST_F(UserFilterTest, UnusableDescriptionsTurnTheFilterOffWithTheFailureMessage) {
    struct Case {
        std::string content;  // empty: no file at all
        std::string reason;
    };
    const std::string increasing = "   The abscissas of the filter description file do not give increasing frequencies\n";
    const Case cases[] = {
        {"# header only\n1.0 1.0\n2.0 1.0\n", "   The filter description file has no line starting with ##\n"},
        {"##\n194.0 1.0\n193.0 1.0\n195.0 1.0\n193.5 1.0\n192.0 1.0\n", increasing},
        {"", "   The filter description file cannot be opened\n"},
    };
    for (const Case& c : cases) {
        std::filesystem::remove("bad.DAT");
        if (!c.content.empty()) testing::write_text("bad.DAT", c.content);
        FilterBench f("user_filter");
        describe(f, "bad");
        const bool read = c.reason == increasing;
        EXPECT_EQ(f.size(), (read ? kFewerThan64 : "") + kFailure + c.reason) << c.reason;
        EXPECT_EQ(f.out.iv, 0);
        EXPECT_EQ(f.out.pp, 0.0f);
        for (float v : f.out.ps) ASSERT_EQ(v, 0.0f);
        EXPECT_FALSE(std::filesystem::exists("bad.DAT") && c.content.empty()) << "no empty file left behind";
        // An off filter hands over N = 1.
        const HandOverFile h = read_hand_over(77);
        EXPECT_EQ(std::tuple(h.active, h.n, h.log2n, h.peak), std::tuple(0, 1, 1, 0.0f));
        EXPECT_EQ(f.set_up(), "");
        f.bench.run(1);
        EXPECT_EQ(std::tuple(f.out.x.re, f.out.y.re, f.out.y.fcenter), std::tuple(0.0f, 0.0f, 193.61597f));
    }
}

TEST_F(UserFilterTest, OverlapAddEqualsDirectConvolutionDelayedByHalfTheLength) {
    write_table("g.DAT", gaussian, 1500);
    for (std::int32_t npol : {1, 2}) {
        FilterBench f("user_filter", npol);
        describe(f, "g", 0);
        f.size();
        ASSERT_EQ(f.out.iv, 1);
        const HandOverFile h = read_hand_over(77);
        const std::int32_t n = h.n;
        ASSERT_EQ(std::int32_t(h.h.size()), n);
        ASSERT_LE(n, 4096) << "a short filter keeps this test small";
        std::vector<cd> taps = h.h;
        cfft2(taps.data(), h.log2n, +1);
        for (std::int32_t k = n / 2; k < n; ++k) ASSERT_LT(std::abs(taps[k]), 1e-12);
        // The run takes its filter from the block, not from the file, which
        // its state round deletes.
        testing::write_text("kn000077.DAT", "not a hand-over file");
        f.set_up();
        EXPECT_FALSE(std::filesystem::exists("kn000077.DAT"));
        std::mt19937 gen(7);
        std::normal_distribution<float> g(0.0f, 1.0f);
        std::vector<cd> xin, yin;
        double worst = 0.0;
        const float fb = f.settings().band.centre_thz;
        for (int s = 0; s < 3 * n + 17; ++s) {
            f.in.x = FieldSample{g(gen), g(gen), 193.0f};
            f.in.y = FieldSample{g(gen), g(gen), 193.0f};
            xin.emplace_back(f.in.x.re, f.in.x.im);
            yin.emplace_back(f.in.y.re, f.in.y.im);
            f.bench.run(s + 1);
            cd want_x(0.0, 0.0), want_y(0.0, 0.0);
            for (std::int32_t k = 0; k < n / 2 && s - n / 2 - k >= 0; ++k) {
                want_x += taps[k] * xin[s - n / 2 - k];
                want_y += taps[k] * yin[s - n / 2 - k];
            }
            worst = std::max(worst, std::abs(cd(f.out.x.re, f.out.x.im) - want_x));
            ASSERT_EQ(f.out.x.fcenter, fb);
            if (s < n / 2) {
                ASSERT_EQ(f.out.x.re, 0.0f) << "the first N/2 outputs are zero";
            }
            if (npol == 2) {
                worst = std::max(worst, std::abs(cd(f.out.y.re, f.out.y.im) - want_y));
                ASSERT_EQ(f.out.y.fcenter, fb);
            } else {
                ASSERT_EQ(std::tuple(f.out.y.re, f.out.y.im, f.out.y.fcenter), std::tuple(0.0f, 0.0f, 0.0f));
            }
        }
        EXPECT_LT(worst, 2e-6) << npol;
    }
}

TEST_F(UserFilterTest, ChartsFromTheRequestedDataOfTheSetUp) {
    write_table("g.DAT", gaussian, 1500);
    FilterBench f("user_filter");
    describe(f, "g", 0);
    f.bench.set("write_charts", 1.0);
    f.size();
    f.set_up();  // the run's set-up writes the charts
    const std::string chart = testing::read_text("chart_base.qxy");
    EXPECT_LT(chart.find("Requested Amplitude"), chart.find("Requested Phase"));
    EXPECT_LT(chart.find("Requested Phase"), chart.rfind("Group Delay"));
}

}  // namespace
}  // namespace nodrix
