#include "filters/optical_filter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "filters/fft.h"
#include "kernel/storage.h"
#include "runtime/format.h"
#include "tests/filters/optical_harness.h"

namespace nodrix {
namespace {

using cd = std::complex<double>;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

class OpticalFilterTest : public testing::OpticalBlockTest {
protected:
    void SetUp() override {
        OpticalBlockTest::SetUp();
        in_.pp = 2.0f;
        for (int i = 0; i < kBins; ++i) in_.ps[i] = 0.001f * float(i % 7 + 1);
    }
    // Block set-up with its messages captured.
    std::string setup(const UsdfilParams& p) {
        testing::begin_setup();
        CaptureStderr();
        usdfil(p, win_, tw_, in_, out_);
        return GetCapturedStderr();
    }
    std::string initialise(const UsdfilParams& p) {
        testing::begin_run_init();
        CaptureStderr();
        usdfil(p, win_, tw_, in_, out_);
        return GetCapturedStderr();
    }
    // Options: instance 77, one polarisation, absolute frequencies, linear modulus.
    UsdfilParams params(const std::string& file, std::int32_t kind = 2) {
        UsdfilParams p;
        p.file_options = {77, 1, 1, kind, 0, 0, 0, 0};
        file_ = file + std::string(50 - file.size(), ' ');
        p.data_file = file_;
        p.block_name = name_;
        p.file_base = base_;
        return p;
    }
    std::string file_, name_ = "Test filter", base_ = "chart_base";
};

// A description of evenly spaced abscissas, by default absolute frequencies
// from 185 to 202.5 THz (beyond the simulated band), and the given columns.
void write_table(const std::string& path, const std::function<std::string(double)>& columns, int points,
                 double lo = 185.0, double hi = 202.5) {
    std::string s = "# test description\nsome header words\n## data follow\n";
    for (int i = 0; i < points; ++i) {
        const double f = lo + (hi - lo) * i / (points - 1);
        s += fmt::F(f, 14, 8) + " " + columns(f) + "\n";
    }
    testing::write_text(path, s);
}
std::function<std::string(double)> constant(const std::string& columns) {
    return [columns](double) { return columns; };
}

const std::string kFailure =
    "Nodrix-W-User defined optical filter at Test filter\n   The filter synthesis was not possible.\n"
    "   Please read the online help for further information.\n   Simulation will proceed, but the branch \n"
    "   after this block will be turned off\n";
const std::string kFewerThan64 =
    "Nodrix-W-User defined optical filter\n   The number of data points inside the \n"
    "   simulation bandwidth is less than 64\n   This number is usually too small\n   to obtain a sufficient accuracy\n";

TEST_F(OpticalFilterTest, FlatUnitResponsePassesEverything) {
    write_table("flat.DAT", constant("1.0"), 700);
    const UsdfilParams p = params("flat");
    EXPECT_EQ(setup(p), "");
    EXPECT_EQ(usdfil_area.synthesis_status, 1);
    EXPECT_EQ(out_.iv, 1);
    for (int i = 0; i < kBins; ++i) ASSERT_NEAR(out_.ps[i], in_.ps[i], 1e-9) << i;
    const testing::HandOverFile h = testing::read_hand_over(77);
    ASSERT_EQ(h.active, 1);
    EXPECT_EQ(h.n, 1 << h.log2n);
    EXPECT_EQ(h.reserved, 0.0);
    ASSERT_EQ(std::int32_t(h.h.size()), h.n);
    // The taps cut below 0.0005 of the largest leave a ripple under 1e-3 in
    // power over the central band, growing to under 2e-3 at the band edges
    // where the design window starts; pp carries the peak.
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
    // The delay is flat (within five hundredths of a sample where the ripple
    // bends the phase) and includes the latency; the window follows it.
    for (int i = 102; i <= 922; ++i) {
        ASSERT_NEAR(out_.gd[i], out_.gd[512], 0.05 * zdctrl.ddelt) << i;
        ASSERT_GE(out_.gd[i], 0.5 * h.n * zdctrl.ddelt);
    }
    EXPECT_NEAR(tw_.ton, win_.ton + out_.gd[512], 1e-2);
    EXPECT_NEAR(tw_.toff, win_.ton + win_.twinin + out_.gd[512], 1e-2);
}

TEST_F(OpticalFilterTest, HandOverFileOfAnOffFilterByteForByte) {
    write_table("half.DAT", constant("0.5"), 200);
    in_.iv = 0;
    setup(params("half"));
    EXPECT_EQ(out_.iv, 0);
    EXPECT_EQ(out_.pp, 0.0f);
    std::vector<unsigned char> want, b;
    auto record = [&] {
        testing::put_i32(want, std::int32_t(b.size()));
        want.insert(want.end(), b.begin(), b.end());
        testing::put_i32(want, std::int32_t(b.size()));
        b.clear();
    };
    for (std::int32_t v : {0, 1, 1}) {  // off; N = 1, log2 N = 1
        testing::put_i32(b, v);
        record();
    }
    testing::put_f64(b, 0.0);
    record();
    testing::put_f32(b, 0.0f);
    record();
    const double width = (double(flimit.fgridhi) - flimit.fgridlo) / 1024.0;
    for (int i = 1; i <= kBins; ++i) {
        testing::put_f32(b, float(flimit.fgridlo + (i - 0.5) * width - double(f_vbs_band.fcenter)));
        testing::put_f32(b, 0.5f);  // the table's transmission even when off
        testing::put_f32(b, 0.0f);
        record();
        ASSERT_NEAR(out_.ps[i - 1], 0.5f * in_.ps[i - 1], 1e-9);
    }
    testing::put_f64(b, 0.0);
    testing::put_f64(b, 0.0);
    record();
    EXPECT_EQ(testing::read_bytes("kn000077.DAT"), want);
}

TEST_F(OpticalFilterTest, UnusableDescriptionsTurnTheFilterOffWithTheFailureMessage) {
    struct Case {
        std::string content;  // empty: no file at all
        std::int32_t frequency;  // abscissa option
        std::string reason;
    };
    const std::string increasing = "   The abscissas of the filter description file do not give increasing frequencies\n";
    const Case cases[] = {
        {"# header only\n1.0 1.0\n2.0 1.0\n", 1, "   The filter description file has no line starting with ##\n"},
        {"# one point\n##\n193.0 1.0\n", 1, "   The filter description file holds fewer than two data points\n"},
        {"##\n194.0 1.0\n193.0 1.0\n195.0 1.0\n193.5 1.0\n192.0 1.0\n", 1, increasing},
        {"##\n0.0 1.0\n1500.0 1.0\n1600.0 1.0\n", 0, increasing},  // a zero wavelength
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

TEST_F(OpticalFilterTest, FailureMessageListsTheOptionsUnlessQuiet) {
    testing::write_text("bad.DAT", "no marker\n");
    UsdfilParams p = params("bad", 1);
    p.synthesis_options = {1, 0, 0, 0};
    p.file_options[kOptAbscissaIsFrequency] = 0;
    p.file_options[kOptRelativeAbscissa] = 1;
    p.file_options[kOptModulusInDb] = 1;
    EXPECT_EQ(setup(p),
              "Nodrix-W-User defined optical filter at Test filter\n   The filter synthesis was not possible.\n"
              "   Please check if the filter description file\n   matches the following options\n"
              "   - abscissa in wavelength [nm]\n   - points expressed as modulus and group delay\n"
              "   - relative abscissa values\n   - modulus in dB\n"
              "   Please read the online help for further information.\n   Simulation will proceed, but the branch \n"
              "   after this block will be turned off\n   The filter description file has no line starting with ##\n");
}

TEST_F(OpticalFilterTest, RepeatedAbscissaAndTooManyPointsAreWarnedAndSkipped) {
    const std::string many = "Nodrix-W-User defined optical filter at Test filter\n     too many points in data file \n"
                             "     continuing with a smaller number \n";
    // 4100 points with a repeat of the 11th (transmitting 0: not used), then exactly 4096.
    for (int points : {4100, 4096}) {
        std::string s = "##\n";
        for (int i = 0; i < points; ++i) {
            const std::string f = fmt::F(187.0 + 13.0 * i / (points - 1), 14, 8);
            s += f + " 1.0\n" + (i == 10 && points > 4096 ? f + " 0.0\n" : "");
        }
        testing::write_text("many.DAT", s);
        const std::string repeat = "Nodrix-W-User defined optical filter at Test filter\n     the frequency value" +
                                   fmt::list_real(float(187.0 + 13.0 * 10 / 4099.0)) +
                                   "\n     in the data file is repeated \n     continuing using only the first occurence \n";
        EXPECT_EQ(setup(params("many")), (points > 4096 ? repeat : "") + many);
        EXPECT_EQ(out_.iv, 1);
        EXPECT_NEAR(out_.ps[300], in_.ps[300], 1e-6);
    }
}

TEST_F(OpticalFilterTest, WavelengthDataComeOutInIncreasingFrequency) {
    // A transmission tilted in frequency, described in increasing wavelength.
    auto t_of_f = [](double f) { return 0.5 + 0.03 * (f - 193.6); };
    write_table("wave.DAT", [&](double lambda) { return fmt::F(t_of_f(kLightSpeed / lambda), 14, 10); }, 800, 1480.0, 1620.0);
    UsdfilParams p = params("wave");
    p.file_options[kOptAbscissaIsFrequency] = 0;
    setup(p);
    EXPECT_EQ(usdfil_area.synthesis_status, 1);
    for (int i = 102; i <= 922; ++i)
        ASSERT_NEAR(out_.ps[i], t_of_f(flimit.fgridlo + (i + 0.5) * bin_width()) * in_.ps[i], 2e-6) << i;
}

TEST_F(OpticalFilterTest, FewPointsInTheMiddleTurnOffSilently) {
    // Ten points inside, none below or above the band: off without a message
    // beyond the sparse-data warning; forty are synthesised.
    for (int points : {10, 40}) {
        write_table("mid.DAT", constant("1.0"), points, 193.0, 194.0);
        EXPECT_EQ(setup(params("mid")), kFewerThan64) << points;
        EXPECT_EQ(out_.iv, points > 10 ? 1 : 0) << points;
    }
}

TEST_F(OpticalFilterTest, ComplementIsOneMinusThePowerForEveryDataKind) {
    // P = 0.25 as linear modulus, as dB with a phase, and with a group delay:
    // the complement transmits 0.75 in every bin.
    const std::pair<std::int32_t, std::string> cases[] = {
        {2, "0.25"}, {0, fmt::F(10.0 * std::log10(0.25), 16, 12) + " 0.3"}, {1, "0.25 12.0"}};
    for (const auto& [kind, columns] : cases) {
        write_table("c.DAT", constant(columns), 300);
        UsdfilParams p = params("c", kind);
        p.file_options[kOptModulusInDb] = kind == 0 ? 1 : 0;
        p.file_options[kOptComplement] = 1;
        setup(p);
        EXPECT_EQ(out_.iv, 1) << kind;
        for (int i = 102; i <= 922; ++i) ASSERT_NEAR(out_.ps[i], 0.75f * in_.ps[i], 1e-6) << kind << " " << i;
        EXPECT_NEAR(out_.pp / (0.75f * in_.pp), 1.0, 2e-3);
    }
    // A gain above 1 has no complement: it transmits nothing, not a negative
    // power, and a filter that transmits nothing cannot be synthesised.
    write_table("c.DAT", constant("1.5"), 300);
    UsdfilParams p = params("c");
    p.file_options[kOptComplement] = 1;
    EXPECT_EQ(setup(p), kFailure);
    EXPECT_EQ(out_.ps[512], 0.0f);
    EXPECT_EQ(out_.iv, 0);
}

TEST_F(OpticalFilterTest, GroupDelayDataBecomeTheFilterDelay) {
    // A constant delay is the mean over the band, which is removed: the
    // filter differs from one without delay by the whole samples the length
    // search placed the responses at, and a fraction of a picosecond.
    UsdfilParams p = params("gd", 1);
    write_table("gd.DAT", constant("1.0 35.0"), 500);
    setup(p);
    const float with_delay = out_.gd[512];
    write_table("gd.DAT", constant("1.0 0.0"), 500);
    setup(p);
    EXPECT_LT(std::fabs(with_delay - out_.gd[512]), 3.0 * zdctrl.ddelt + 0.1);
    // A delay tilted across the band appears in the bins.
    write_table("gd.DAT", [](double f) { return "1.0 " + fmt::F(2.0 * (f - 193.61597), 14, 8); }, 700);
    setup(p);
    EXPECT_NEAR((out_.gd[700] - out_.gd[300]) / (400 * bin_width()), 2.0, 0.02);
}

TEST_F(OpticalFilterTest, OverlapAddEqualsDirectConvolutionDelayedByHalfTheLength) {
    // A smooth band-pass (Gaussian amplitude with a linear-phase tilt) keeps
    // the FFT length small, so every output sample can be checked.
    write_table("g.DAT", [](double f) {
        const double x = (f - 194.1) / 0.6;
        return fmt::F(std::exp(-x * x), 16, 12) + " " + fmt::F(0.8 * x, 16, 12);
    }, 1500);
    win_.ton = 0.0f;  // the window starts at the first sample
    for (std::int32_t npol : {1, 2}) {
        optcl_ctrl.npol = npol;
        UsdfilParams p = params("g", 0);
        p.file_options[kOptPolarisations] = npol;
        setup(p);
        ASSERT_EQ(out_.iv, 1);
        const testing::HandOverFile h = testing::read_hand_over(77);
        const std::int32_t n = h.n;
        ASSERT_EQ(std::int32_t(h.h.size()), n);
        ASSERT_LE(n, 4096) << "a short filter keeps this test small";
        std::vector<cd> taps = h.h;  // the inverse transform of the realised response
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
                ASSERT_EQ(out_.y.re, 0.0f);
                ASSERT_EQ(out_.y.im, 0.0f);
                ASSERT_EQ(out_.y.fcenter, 0.0f);
            }
        }
        EXPECT_LT(worst, 2e-6) << npol;
    }
}

TEST_F(OpticalFilterTest, StorageAndTheRunOutsideTheWindowOrWhenOff) {
    write_table("flat.DAT", constant("1.0"), 700);
    const UsdfilParams p = params("flat");
    optcl_ctrl.memused = 0;
    setup(p);
    const testing::HandOverFile h = testing::read_hand_over(77);
    // Counted in the set-up: three integer slots and five double complex areas of N entries.
    EXPECT_EQ(optcl_ctrl.memused, 3 * 12 + 5 * (16 * h.n + 32));
    EXPECT_EQ(zzmax.i, 9);
    EXPECT_EQ(zzmaxd.zd, 5 * (h.n + 2));
    // Filled by the initialisation call of a run (each slot after its two-word header).
    initialise(p);
    EXPECT_EQ(zzist[2], h.n);
    EXPECT_EQ(zzist[5], h.log2n);
    EXPECT_EQ(zzist[8], 0);
    EXPECT_EQ(zzzisd[2], h.h[0]);  // the H area
    EXPECT_EQ(zzsupv.zd, 1 + 5 * (h.n + 2));
    // Before the input starts both outputs are (0, 0, fcenter); an off filter
    // (iv out 0) outputs the same and touches no storage.
    in_.x = FieldSample{1.0f, 1.0f, 193.0f};
    win_.ton = 1000.0f;
    for (std::int32_t iv : {1, 0}) {
        out_.iv = iv;
        testing::begin_sample(2 - iv);
        usdfil(p, win_, tw_, in_, out_);
        EXPECT_EQ(std::tuple(out_.x.re, out_.x.im, out_.x.fcenter), std::tuple(0.0f, 0.0f, f_vbs_band.fcenter)) << iv;
        EXPECT_EQ(std::tuple(out_.y.re, out_.y.im, out_.y.fcenter), std::tuple(0.0f, 0.0f, f_vbs_band.fcenter)) << iv;
    }
    EXPECT_EQ(zzsupv.i, 1);
    // The hand-over file is gone: a second initialisation reports it and leaves the filter off.
    EXPECT_EQ(initialise(p), "Nodrix-E-User defined optical filter at Test filter\n"
                             "   The filter working file kn000077.DAT cannot be read\n");
    EXPECT_EQ(out_.iv, 0);
}

TEST_F(OpticalFilterTest, TheLongestFilterIsRefusedWhenTheStorageCannotHoldIt) {
    // A 0.2 GHz wide resonance settles at 2^17 taps, 2^18 points at run time,
    // and needs five areas of 2^18 values in the double complex storage.
    std::string s = "##\n";
    const double fs = 1.0 / zdctrl.ddelt;
    for (double x = -0.6 * fs; x <= 0.6 * fs; x += std::max(0.0002 / 20.0, std::fabs(x) / 20.0)) {
        const double u = x / 0.0002;
        s += fmt::F(194.0 + x, 16, 10) + " " + fmt::E(1.0 / (1.0 + u * u), 18, 10) + " " + fmt::E(-std::atan(u), 18, 10) + "\n";
    }
    testing::write_text("ring.DAT", s);
    const UsdfilParams p = params("ring", 0);
    setup(p);
    ASSERT_EQ(out_.iv, 1);
    const testing::HandOverFile h = testing::read_hand_over(77);
    EXPECT_EQ(h.n, 1 << 18);
    EXPECT_EQ(std::int32_t(h.h.size()), h.n);
    const std::string refused = "Nodrix-E-User defined optical filter at Test filter\n"
                                "   The kernel storage cannot hold the filter of 262144 points\n";
    // The blocks before this one have left room for four of the five areas.
    testing::begin_run_init();
    zzsupv.zd = limits::kMaxZD - 4 * (h.n + 2) + 1;
    CaptureStderr();
    usdfil(p, win_, tw_, in_, out_);
    EXPECT_EQ(GetCapturedStderr(), refused);
    EXPECT_EQ(out_.iv, 0);
    EXPECT_FALSE(std::filesystem::exists("kn000077.DAT"));
    // Storing while the storage only counts (every area at position 1) is
    // refused the same way when one area is longer than the whole array, as
    // in builds with the default capacity.
    if (h.n > limits::kMaxZD) {
        setup(p);
        zzflmn.nohist = 0;
        optcl_ctrl.blkmode = 0;
        CaptureStderr();
        usdfil(p, win_, tw_, in_, out_);
        EXPECT_EQ(GetCapturedStderr(), refused);
        EXPECT_EQ(out_.iv, 0);
    }
}

TEST_F(OpticalFilterTest, ChartsFromTheRequestedDataAndTheRealisedFilter) {
    write_table("g.DAT", constant("1.0 0.5"), 400);
    UsdfilParams p = params("g", 0);
    p.file_options[kOptWriteCharts] = 1;
    setup(p);
    EXPECT_TRUE(std::filesystem::exists("kp000077.DAT"));
    initialise(p);
    EXPECT_FALSE(std::filesystem::exists("kp000077.DAT"));
    // Version 1 XY chart file of four charts; titles and y units in order.
    const std::vector<unsigned char> bytes = testing::read_bytes("chart_base.qxy");
    std::vector<unsigned char> head;
    testing::put_text(head, "NodrixXY  1");
    for (std::int32_t v : {7, 5, 16, 1, 7, 0}) testing::put_i32(head, v);
    ASSERT_GT(bytes.size(), head.size());
    EXPECT_TRUE(std::equal(head.begin(), head.end(), bytes.begin()));
    auto at = bytes.begin();
    for (const char* text : {"Requested Amplitude", "frequency", "THz", "dB", "Requested Phase", "rad", "Amplitude", "dB",
                             "Group Delay", "ps"}) {
        const std::string t(text, std::strlen(text) + 1);  // with its terminating zero
        at = std::search(at, bytes.end(), t.begin(), t.end());
        ASSERT_NE(at, bytes.end()) << text;
    }
    // A second run appends its four charts to the same file.
    setup(p);
    initialise(p);
    EXPECT_EQ(testing::read_bytes("chart_base.qxy").size(), 2 * bytes.size() - head.size());
}

TEST_F(OpticalFilterTest, FileNames) {
    EXPECT_EQ(filename_generation(77, "rc"), "rc000077");
    EXPECT_EQ(filename_generation(999999, "kp"), "kp999999");
    EXPECT_EQ(filename_generation(1234567, "lo"), "lo234567");
}

}  // namespace
}  // namespace nodrix
