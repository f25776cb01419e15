#include "filters/optical_filter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <complex>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "filters/fft.h"
#include "kernel/control_blocks.h"
#include "kernel/storage.h"
#include "runtime/format.h"
#include "runtime/record_file.h"
#include "tests/support/test_support.h"

namespace nodrix {
namespace {

using cd = std::complex<double>;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

class OpticalFilterTest : public testing::NodrixTest {
protected:
    void SetUp() override {
        NodrixTest::SetUp();
        testing::set_project_constants();
        in_.iv = 1;
        in_.pp = 2.0f;
        for (int i = 0; i < kBins; ++i) {
            in_.ps[static_cast<std::size_t>(i)] = 0.001f * static_cast<float>(i % 7 + 1);
            in_.gd[static_cast<std::size_t>(i)] = 0.0f;
        }
    }

    static void reset_cursors() {
        zzsupv.h = zzsupv.i = zzsupv.c = zzsupv.d = zzsupv.z = zzsupv.zd = 1;
        zzsupt.ht = zzsupt.it = zzsupt.ct = 1;
    }

    // The block set-up as the project's schedule makes it (counting storage).
    void setup(const UsdfilParams& p) {
        zzctrl.pass = 0;
        optcl_ctrl.blkmode = 1;
        zzflmn.nohist = 1;
        zzsupv.storephase = 0;
        reset_cursors();
        usdfil(p, win_, tw_, in_, out_);
    }

    // The initialisation call of a per-sample run (allocating storage).
    void initialise(const UsdfilParams& p) {
        zzctrl.pass = 0;
        optcl_ctrl.blkmode = 0;
        zzflmn.nohist = 0;
        zzsupv.storephase = 1;
        reset_cursors();
        usdfil(p, win_, tw_, in_, out_);
    }

    void sample(const UsdfilParams& p, std::int32_t step) {
        zzctrl.pass = 1;
        zzctrl.step = step;
        zzctrl.time = static_cast<float>(step - 1) * zzctrl.delt;
        zdctrl.dtime = (step - 1) * zdctrl.ddelt;
        reset_cursors();
        usdfil(p, win_, tw_, in_, out_);
    }

    UsdfilParams params(const std::string& file, std::int32_t kind = 2) {
        UsdfilParams p;
        p.synthesis_options = {1, 0, -1, 0};
        p.file_options = {77, 1, 1, kind, 0, 0, 0, 0};
        file_ = file + std::string(50 - file.size(), ' ');
        p.data_file = file_;
        p.block_name = name_;
        p.file_base = base_;
        return p;
    }

    std::string file_;
    std::string name_ = "Test filter";
    std::string base_ = "chart_base";
    InputWindow win_{100.0f, 15360.0f};
    TimeWindow tw_;
    OpticalSignal in_;
    OpticalSignal out_;
};

// A description over the whole simulated band and beyond: lines of absolute
// frequency and the given columns.
std::string table_file(const std::function<std::string(double)>& columns, double lo, double hi, int points) {
    std::string s = "# test description\nsome header words\n## data follow\n";
    for (int i = 0; i < points; ++i) {
        const double f = lo + (hi - lo) * i / (points - 1);
        s += fmt::F(f, 14, 8) + " " + columns(f) + "\n";
    }
    return s;
}

struct HandOverFile {
    std::int32_t active = 0, n = 0, log2n = 0;
    double reserved = -1.0;
    float peak = 0.0f;
    std::vector<float> f, t, d;
    std::vector<cd> h;
};

HandOverFile read_hand_over(const std::string& path) {
    HandOverFile r;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return r;
    records::read_values(f, r.active);
    records::read_values(f, r.n);
    records::read_values(f, r.log2n);
    records::read_values(f, r.reserved);
    records::read_values(f, r.peak);
    for (int i = 0; i < kBins; ++i) {
        float a = 0, b = 0, c = 0;
        records::read_values(f, a, b, c);
        r.f.push_back(a);
        r.t.push_back(b);
        r.d.push_back(c);
    }
    for (int k = 0; k < r.n; ++k) {
        cd v;
        if (records::read_values(f, v)) r.h.push_back(v);
    }
    std::fclose(f);
    return r;
}

const std::string kFailureQuiet =
    "Nodrix-W-User defined optical filter at Test filter\n"
    "   The filter synthesis was not possible.\n"
    "   Please read the online help for further information.\n"
    "   Simulation will proceed, but the branch \n"
    "   after this block will be turned off\n";

TEST_F(OpticalFilterTest, FlatUnitResponsePassesEverything) {
    testing::write_text("flat.DAT", table_file([](double) { return std::string("1.0"); }, 185.0, 202.5, 700));
    const UsdfilParams p = params("flat");
    setup(p);
    EXPECT_EQ(usdfil_area.synthesis_status, 1);
    EXPECT_EQ(out_.iv, 1);
    for (int i = 0; i < kBins; ++i) ASSERT_NEAR(out_.ps[static_cast<std::size_t>(i)], in_.ps[static_cast<std::size_t>(i)], 1e-9);
    const HandOverFile h = read_hand_over("kn000077.DAT");
    ASSERT_EQ(h.active, 1);
    EXPECT_EQ(h.n, 1 << h.log2n);
    EXPECT_EQ(h.reserved, 0.0);
    for (float t : h.t) ASSERT_NEAR(t, 1.0f, 1e-6);
    // The realised response: the taps cut below 0.0005 of the largest leave a
    // ripple under 1e-3 in power over the central band, growing to under 2e-3
    // at the band edges where the design window starts; pp carries the peak.
    double peak = 0.0;
    for (std::int32_t k = 0; k < h.n; ++k) {
        const double power = std::norm(h.h[static_cast<std::size_t>(k)]);
        peak = std::max(peak, power);
        const double f = (k < h.n / 2 ? k : k - h.n) / static_cast<double>(h.n);  // in units of fs
        if (std::fabs(f) < 0.35) {
            ASSERT_NEAR(power, 1.0, 1e-3) << k;
        }
        if (std::fabs(f) < 0.4) {
            ASSERT_NEAR(power, 1.0, 2e-3) << k;
        }
    }
    EXPECT_FLOAT_EQ(h.peak, static_cast<float>(peak));
    EXPECT_NEAR(out_.pp / in_.pp, 1.0, 2e-3);
    EXPECT_FLOAT_EQ(out_.pp, in_.pp * h.peak);
    // An impulse-like filter: its delay is flat (within five hundredths of
    // a sample where the ripple bends the phase) and includes the latency.
    const double latency = 0.5 * h.n * zdctrl.ddelt;
    for (int i = 102; i <= 922; ++i) {
        ASSERT_NEAR(out_.gd[static_cast<std::size_t>(i)], out_.gd[512], 0.05 * zdctrl.ddelt) << i;
        ASSERT_GE(out_.gd[static_cast<std::size_t>(i)], latency);
    }
    // Bin centres as offsets from the band centre.
    const double width = (flimit.fgridhi - flimit.fgridlo) / 1024.0;
    EXPECT_NEAR(h.f[0], flimit.fgridlo + 0.5 * width - f_vbs_band.fcenter, 1e-5);
    EXPECT_NEAR(h.f[1023], flimit.fgridlo + 1023.5 * width - f_vbs_band.fcenter, 1e-5);
    // The window follows the added delay.
    EXPECT_NEAR(tw_.ton, win_.ton + out_.gd[512], 1e-2);
    EXPECT_NEAR(tw_.toff, win_.ton + win_.twinin + out_.gd[512], 1e-2);
    // The project's set-up call keeps the hand-over file for the next pass.
    EXPECT_TRUE(std::filesystem::exists("kn000077.DAT"));
    EXPECT_EQ(out_.x.re, 0.0f);
    EXPECT_EQ(out_.x.fcenter, f_vbs_band.fcenter);
}

TEST_F(OpticalFilterTest, HandOverFileOfAnOffFilterByteForByte) {
    testing::write_text("flat.DAT", table_file([](double) { return std::string("0.5"); }, 185.0, 202.5, 200));
    in_.iv = 0;
    const UsdfilParams p = params("flat");
    setup(p);
    EXPECT_EQ(out_.iv, 0);
    EXPECT_EQ(out_.pp, 0.0f);
    std::vector<unsigned char> want;
    auto record = [&want](const std::vector<unsigned char>& body) {
        testing::put_i32(want, static_cast<std::int32_t>(body.size()));
        want.insert(want.end(), body.begin(), body.end());
        testing::put_i32(want, static_cast<std::int32_t>(body.size()));
    };
    std::vector<unsigned char> b;
    testing::put_i32(b, 0);
    record(b);
    b.clear();
    testing::put_i32(b, 1);
    record(b);
    record(b);
    b.clear();
    testing::put_f64(b, 0.0);
    record(b);
    b.clear();
    testing::put_f32(b, 0.0f);
    record(b);
    const double width = (static_cast<double>(flimit.fgridhi) - flimit.fgridlo) / 1024.0;
    for (int i = 1; i <= kBins; ++i) {
        b.clear();
        testing::put_f32(b, static_cast<float>(flimit.fgridlo + (i - 0.5) * width - static_cast<double>(f_vbs_band.fcenter)));
        testing::put_f32(b, 0.5f);  // the table's transmission even when off
        testing::put_f32(b, 0.0f);
        record(b);
        ASSERT_NEAR(out_.ps[static_cast<std::size_t>(i - 1)], 0.5f * in_.ps[static_cast<std::size_t>(i - 1)], 1e-9);
    }
    b.clear();
    testing::put_f64(b, 0.0);
    testing::put_f64(b, 0.0);
    record(b);
    EXPECT_EQ(testing::read_bytes("kn000077.DAT"), want);
}

TEST_F(OpticalFilterTest, UnusableDescriptionsTurnTheFilterOffWithTheFailureMessage) {
    struct Case {
        std::string content;  // empty: no file at all
        std::string reason;
    };
    const Case cases[] = {
        {"# header only\n1.0 1.0\n2.0 1.0\n", "   The filter description file has no line starting with ##\n"},
        {"# one point\n##\n193.0 1.0\n", "   The filter description file holds fewer than two data points\n"},
        {"##\n194.0 1.0\n193.0 1.0\n195.0 1.0\n193.5 1.0\n192.0 1.0\n" + std::string(),
         "   The abscissas of the filter description file do not give increasing frequencies\n"},
        {"", "   The filter description file cannot be opened\n"},
    };
    for (const Case& c : cases) {
        std::filesystem::remove("bad.DAT");
        if (!c.content.empty()) testing::write_text("bad.DAT", c.content);
        const UsdfilParams p = params("bad");
        CaptureStderr();
        setup(p);
        const std::string err = GetCapturedStderr();
        const std::string fewer64 =
            "Nodrix-W-User defined optical filter\n   The number of data points inside the \n"
            "   simulation bandwidth is less than 64\n   This number is usually too small\n"
            "   to obtain a sufficient accuracy\n";
        const bool read = c.reason.find("fewer") != std::string::npos || c.reason.find("increasing") != std::string::npos;
        EXPECT_EQ(err, (read ? fewer64 : std::string()) + kFailureQuiet + c.reason) << c.reason;
        EXPECT_EQ(usdfil_area.synthesis_status, -1);
        EXPECT_EQ(out_.iv, 0);
        EXPECT_EQ(out_.pp, 0.0f);
        for (float v : out_.ps) ASSERT_EQ(v, 0.0f);
        EXPECT_FALSE(std::filesystem::exists("bad.DAT") && c.content.empty()) << "no empty file left behind";
    }
}

TEST_F(OpticalFilterTest, ZeroWavelengthIsRefused) {
    testing::write_text("w.DAT", "##\n0.0 1.0\n1500.0 1.0\n1600.0 1.0\n");
    UsdfilParams p = params("w");
    p.file_options[kOptAbscissaIsFrequency] = 0;
    CaptureStderr();
    setup(p);
    const std::string err = GetCapturedStderr();
    EXPECT_NE(err.find(kFailureQuiet + "   The abscissas of the filter description file do not give increasing "
                                       "frequencies\n"),
              std::string::npos);
    EXPECT_EQ(out_.iv, 0);
    for (float v : out_.ps) ASSERT_EQ(v, 0.0f);
}

TEST_F(OpticalFilterTest, FailureMessageListsTheOptionsUnlessQuiet) {
    testing::write_text("bad.DAT", "no marker\n");
    UsdfilParams p = params("bad", 1);
    p.synthesis_options = {1, 0, 0, 0};
    p.file_options[kOptAbscissaIsFrequency] = 0;
    p.file_options[kOptRelativeAbscissa] = 1;
    p.file_options[kOptModulusInDb] = 1;
    CaptureStderr();
    setup(p);
    EXPECT_EQ(GetCapturedStderr(),
              "Nodrix-W-User defined optical filter at Test filter\n"
              "   The filter synthesis was not possible.\n"
              "   Please check if the filter description file\n"
              "   matches the following options\n"
              "   - abscissa in wavelength [nm]\n"
              "   - points expressed as modulus and group delay\n"
              "   - relative abscissa values\n"
              "   - modulus in dB\n"
              "   Please read the online help for further information.\n"
              "   Simulation will proceed, but the branch \n"
              "   after this block will be turned off\n"
              "   The filter description file has no line starting with ##\n");
}

TEST_F(OpticalFilterTest, RepeatedAbscissaAndTooManyPointsAreWarnedAndSkipped) {
    std::string s = "##\n";
    for (int i = 0; i < 4100; ++i) {
        const double f = 187.0 + 13.0 * i / 4099.0;
        s += fmt::F(f, 14, 8) + " 1.0\n";
        if (i == 10) s += fmt::F(f, 14, 8) + " 0.0\n";  // repeated: skipped
    }
    testing::write_text("many.DAT", s);
    const UsdfilParams p = params("many");
    CaptureStderr();
    setup(p);
    const std::string err = GetCapturedStderr();
    const std::string repeat = "Nodrix-W-User defined optical filter at Test filter\n     the frequency value" +
                               fmt::list_real(static_cast<float>(187.0 + 13.0 * 10 / 4099.0)) +
                               "\n     in the data file is repeated \n     continuing using only the first occurence \n";
    const std::string many =
        "Nodrix-W-User defined optical filter at Test filter\n     too many points in data file \n"
        "     continuing with a smaller number \n";
    EXPECT_EQ(err, repeat + many);
    // The repeated zero was not used: the kept points all transmit 1.
    EXPECT_EQ(out_.iv, 1);
    EXPECT_NEAR(out_.ps[300], in_.ps[300], 1e-6);
    // Exactly 4096 points: still the warning, all kept (the last one is the 4096th).
    s = "##\n";
    for (int i = 0; i < 4096; ++i) s += fmt::F(187.0 + 13.0 * i / 4095.0, 14, 8) + " 1.0\n";
    testing::write_text("many.DAT", s);
    CaptureStderr();
    setup(p);
    EXPECT_EQ(GetCapturedStderr(), many);
}

TEST_F(OpticalFilterTest, WavelengthDataComeOutInIncreasingFrequency) {
    // A tilted transmission described once in frequency and once in increasing
    // wavelength gives the same bin transmissions.
    auto t_of_f = [](double f) { return 0.5 + 0.03 * (f - 193.6); };
    testing::write_text("freq.DAT", table_file([&](double f) { return fmt::F(t_of_f(f), 14, 10); }, 185.0, 202.5, 800));
    std::string s = "##\n";
    for (int i = 0; i < 800; ++i) {
        const double lambda = 1480.0 + (1620.0 - 1480.0) * i / 799.0;
        s += fmt::F(lambda, 16, 10) + " " + fmt::F(t_of_f(kLightSpeed / lambda), 14, 10) + "\n";
    }
    testing::write_text("wave.DAT", s);
    UsdfilParams p = params("freq");
    setup(p);
    const auto by_frequency = out_.ps;
    p = params("wave");
    p.file_options[kOptAbscissaIsFrequency] = 0;
    setup(p);
    EXPECT_EQ(usdfil_area.synthesis_status, 1);
    for (int i = 102; i <= 922; ++i)
        ASSERT_NEAR(out_.ps[static_cast<std::size_t>(i)], by_frequency[static_cast<std::size_t>(i)], 2e-6) << i;
}

TEST_F(OpticalFilterTest, FewPointsInTheMiddleTurnOffSilently) {
    // Ten points inside, none below or above the band: off without a message
    // beyond the sparse-data warning; eleven are synthesised.
    for (int points : {10, 40}) {
        std::string s = "##\n";
        for (int i = 0; i < points; ++i) s += fmt::F(193.0 + 1.0 * i / (points - 1), 14, 8) + " 1.0\n";
        testing::write_text("mid.DAT", s);
        const UsdfilParams p = params("mid");
        CaptureStderr();
        setup(p);
        const std::string err = GetCapturedStderr();
        EXPECT_EQ(err.find("synthesis was not possible"), std::string::npos) << points;
        EXPECT_NE(err.find("simulation bandwidth is less than 64"), std::string::npos);
        EXPECT_EQ(out_.iv, points > 10 ? 1 : 0) << points;
    }
}

TEST_F(OpticalFilterTest, ComplementIsOneMinusThePowerForEveryDataKind) {
    // P = 0.25 everywhere, as linear modulus, as dB with a phase, and with a
    // group delay: the complement transmits 0.75 in every bin.
    const double db = 10.0 * std::log10(0.25);
    struct Case {
        std::int32_t kind;
        std::int32_t in_db;
        std::string columns;
    };
    const Case cases[] = {{2, 0, "0.25"}, {0, 1, fmt::F(db, 16, 12) + " 0.3"}, {1, 0, "0.25 12.0"}};
    for (const Case& c : cases) {
        testing::write_text("c.DAT", table_file([&](double) { return c.columns; }, 185.0, 202.5, 300));
        UsdfilParams p = params("c", c.kind);
        p.file_options[kOptModulusInDb] = c.in_db;
        p.file_options[kOptComplement] = 1;
        p.file_options[kOptWriteCharts] = 1;
        setup(p);
        EXPECT_EQ(out_.iv, 1) << c.kind;
        for (int i = 102; i <= 922; ++i)
            ASSERT_NEAR(out_.ps[static_cast<std::size_t>(i)], 0.75f * in_.ps[static_cast<std::size_t>(i)], 1e-6)
                << c.kind << " " << i;
        EXPECT_NEAR(out_.pp / (0.75f * in_.pp), 1.0, 2e-3);
        // The requested data carry the complemented power too.
        std::FILE* f = std::fopen("kp000077.DAT", "rb");
        ASSERT_NE(f, nullptr);
        std::int32_t count = 0;
        records::read_values(f, count);
        EXPECT_GT(count, 200);
        double fr = 0, power = 0, third = 0;
        records::read_values(f, fr, power, third);
        EXPECT_NEAR(power, 0.75, 1e-9);
        std::fclose(f);
        p.file_options[kOptComplement] = 0;
        setup(p);
        EXPECT_NEAR(out_.ps[512], 0.25f * in_.ps[512], 1e-6);
    }
    // A gain above 1 has no complement: it transmits nothing, not a negative
    // power, and a filter that transmits nothing cannot be synthesised.
    testing::write_text("c.DAT", table_file([](double) { return std::string("1.5"); }, 185.0, 202.5, 300));
    UsdfilParams p = params("c");
    p.file_options[kOptComplement] = 1;
    CaptureStderr();
    setup(p);
    EXPECT_EQ(GetCapturedStderr(), kFailureQuiet);
    EXPECT_EQ(out_.ps[512], 0.0f);
    EXPECT_EQ(out_.iv, 0);
}

TEST_F(OpticalFilterTest, GroupDelayDataBecomeTheFilterDelay) {
    // A constant group delay: the mean delay over the band is removed from
    // the phase, the mean being the sum over the data points inside the band of
    // (f_(i+1) - f_i) tau_i divided by the whole band width. What remains is
    // tau (1 - S / (0.8 fs)), S the sum of those intervals.
    testing::write_text("gd.DAT", table_file([](double) { return std::string("1.0 35.0"); }, 185.0, 202.5, 500));
    UsdfilParams p = params("gd", 1);
    setup(p);
    const float with_delay = out_.gd[512];
    testing::write_text("gd.DAT", table_file([](double) { return std::string("1.0 0.0"); }, 185.0, 202.5, 500));
    setup(p);
    const double fs = 1.0 / zdctrl.ddelt;
    double covered = 0.0;
    for (int i = 0; i + 1 < 500; ++i) {
        const double f = std::stod(fmt::F(185.0 + 17.5 * i / 499, 14, 8)) - f_vbs_band.fcenter;
        const double next = std::stod(fmt::F(185.0 + 17.5 * (i + 1) / 499, 14, 8)) - f_vbs_band.fcenter;
        if (f > -0.4 * fs && f < 0.4 * fs) covered += next - f;
    }
    // Apart from that residual the two filters differ only by the whole
    // samples the length search placed their responses at.
    const double samples = (with_delay - out_.gd[512] - 35.0 * (1.0 - covered / (0.8 * fs))) / zdctrl.ddelt;
    EXPECT_NEAR(samples, std::round(samples), 0.03);
    EXPECT_LE(std::fabs(samples), 3.0);
    // A delay tilted across the band appears in the bins, mean removed.
    testing::write_text("gd.DAT", table_file([](double f) { return "1.0 " + fmt::F(2.0 * (f - 193.61597), 14, 8); },
                                             185.0, 202.5, 700));
    setup(p);
    const double width = (flimit.fgridhi - flimit.fgridlo) / 1024.0;
    const double slope = (out_.gd[700] - out_.gd[300]) / (400 * width);
    EXPECT_NEAR(slope, 2.0, 0.02);
}

TEST_F(OpticalFilterTest, OverlapAddEqualsDirectConvolutionDelayedByHalfTheLength) {
    // A smooth band-pass (Gaussian amplitude with a linear-phase tilt) keeps
    // the FFT length small, so every output sample can be checked.
    testing::write_text("g.DAT", table_file(
                                     [](double f) {
                                         const double x = (f - 194.1) / 0.6;
                                         return fmt::F(std::exp(-x * x), 16, 12) + " " + fmt::F(0.8 * x, 16, 12);
                                     },
                                     185.0, 202.5, 1500));
    for (std::int32_t npol : {1, 2}) {
        optcl_ctrl.npol = npol;
        UsdfilParams p = params("g", 0);
        p.file_options[kOptPolarisations] = npol;
        setup(p);
        ASSERT_EQ(out_.iv, 1);
        const HandOverFile h = read_hand_over("kn000077.DAT");
        ASSERT_EQ(static_cast<std::int32_t>(h.h.size()), h.n);
        const std::int32_t n = h.n;
        ASSERT_LE(n, 4096) << "a short filter keeps this test small";
        // The realised taps: the inverse transform of the response.
        std::vector<cd> taps = h.h;
        cfft2(taps.data(), h.log2n, +1);
        for (std::int32_t k = n / 2; k < n; ++k) ASSERT_LT(std::abs(taps[static_cast<std::size_t>(k)]), 1e-12);
        initialise(p);
        EXPECT_FALSE(std::filesystem::exists("kn000077.DAT"));
        std::mt19937 gen(7);
        std::normal_distribution<float> g(0.0f, 1.0f);
        const int samples = 3 * n + 17;
        std::vector<cd> xin, yin;
        std::vector<FieldSample> xout, yout;
        for (int s = 1; s <= samples; ++s) {
            in_.x = FieldSample{g(gen), g(gen), 193.0f};
            in_.y = FieldSample{g(gen), g(gen), 193.0f};
            xin.emplace_back(in_.x.re, in_.x.im);
            yin.emplace_back(in_.y.re, in_.y.im);
            // Start the window at the first sample.
            win_.ton = 0.0f;
            sample(p, s);
            xout.push_back(out_.x);
            yout.push_back(out_.y);
        }
        double worst = 0.0;
        for (int s = 0; s < samples; ++s) {
            cd want_x(0.0, 0.0), want_y(0.0, 0.0);
            for (std::int32_t k = 0; k < n / 2; ++k) {
                const int j = s - n / 2 - k;
                if (j < 0) break;
                want_x += taps[static_cast<std::size_t>(k)] * xin[static_cast<std::size_t>(j)];
                want_y += taps[static_cast<std::size_t>(k)] * yin[static_cast<std::size_t>(j)];
            }
            const auto& xo = xout[static_cast<std::size_t>(s)];
            const auto& yo = yout[static_cast<std::size_t>(s)];
            worst = std::max(worst, std::abs(cd(xo.re, xo.im) - want_x));
            ASSERT_EQ(xo.fcenter, f_vbs_band.fcenter);
            if (npol == 2) {
                worst = std::max(worst, std::abs(cd(yo.re, yo.im) - want_y));
                ASSERT_EQ(yo.fcenter, f_vbs_band.fcenter);
            } else {
                ASSERT_EQ(yo.re, 0.0f);
                ASSERT_EQ(yo.im, 0.0f);
                ASSERT_EQ(yo.fcenter, 0.0f);
            }
            if (s < n / 2) {
                ASSERT_EQ(xo.re, 0.0f) << "the first N/2 outputs are zero";
            }
        }
        EXPECT_LT(worst, 2e-6) << npol;
    }
}

TEST_F(OpticalFilterTest, OutsideTheWindowOrWhenOffTheOutputIsEmpty) {
    testing::write_text("flat.DAT", table_file([](double) { return std::string("1.0"); }, 185.0, 202.5, 700));
    const UsdfilParams p = params("flat");
    setup(p);
    initialise(p);
    in_.x = FieldSample{1.0f, 1.0f, 193.0f};
    win_.ton = 1000.0f;  // the first samples lie before the input starts
    sample(p, 1);
    EXPECT_EQ(out_.x.re, 0.0f);
    EXPECT_EQ(out_.y.fcenter, f_vbs_band.fcenter) << "outside the window both outputs are (0, 0, fcenter)";
    // An off filter (iv out 0) outputs empty samples and touches no storage.
    out_.iv = 0;
    zzsupv.storephase = 1;
    sample(p, 2);
    EXPECT_EQ(out_.x.re, 0.0f);
    EXPECT_EQ(out_.x.fcenter, f_vbs_band.fcenter);
    EXPECT_EQ(out_.y.fcenter, f_vbs_band.fcenter);
    EXPECT_EQ(zzsupv.i, 1);
}

TEST_F(OpticalFilterTest, StorageIsCountedInTheSetUpAndFilledOnlyWithoutNohist) {
    testing::write_text("flat.DAT", table_file([](double) { return std::string("1.0"); }, 185.0, 202.5, 700));
    const UsdfilParams p = params("flat");
    optcl_ctrl.memused = 0;
    setup(p);
    const HandOverFile h = read_hand_over("kn000077.DAT");
    // Three integer slots and five double complex areas of N entries.
    EXPECT_EQ(optcl_ctrl.memused, 3 * 12 + 5 * (16 * h.n + 32));
    EXPECT_EQ(zzmax.i, 9);
    EXPECT_EQ(zzmaxd.zd, 5 * (h.n + 2));
    initialise(p);
    EXPECT_EQ(zzist[2], h.n);       // first slot after its two-word header
    EXPECT_EQ(zzist[5], h.log2n);
    EXPECT_EQ(zzist[8], 0);
    EXPECT_EQ(zzzisd[2], h.h[0]);   // H area
    EXPECT_EQ(zzsupv.zd, 1 + 5 * (h.n + 2));
    // A missing hand-over file is reported and leaves the filter off.
    CaptureStderr();
    initialise(p);
    EXPECT_EQ(GetCapturedStderr(),
              "Nodrix-E-User defined optical filter at Test filter\n"
              "   The filter working file kn000077.DAT cannot be read\n");
    EXPECT_EQ(out_.iv, 0);
}

TEST_F(OpticalFilterTest, TheLongestFilterIsRefusedWhenTheStorageCannotHoldIt) {
    // A 0.2 GHz wide resonance settles at 2^17 taps, 2^18 points at run time:
    // five areas of 2^18 values do not fit the kernel's double complex array.
    std::string s = "##\n";
    const double fc = 194.0;
    const double fs = 1.0 / zdctrl.ddelt;
    for (double x = -0.6 * fs; x <= 0.6 * fs;) {
        const double u = x / 0.0002;
        s += fmt::F(fc + x, 16, 10) + " " + fmt::E(1.0 / (1.0 + u * u), 18, 10) + " " + fmt::E(-std::atan(u), 18, 10) + "\n";
        x += std::max(0.0002 / 20.0, std::fabs(x) / 20.0);
    }
    testing::write_text("ring.DAT", s);
    const UsdfilParams p = params("ring", 0);
    setup(p);
    ASSERT_EQ(out_.iv, 1);
    const HandOverFile h = read_hand_over("kn000077.DAT");
    EXPECT_EQ(h.n, 1 << 18);
    EXPECT_EQ(static_cast<std::int32_t>(h.h.size()), h.n);
    EXPECT_EQ(zzmaxd.zd, 5 * ((1 << 18) + 2));
    CaptureStderr();
    initialise(p);
    EXPECT_EQ(GetCapturedStderr(),
              "Nodrix-E-User defined optical filter at Test filter\n"
              "   The kernel storage cannot hold the filter of 262144 points\n");
    EXPECT_EQ(out_.iv, 0);
    EXPECT_FALSE(std::filesystem::exists("kn000077.DAT"));
    // Storing while the storage only counts (every area at position 1) is
    // refused the same way.
    setup(p);
    zzflmn.nohist = 0;
    optcl_ctrl.blkmode = 0;
    CaptureStderr();
    usdfil(p, win_, tw_, in_, out_);
    EXPECT_EQ(GetCapturedStderr(),
              "Nodrix-E-User defined optical filter at Test filter\n"
              "   The kernel storage cannot hold the filter of 262144 points\n");
    EXPECT_EQ(out_.iv, 0);
}

TEST_F(OpticalFilterTest, ChartsFromTheRequestedDataAndTheRealisedFilter) {
    testing::write_text("g.DAT", table_file([](double f) {
        const double x = (f - 194.1) / 0.6;
        return fmt::F(std::exp(-x * x), 16, 12) + " 0.5";
    }, 185.0, 202.5, 400));
    UsdfilParams p = params("g", 0);
    p.file_options[kOptWriteCharts] = 1;
    setup(p);
    EXPECT_TRUE(std::filesystem::exists("kp000077.DAT"));
    initialise(p);
    EXPECT_FALSE(std::filesystem::exists("kp000077.DAT"));
    const std::vector<unsigned char> bytes = testing::read_bytes("chart_base.qxy");
    std::vector<unsigned char> head;
    testing::put_text(head, "NodrixXY  1");
    for (std::int32_t v : {7, 5, 16, 1, 7, 0}) testing::put_i32(head, v);
    ASSERT_GT(bytes.size(), head.size());
    EXPECT_TRUE(std::equal(head.begin(), head.end(), bytes.begin()));
    // Walk the four charts.
    std::size_t at = head.size();
    auto i32 = [&]() { std::int32_t v; std::memcpy(&v, &bytes[at], 4); at += 4; return v; };
    auto f64 = [&]() { double v; std::memcpy(&v, &bytes[at], 8); at += 8; return v; };
    auto text = [&]() { std::string s(reinterpret_cast<const char*>(&bytes[at])); at += s.size() + 1; return s; };
    const char* titles[] = {"Requested Amplitude", "Requested Phase", "Amplitude", "Group Delay"};
    const char* units[] = {"dB", "rad", "dB", "ps"};
    for (int c = 0; c < 4; ++c) {
        const std::int32_t count = i32();
        const double lo = f64(), hi = f64();
        EXPECT_EQ(text(), titles[c]);
        EXPECT_EQ(text(), "frequency");
        EXPECT_EQ(text(), "THz");
        text();
        EXPECT_EQ(text(), units[c]);
        EXPECT_EQ(i32(), 0);
        ASSERT_GT(count, 10);
        double x_prev = -1.0;
        for (int k = 0; k < count; ++k) {
            const double x = f64(), y = f64();
            ASSERT_GT(x, x_prev);
            ASSERT_GE(y, lo);
            ASSERT_LE(y, hi);
            x_prev = x;
            if (c == 0 && std::fabs(x - 194.1) < 1e-3) {
                EXPECT_NEAR(y, 0.0, 0.01);
            }
            if (c == 1) {
                ASSERT_NEAR(y, 0.5, 1e-12);
            }
            if (c == 2 && std::fabs(x - 194.1) < 0.01) {
                EXPECT_NEAR(y, 0.0, 0.01);
            }
        }
        EXPECT_EQ(i32(), 0);
    }
    EXPECT_EQ(at, bytes.size());
    // A second initialisation appends four more charts to the same file.
    setup(p);
    initialise(p);
    EXPECT_GT(testing::read_bytes("chart_base.qxy").size(), 2 * bytes.size() - head.size() - 100);
}

TEST_F(OpticalFilterTest, FileNames) {
    EXPECT_EQ(filename_generation(77, "rc"), "rc000077");
    EXPECT_EQ(filename_generation(0, "kn"), "kn000000");
    EXPECT_EQ(filename_generation(999999, "kp"), "kp999999");
    EXPECT_EQ(filename_generation(1234567, "lo"), "lo234567");
}

}  // namespace
}  // namespace nodrix
