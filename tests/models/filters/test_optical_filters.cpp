// The user-defined optical filter against closed forms and a direct convolution,
// its faults, and the raised-cosine filter that writes a description for it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iterator>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "numerics/fft.h"
#include "models/filters/lorentzian.h"
#include "models/filters/optical_filter.h"
#include "models/filters/raised_cosine.h"
#include "kernel/control_blocks.h"
#include "kernel/storage.h"
#include "runtime/format.h"
#include "runtime/record_file.h"
#include "tests/models/filters/block_schedule.h"
#include "tests/support/test_support.h"

namespace nodrix {
namespace {

using cd = std::complex<double>;
using Rows = std::vector<std::vector<double>>;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

// The numbers of a description file: the title line, the "##" marker, then lines matching `line_form`.
Rows read_description(const std::string& path, const std::string& title, const std::string& line_form) {
    std::istringstream in(testing::read_text(path));
    std::string l;
    std::getline(in, l);
    EXPECT_EQ(l, title);
    std::getline(in, l);
    EXPECT_EQ(l, "##");
    const std::regex form(line_form);
    Rows rows;
    while (std::getline(in, l)) {
        EXPECT_TRUE(std::regex_match(l, form)) << l;
        std::istringstream fields(l);
        rows.emplace_back(std::istream_iterator<double>(fields), std::istream_iterator<double>());
    }
    return rows;
}

// The head of the hand-over file "kn" + six digits and the realised response (FFT order).
struct HandOverFile {
    std::int32_t active = 0, n = 0, log2n = 0;
    double reserved = -1.0;
    float peak = 0.0f;
    std::vector<cd> h;
};

HandOverFile read_hand_over(std::int32_t instance) {
    HandOverFile r;
    char name[32];
    std::snprintf(name, sizeof name, "kn%06d.DAT", instance);
    std::FILE* f = std::fopen(name, "rb");
    if (f == nullptr) return r;
    records::read_values(f, r.active);
    records::read_values(f, r.n);
    records::read_values(f, r.log2n);
    records::read_values(f, r.reserved);
    records::read_values(f, r.peak);
    for (int i = 0; i < kBins; ++i) records::skip(f);  // bin offset, transmission, delay
    for (cd v; std::int32_t(r.h.size()) < r.n && records::read_values(f, v);) r.h.push_back(v);
    std::fclose(f);
    return r;
}

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

const std::string kFailure =
    "Nodrix-W-User defined optical filter at Test filter\n   The filter synthesis was not possible.\n"
    "   Please read the online help for further information.\n   Simulation will proceed, but the branch \n"
    "   after this block will be turned off\n";
const std::string kFewerThan64 =
    "Nodrix-W-User defined optical filter\n   The number of data points inside the \n"
    "   simulation bandwidth is less than 64\n   This number is usually too small\n   to obtain a sufficient accuracy\n";

class OpticalFilterTest : public testing::NodrixTest {
protected:
    void SetUp() override {
        NodrixTest::SetUp();
        testing::set_project_constants();
        in_.iv = 1;
        in_.pp = 2.0f;
        for (int i = 0; i < kBins; ++i) in_.ps[i] = 0.001f * float(i % 7 + 1);
    }
    // Block set-up, or the initialisation call of a run, with its messages captured.
    template <class Params>
    std::string setup(void (*block)(const Params&, const InputWindow&, TimeWindow&, const OpticalSignal&, OpticalSignal&),
                      const Params& p, bool run_init = false) {
        run_init ? testing::begin_run_init() : testing::begin_setup();
        CaptureStderr();
        block(p, win_, tw_, in_, out_);
        return GetCapturedStderr();
    }
    std::string setup(const UsdfilParams& p) { return setup(usdfil, p); }
    std::string initialise(const UsdfilParams& p) { return setup(usdfil, p, true); }
    // Options: instance 77, one polarisation, absolute frequencies, linear modulus.
    UsdfilParams params(const std::string& file, std::int32_t kind = 2) {
        UsdfilParams p;
        p.file_options = {77, 1, 1, kind, 0, 0, 0, 0};
        file_ = file + std::string(50 - file.size(), ' ');
        p.data_file = file_;
        p.block_name = "Test filter";
        p.file_base = "chart_base";
        return p;
    }
    // Link channel k: n = 1, r = 0.2, B = 0.04 THz.
    static OrcfilParams channel(int k) {
        return {77, 1.0f, 0.2f, 192.35f + 0.1f * float(k - 1), 0.04f, 0, 0, "Raised cosine filter", "sim_160G_ORC77"};
    }
    static Rows raised_cosine_lines() {
        return read_description("rc000077.DAT", "# TEMPORARY FILE FOR RAISED COSINE TRANSFER FUNCTION",
                                R"([ 0-9]{2}[0-9]\.[0-9]{8} [ 0-9]{2}[0-9]\.[0-9]{8})");
    }
    // Spectral bin of an absolute frequency [THz].
    static std::size_t bin_of(double f) { return std::size_t((f - flimit.fgridlo) / bin_width()); }
    static double bin_width() { return (flimit.fgridhi - flimit.fgridlo) / 1024.0; }

    InputWindow win_{100.0f, 15360.0f};
    TimeWindow tw_;
    OpticalSignal in_, out_;
    std::string file_;
};

// User-defined filter ----------------------------------------------------------

TEST_F(OpticalFilterTest, FlatUnitResponsePassesEverything) {
    write_table("flat.DAT", constant("1.0"), 700);
    EXPECT_EQ(setup(params("flat")), "");
    EXPECT_EQ(usdfil_area.synthesis_status, 1);
    EXPECT_EQ(out_.iv, 1);
    for (int i = 0; i < kBins; ++i) ASSERT_NEAR(out_.ps[i], in_.ps[i], 1e-9) << i;
    const HandOverFile h = read_hand_over(77);
    ASSERT_EQ(h.active, 1);
    EXPECT_EQ(h.n, 1 << h.log2n);
    EXPECT_EQ(h.reserved, 0.0);
    ASSERT_EQ(std::int32_t(h.h.size()), h.n);
    // Taps cut below 0.0005 of the largest: a power ripple under 1e-3 in the
    // central band, under 2e-3 at its edges; pp carries the peak.
    double peak = 0.0;
    for (std::int32_t k = 0; k < h.n; ++k) {
        const double power = std::norm(h.h[k]), f = (k < h.n / 2 ? k : k - h.n) / double(h.n);  // in units of fs
        peak = std::max(peak, power);
        if (std::fabs(f) < 0.4) {
            ASSERT_NEAR(power, 1.0, std::fabs(f) < 0.35 ? 1e-3 : 2e-3) << k;
        }
    }
    EXPECT_FLOAT_EQ(h.peak, float(peak));
    EXPECT_FLOAT_EQ(out_.pp, in_.pp * h.peak);
    EXPECT_NEAR(out_.pp / in_.pp, 1.0, 2e-3);
    // A flat delay (within 0.05 sample) including the latency; the window follows it.
    for (int i = 102; i <= 922; ++i) {
        ASSERT_NEAR(out_.gd[i], out_.gd[512], 0.05 * zdctrl.ddelt) << i;
        ASSERT_GE(out_.gd[i], 0.5 * h.n * zdctrl.ddelt);
    }
    EXPECT_NEAR(tw_.ton, win_.ton + out_.gd[512], 1e-2);
    EXPECT_NEAR(tw_.toff, win_.ton + win_.twinin + out_.gd[512], 1e-2);
}

TEST_F(OpticalFilterTest, UnusableDescriptionsTurnTheFilterOffWithTheFailureMessage) {
    struct Case {
        std::string content;     // empty: no file at all
        std::int32_t frequency;  // abscissa option
        std::string reason;
    };
    const std::string increasing = "   The abscissas of the filter description file do not give increasing frequencies\n";
    const Case cases[] = {
        {"# header only\n1.0 1.0\n2.0 1.0\n", 1, "   The filter description file has no line starting with ##\n"},
        {"##\n194.0 1.0\n193.0 1.0\n195.0 1.0\n193.5 1.0\n192.0 1.0\n", 1, increasing},
        {"", 1, "   The filter description file cannot be opened\n"},
    };
    for (const Case& c : cases) {
        std::filesystem::remove("bad.DAT");
        if (!c.content.empty()) testing::write_text("bad.DAT", c.content);
        UsdfilParams p = params("bad");
        p.file_options[kOptAbscissaIsFrequency] = c.frequency;
        const bool read = c.reason.find("fewer") != std::string::npos || c.reason == increasing;
        EXPECT_EQ(setup(p), (read ? kFewerThan64 : "") + kFailure + c.reason) << c.reason;
        EXPECT_EQ(usdfil_area.synthesis_status, -1);
        EXPECT_EQ(out_.iv, 0);
        EXPECT_EQ(out_.pp, 0.0f);
        for (float v : out_.ps) ASSERT_EQ(v, 0.0f);
        EXPECT_FALSE(std::filesystem::exists("bad.DAT") && c.content.empty()) << "no empty file left behind";
    }
}

TEST_F(OpticalFilterTest, OverlapAddEqualsDirectConvolutionDelayedByHalfTheLength) {
    // A smooth band-pass (Gaussian amplitude, linear phase) keeps the FFT short enough to check every output.
    write_table("g.DAT", [](double f) {
        const double x = (f - 194.1) / 0.6;
        return fmt::F(std::exp(-x * x), 16, 12) + " " + fmt::F(0.8 * x, 16, 12);
    }, 1500);
    win_.ton = 0.0f;
    for (std::int32_t npol : {1, 2}) {
        optcl_ctrl.npol = npol;
        UsdfilParams p = params("g", 0);
        p.file_options[kOptPolarisations] = npol;
        setup(p);
        ASSERT_EQ(out_.iv, 1);
        const HandOverFile h = read_hand_over(77);
        const std::int32_t n = h.n;
        ASSERT_EQ(std::int32_t(h.h.size()), n);
        ASSERT_LE(n, 4096) << "a short filter keeps this test small";
        std::vector<cd> taps = h.h;
        cfft2(taps.data(), h.log2n, +1);
        for (std::int32_t k = n / 2; k < n; ++k) ASSERT_LT(std::abs(taps[k]), 1e-12);
        initialise(p);
        EXPECT_FALSE(std::filesystem::exists("kn000077.DAT"));
        std::mt19937 gen(7);
        std::normal_distribution<float> g(0.0f, 1.0f);
        std::vector<cd> xin, yin;
        double worst = 0.0;
        for (int s = 0; s < 3 * n + 17; ++s) {
            in_.x = FieldSample{g(gen), g(gen), 193.0f};
            in_.y = FieldSample{g(gen), g(gen), 193.0f};
            xin.emplace_back(in_.x.re, in_.x.im);
            yin.emplace_back(in_.y.re, in_.y.im);
            testing::begin_sample(s + 1);
            usdfil(p, win_, tw_, in_, out_);
            cd want_x(0.0, 0.0), want_y(0.0, 0.0);
            for (std::int32_t k = 0; k < n / 2 && s - n / 2 - k >= 0; ++k) {
                want_x += taps[k] * xin[s - n / 2 - k];
                want_y += taps[k] * yin[s - n / 2 - k];
            }
            worst = std::max(worst, std::abs(cd(out_.x.re, out_.x.im) - want_x));
            ASSERT_EQ(out_.x.fcenter, f_vbs_band.fcenter);
            if (s < n / 2) {
                ASSERT_EQ(out_.x.re, 0.0f) << "the first N/2 outputs are zero";
            }
            if (npol == 2) {
                worst = std::max(worst, std::abs(cd(out_.y.re, out_.y.im) - want_y));
                ASSERT_EQ(out_.y.fcenter, f_vbs_band.fcenter);
            } else {
                ASSERT_EQ(std::tuple(out_.y.re, out_.y.im, out_.y.fcenter), std::tuple(0.0f, 0.0f, 0.0f));
            }
        }
        EXPECT_LT(worst, 2e-6) << npol;
    }
}

// Lorentzian filter --------------------------------------------------------------

// Raised-cosine filter -----------------------------------------------------------

// Ideal power transmission of a raised-cosine channel (n = 1) at offset x.
double ideal(double x, double f0, double r) {
    const double e_i = (1.0 - r) * f0, e_o = (1.0 + r) * f0;
    x = std::fabs(x);
    const double h = x <= e_i ? 1.0 : x >= e_o ? 0.0 : 0.5 * (1.0 + std::cos(M_PI * (x - e_i) / (2.0 * r * f0)));
    return h * h;
}

TEST_F(OpticalFilterTest, RaisedCosineDescriptionOfTheLinkChannelAt192_65) {
    const OrcfilParams p = channel(4);
    const RaisedCosineLayout l = raised_cosine_layout(p);
    EXPECT_EQ(setup(orcfil, p), "");
    // 500 lines of 0 in each stop band; in between the closed form; the table spans the simulated band.
    const Rows lines = raised_cosine_lines();
    double previous = 0.0;
    int lower = 0, upper = 0;
    bool past_region = false;
    for (const auto& line : lines) {
        const double f = line[0], t = line[1];
        ASSERT_GT(f, previous);
        previous = f;
        if (f < l.f_lo || past_region) {
            (f < l.f_lo ? lower : upper) += 1;
            ASSERT_EQ(t, 0.0);
        } else {
            past_region = f > l.f_hi;  // the region's last line lies just beyond its high end
            ASSERT_NEAR(t, ideal(f - double(p.centre_frequency), 0.02f, 0.2f), 2e-6) << f;
        }
    }
    EXPECT_EQ(lower, 500);
    EXPECT_EQ(upper, 500);
    EXPECT_FLOAT_EQ(l.f_lo, 192.61f);
    EXPECT_FLOAT_EQ(l.f_hi, 192.69f);
    EXPECT_NEAR(lines.front()[0], f_vbs_band.fbandlo, 1e-6);
    EXPECT_GE(previous, f_vbs_band.fbandhi);
    EXPECT_LT(previous, f_vbs_band.fbandhi + 0.0125);
    // The set-up keeps both working files for the initialisation call of a run, which deletes them.
    EXPECT_TRUE(std::filesystem::exists("kn000077.DAT"));
    setup(orcfil, p, true);
    EXPECT_EQ(out_.iv, 1);
    EXPECT_FALSE(std::filesystem::exists("rc000077.DAT"));
    EXPECT_FALSE(std::filesystem::exists("kn000077.DAT"));
}

}  // namespace
}  // namespace nodrix
