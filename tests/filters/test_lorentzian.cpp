#include "filters/lorentzian.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "filters/optical_filter.h"
#include "kernel/control_blocks.h"
#include "runtime/record_file.h"
#include "tests/support/test_support.h"

namespace nodrix {
namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

class LorentzianTest : public testing::NodrixTest {
protected:
    void SetUp() override {
        NodrixTest::SetUp();
        testing::set_project_constants();
        in_.iv = 1;
        in_.pp = 1.0f;
        in_.ps.fill(1.0f);
    }

    static LorfilParams params(std::int32_t order, float bandwidth) {
        LorfilParams p;
        p.instance = 5;
        p.order = order;
        p.centre_frequency = 193.1f;
        p.bandwidth = bandwidth;
        p.block_name = "Lorentzian filter";
        p.file_base = "lorentz";
        return p;
    }

    void setup(const LorfilParams& p) {
        zzctrl.pass = 0;
        optcl_ctrl.blkmode = 1;
        zzflmn.nohist = 1;
        zzsupv.storephase = 0;
        lorfil(p, win_, tw_, in_, out_);
    }

    InputWindow win_{0.0f, 15360.0f};
    TimeWindow tw_;
    OpticalSignal in_;
    OpticalSignal out_;
};

struct Line {
    double f, t, phase;
};

std::vector<Line> read_table(const std::string& path, std::vector<std::string>* head = nullptr) {
    std::istringstream in(testing::read_text(path));
    std::vector<Line> out;
    std::string l;
    int n = 0;
    const std::regex form(R"([ 0-9]{2}[0-9]\.[0-9]{8}  0\.[0-9]{8}E[+-][0-9]{2} [ -]0\.[0-9]{8}E[+-][0-9]{2})");
    while (std::getline(in, l)) {
        if (n++ < 2) {
            if (head != nullptr) head->push_back(l);
            continue;
        }
        EXPECT_TRUE(std::regex_match(l, form)) << l;
        out.push_back({std::stod(l.substr(0, 12)), std::stod(l.substr(13, 15)), std::stod(l.substr(29, 15))});
    }
    return out;
}

// Linear interpolation of the table at f.
Line at(const std::vector<Line>& lines, double f) {
    for (std::size_t i = 1; i < lines.size(); ++i)
        if (lines[i - 1].f <= f && f <= lines[i].f) {
            const double u = (f - lines[i - 1].f) / (lines[i].f - lines[i - 1].f);
            return {f, lines[i - 1].t + u * (lines[i].t - lines[i - 1].t),
                    lines[i - 1].phase + u * (lines[i].phase - lines[i - 1].phase)};
        }
    ADD_FAILURE() << "no line around " << f;
    return {};
}

TEST_F(LorentzianTest, FirstOrderHalfWidthTransmissionAndPhase) {
    const LorfilParams p = params(1, 0.04f);
    EXPECT_FLOAT_EQ(lorentzian_half_width(0.04f, 1), 0.02f);
    CaptureStderr();
    setup(p);
    EXPECT_EQ(GetCapturedStderr(), "");
    std::vector<std::string> head;
    const auto lines = read_table("lo000005.DAT", &head);
    ASSERT_EQ(head.size(), 2u);
    EXPECT_EQ(head[0], "   # TEMPORARY FILE FOR LORENTZIAN TRANSFER FUNCTION");
    EXPECT_EQ(head[1], "##");
    const double fc = p.centre_frequency;
    double previous = 0.0;
    for (const Line& l : lines) {
        ASSERT_GT(l.f, previous);
        previous = l.f;
        const double x = (l.f - fc) / 0.02;
        ASSERT_NEAR(l.t, 1.0 / (1.0 + x * x), 2e-6 * (1.0 + std::fabs(x))) << l.f;
        ASSERT_NEAR(l.phase, -std::atan(x), 2e-6 * (1.0 + std::fabs(x))) << l.f;
    }
    const Line half = at(lines, fc + 0.02);
    EXPECT_NEAR(half.t, 0.5, 1e-4);
    EXPECT_NEAR(half.phase, -M_PI / 4.0, 1e-4);
    const Line low = at(lines, fc - 0.02);
    EXPECT_NEAR(low.t, 0.5, 1e-4);
    EXPECT_NEAR(low.phase, M_PI / 4.0, 1e-4);
    // The table spans the simulated band; the lower skirt starts exactly at fc - 6g.
    EXPECT_NEAR(lines.front().f, f_vbs_band.fbandlo, 1e-6);
    EXPECT_GE(lines.back().f + 0.02, f_vbs_band.fbandhi);
    bool skirt_start = false;
    for (const Line& l : lines) skirt_start |= std::fabs(l.f - (fc - 0.12)) < 2e-5;
    EXPECT_TRUE(skirt_start);
    // Regions: skirts of 2g in steps of 2g/112, the centre of 8g in steps of
    // g/100, each step as the single-precision frequency near 193 THz can
    // take it (within one unit of its last place, 1.53e-5 THz).
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const double d = std::fabs(lines[i - 1].f - fc);
        const double step = lines[i].f - lines[i - 1].f;
        if (d < 0.08 - 4e-4) {
            ASSERT_NEAR(step, 0.0002, 1.6e-5) << lines[i].f;
        } else if (d > 0.08 + 4e-4 && d < 0.12 - 4e-4) {
            ASSERT_NEAR(step, 0.04 / 112.0, 1.6e-5) << lines[i].f;
        }
    }
}

TEST_F(LorentzianTest, SecondOrderHalfWidthAndSinglePolePhase) {
    const float g = lorentzian_half_width(0.04f, 2);
    EXPECT_NEAR(g, 0.7769f * 0.04f, 2e-6f);
    EXPECT_NEAR(g, 0.02 / std::sqrt(std::sqrt(2.0) - 1.0), 1e-7);
    const LorfilParams p = params(2, 0.04f);
    setup(p);
    const auto lines = read_table("lo000005.DAT");
    for (double edge : {-0.02, 0.02}) {
        const Line e = at(lines, p.centre_frequency + edge);
        EXPECT_NEAR(e.t, 0.5, 1e-4) << edge;
        // The phase written is that of one pole, -atan(x), whatever the order.
        EXPECT_NEAR(e.phase, -std::atan(edge / g), 1e-4) << edge;
    }
}

TEST_F(LorentzianTest, SmallBandwidthWarning) {
    const LorfilParams p = params(1, 0.0005f);  // s_c = 0.01 g = 2.5e-6 THz
    CaptureStderr();
    setup(p);
    const std::string err = GetCapturedStderr();
    const std::string warning =
        "Nodrix-W-Lorentzian optical filter at: \n"
        "Lorentzian filter\n"
        "     the bandwidth parameter(GHz)  0.50000000E+00\n"
        "     is very small \n"
        "     results may be inaccurate \n";
    EXPECT_EQ(err.substr(0, warning.size()), warning);
    // The steps are at least 1e-5 THz (single precision may round them up to
    // its spacing near 193 THz).
    const auto lines = read_table("lo000005.DAT");
    for (std::size_t i = 1; i < lines.size(); ++i) ASSERT_GE(lines[i].f - lines[i - 1].f, 0.99e-5);
}

TEST_F(LorentzianTest, SynthesisedFilterFollowsTheLorentzian) {
    const LorfilParams p = params(1, 0.2f);
    setup(p);
    ASSERT_EQ(out_.iv, 1);
    EXPECT_EQ(usdfil_area.synthesis_status, 1);
    // Bin transmissions follow the table: 1 / (1 + x^2) at the bin centres.
    const double width = (flimit.fgridhi - flimit.fgridlo) / 1024.0;
    const float g = lorentzian_half_width(0.2f, 1);
    for (int i = 380; i <= 440; ++i) {
        const double f = flimit.fgridlo + (i + 0.5) * width;
        const double x = (f - p.centre_frequency) / g;
        ASSERT_NEAR(out_.ps[static_cast<std::size_t>(i)], 1.0 / (1.0 + x * x), 2e-4) << i;
    }
    // A single pole delays most at its centre: 1 / (2 pi g) more than far away.
    const auto centre_bin = static_cast<std::size_t>((p.centre_frequency - flimit.fgridlo) / width);
    const double extra = out_.gd[centre_bin] - out_.gd[centre_bin + 60];
    EXPECT_NEAR(extra, 1.0 / (2.0 * M_PI * g), 0.05 / (2.0 * M_PI * g));
    // The working file is deleted by the initialisation call of a run.
    zzctrl.pass = 0;
    optcl_ctrl.blkmode = 0;
    zzflmn.nohist = 0;
    zzsupv.storephase = 1;
    zzsupv.i = zzsupv.zd = 1;
    lorfil(p, win_, tw_, in_, out_);
    EXPECT_FALSE(std::filesystem::exists("lo000005.DAT"));
    EXPECT_EQ(out_.iv, 1);
}

TEST_F(LorentzianTest, BadParametersTurnTheFilterOff) {
    const LorfilParams p = params(0, 0.04f);
    CaptureStderr();
    setup(p);
    const std::string err = GetCapturedStderr();
    EXPECT_EQ(err.rfind("Nodrix-E-Lorentzian optical filter at: \nLorentzian filter\n"
                        "     the order must be at least 1\n",
                        0),
              0u);
    EXPECT_NE(err.find("The filter synthesis was not possible."), std::string::npos);
    EXPECT_EQ(out_.iv, 0);
}

}  // namespace
}  // namespace nodrix
