#include "filters/lorentzian.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "filters/optical_filter.h"
#include "tests/filters/optical_harness.h"

namespace nodrix {
namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

struct Line {
    double f, t, phase;
};

class LorentzianTest : public testing::OpticalBlockTest {
protected:
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
    // Block set-up; returns its messages and the lines of the description
    // (a blank before every exponent field, so that a negative phase does not
    // run into the transmission).
    std::string setup(const LorfilParams& p, std::vector<Line>& lines) {
        testing::begin_setup();
        CaptureStderr();
        lorfil(p, win_, tw_, in_, out_);
        const std::string err = GetCapturedStderr();
        lines.clear();
        for (const auto& r : testing::read_description("lo000005.DAT", "   # TEMPORARY FILE FOR LORENTZIAN TRANSFER FUNCTION",
                                                       R"([ 0-9]{2}[0-9]\.[0-9]{8}  0\.[0-9]{8}E[+-][0-9]{2} [ -]0\.[0-9]{8}E[+-][0-9]{2})"))
            lines.push_back({r.at(0), r.at(1), r.at(2)});
        return err;
    }
};

// The table linearly interpolated at f.
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

TEST_F(LorentzianTest, HalfWidthTransmissionAndPhaseForOrdersOneAndTwo) {
    // The order-n filter falls to 0.5 at fc -+ B/2; the phase written is that
    // of one pole, -atan(x), whatever the order.
    const double g2 = 0.02 / std::sqrt(std::sqrt(2.0) - 1.0);  // 0.7769 B
    for (const auto& [order, g] : {std::pair{1, 0.02}, std::pair{2, g2}}) {
        const LorfilParams p = params(order, 0.04f);
        const double fc = p.centre_frequency;
        EXPECT_NEAR(lorentzian_half_width(0.04f, order), g, 1e-7);
        std::vector<Line> lines;
        EXPECT_EQ(setup(p, lines), "");
        double previous = 0.0;
        for (const Line& l : lines) {
            ASSERT_GT(l.f, previous);
            previous = l.f;
            const double x = (l.f - fc) / g;
            ASSERT_NEAR(l.t, std::pow(1.0 / (1.0 + x * x), order), 2e-6 * (1.0 + std::fabs(x))) << l.f;
            ASSERT_NEAR(l.phase, -std::atan(x), 2e-6 * (1.0 + std::fabs(x))) << l.f;
        }
        for (double edge : {-0.02, 0.02}) {
            EXPECT_NEAR(at(lines, fc + edge).t, 0.5, 1e-4) << edge;
            EXPECT_NEAR(at(lines, fc + edge).phase, -std::atan(edge / g), 1e-4) << edge;  // -+pi/4 for n = 1
        }
        // The table spans the simulated band. Regions: skirts of 2g from fc -+ 6g
        // in steps of 2g/112, the centre of 8g in steps of g/100, each step as
        // single precision near 193 THz can take it (1.53e-5 THz).
        EXPECT_NEAR(lines.front().f, f_vbs_band.fbandlo, 1e-6);
        EXPECT_GE(lines.back().f + 0.02, f_vbs_band.fbandhi);
        int skirt_starts = 0;
        for (std::size_t i = 1; i < lines.size(); ++i) {
            const double d = std::fabs(lines[i - 1].f - fc) / g, step = lines[i].f - lines[i - 1].f;
            skirt_starts += std::fabs(lines[i].f - (fc - 6.0 * g)) < 2e-5 ? 1 : 0;
            if (d < 3.98 || (d > 4.02 && d < 5.98)) {
                ASSERT_NEAR(step, d < 4.0 ? g / 100.0 : g / 56.0, 1.6e-5) << lines[i].f;
            }
        }
        EXPECT_EQ(skirt_starts, 1);
    }
}

TEST_F(LorentzianTest, SmallBandwidthWarning) {
    std::vector<Line> lines;
    const std::string err = setup(params(1, 0.0005f), lines);  // g / 100 = 2.5e-6 THz
    const std::string warning =
        "Nodrix-W-Lorentzian optical filter at: \nLorentzian filter\n"
        "     the bandwidth parameter(GHz)  0.50000000E+00\n     is very small \n     results may be inaccurate \n";
    EXPECT_EQ(err.substr(0, warning.size()), warning);
    // Steps of at least 1e-5 THz (single precision may round them up near 193 THz).
    for (std::size_t i = 1; i < lines.size(); ++i) ASSERT_GE(lines[i].f - lines[i - 1].f, 0.99e-5);
}

TEST_F(LorentzianTest, SynthesisedFilterFollowsTheLorentzian) {
    const LorfilParams p = params(1, 0.2f);
    std::vector<Line> lines;
    setup(p, lines);
    ASSERT_EQ(out_.iv, 1);
    EXPECT_EQ(usdfil_area.synthesis_status, 1);
    // Bin transmissions 1 / (1 + x^2) at the bin centres.
    for (int i = 380; i <= 440; ++i) {
        const double x = (flimit.fgridlo + (i + 0.5) * bin_width() - p.centre_frequency) / 0.1;
        ASSERT_NEAR(out_.ps[i], 1.0 / (1.0 + x * x), 2e-4) << i;
    }
    // A single pole delays most at its centre: 1 / (2 pi g) more than far away.
    const std::size_t centre = bin_of(p.centre_frequency);
    EXPECT_NEAR(out_.gd[centre] - out_.gd[centre + 60], 1.0 / (2.0 * M_PI * 0.1), 0.05 / (2.0 * M_PI * 0.1));
    // The initialisation call of a run deletes the description.
    testing::begin_run_init();
    lorfil(p, win_, tw_, in_, out_);
    EXPECT_FALSE(std::filesystem::exists("lo000005.DAT"));
    EXPECT_EQ(out_.iv, 1);
}

TEST_F(LorentzianTest, BadOrderTurnsTheFilterOff) {
    std::vector<Line> lines;
    const std::string err = setup(params(0, 0.04f), lines);
    EXPECT_EQ(err.rfind("Nodrix-E-Lorentzian optical filter at: \nLorentzian filter\n     the order must be at least 1\n", 0), 0u);
    EXPECT_NE(err.find("The filter synthesis was not possible."), std::string::npos);
    EXPECT_EQ(out_.iv, 0);
}

}  // namespace
}  // namespace nodrix
