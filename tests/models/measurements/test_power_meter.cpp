#include <cmath>
#include <filesystem>
#include <string>

#include "kernel/control_blocks.h"
#include "kernel/signals.h"
#include "models/measurements/power_meter.h"
#include "runtime/filexx.h"
#include "runtime/format.h"
#include "tests/models/measurements/run_harness.h"
#include "tests/support/test_support.h"

namespace nodrix {
namespace {

using testing::begin_init_pass;
using testing::begin_sample;

const std::string kTitle = "opowme2 Run(s): 1";
const std::string kTitle50 = kTitle + std::string(50 - kTitle.size(), ' ');

class PowerMeterTest : public testing::NodrixTest {
protected:
    void SetUp() override {
        NodrixTest::SetUp();
        testing::set_project_constants();
        sig.iv = 1;
        sig.x = {1.0f, 0.0f, f_vbs_band.fcenter};
        sig.y = empty_field();
        dt = static_cast<float>(zdctrl.ddelt);
        // A short run: the measuring window [tgoodi + m, tgoodf - m] with
        // edges between samples.
        in = {0.0f, 100.0f * dt};
        polmon.tmon = 10.5f * dt;
    }
    // Runs `n` samples; `field(step)` sets the input before each.
    template <class Field>
    void run(std::int32_t n, Field field) {
        testing::set_run_length(n);
        begin_init_pass();
        opowme(p, in, out, sig);
        for (std::int32_t s = 1; s <= n; ++s) {
            begin_sample(s);
            field(s);
            opowme(p, in, out, sig);
            if (s < n) {
                ASSERT_FALSE(std::filesystem::exists("PWR71.DAT")) << "report before the end, step " << s;
            }
        }
    }
    OpowmeParams p{kTitle, "PWR71     other words"};
    InputWindow in;
    TimeWindow out;
    OpticalSignal sig;
    float dt = 0.0f;
};

TEST_F(PowerMeterTest, OneMilliwattReport) {
    run(120, [](std::int32_t) {});
    EXPECT_EQ(testing::read_text("PWR71.DAT"), "\nOptical power at " + kTitle50 +
                                                   "\n P Power [dBm] =        0.000"
                                                   "\n P Power [mW] =    0.100E+01\n\n");
    EXPECT_FALSE(unit_registered(kFirstRegistryUnit));  // the report unit is closed and released
}

TEST_F(PowerMeterTest, ZeroInputIsTruncatedWithTheWarning) {
    const std::string expected = "\nOptical power at " + kTitle50 +
                                 "\n P Power [dBm] =     -100.000"
                                 "\n P Power [mW] =    0.000E+00\n\n"
                                 "WARNING !\n"
                                 "  The evaluated optical power is very low\n"
                                 "  and has been conventionally truncated to    -100.000 dBm\n";
    sig.x = empty_field();
    run(120, [](std::int32_t) {});
    EXPECT_EQ(testing::read_text("PWR71.DAT"), expected);

    // No sample in the window (it is empty when 2 m exceeds its length) and an
    // input out of band measure no power either, without dividing by zero.
    std::filesystem::remove("PWR71.DAT");
    sig.x = {1.0f, 0.0f, f_vbs_band.fcenter};
    polmon.tmon = 50.5f * dt;
    run(120, [](std::int32_t) {});
    EXPECT_EQ(testing::read_text("PWR71.DAT"), expected);

    std::filesystem::remove("PWR71.DAT");
    polmon.tmon = 10.5f * dt;
    sig.iv = 0;
    run(120, [](std::int32_t) {});
    EXPECT_EQ(testing::read_text("PWR71.DAT"), expected);
}

TEST_F(PowerMeterTest, OnlyTheMeasuringWindowCounts) {
    struct Case {
        std::int32_t npol;
        double mean;  // mean power over steps 12..90 (times 11 dt to 89 dt): 3121 and 3123.25 mW
    };
    double sum_x = 0.0;
    double sum_xy = 0.0;
    for (int s = 12; s <= 90; ++s) {
        sum_x += static_cast<double>(s) * s;
        sum_xy += static_cast<double>(s) * s + 2.25;
    }
    const Case cases[] = {{1, sum_x / 79.0}, {2, sum_xy / 79.0}};
    for (const Case& c : cases) {
        optcl_ctrl.npol = c.npol;
        std::filesystem::remove("PWR71.DAT");
        run(120, [this](std::int32_t s) {
            sig.x = {static_cast<float>(s), 0.0f, f_vbs_band.fcenter};
            sig.y = {0.0f, 1.5f, f_vbs_band.fcenter};
        });
        const float mean = static_cast<float>(c.mean);
        EXPECT_EQ(testing::read_text("PWR71.DAT"),
                  "\nOptical power at " + kTitle50 + "\n P Power [dBm] = " +
                      fmt::F(10.0 * std::log10(c.mean), 12, 3) + "\n P Power [mW] = " + fmt::E(mean, 12, 3) + "\n\n")
            << c.npol;
    }
}

TEST_F(PowerMeterTest, BlankReportNameIsAnError) {
    p.report_name = "          ";
    p.title = kTitle50;
    ::testing::internal::CaptureStderr();
    run(120, [](std::int32_t) {});
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Nodrix-E-Optical power meter opowme2 Run(s): 1: no report name given\n");
    EXPECT_FALSE(std::filesystem::exists(".DAT"));
}

TEST_F(PowerMeterTest, WindowOutputsAndStorage) {
    sig.gd.fill(3.0f);
    sig.gd[500] = 10.0f;
    sig.gd[101] = 100.0f;  // outside the in-band bins
    testing::begin_counting_pass();
    opowme(p, {5.0f, 1000.0f}, out, sig);
    EXPECT_EQ(optcl_ctrl.memused, 32);  // two doubles
    EXPECT_FLOAT_EQ(out.ton, 5.0f);
    EXPECT_FLOAT_EQ(out.tgoodi, 12.0f);
    EXPECT_FLOAT_EQ(out.tgoodf, 1005.0f);
    EXPECT_FLOAT_EQ(out.toff, 1012.0f);
    sig.iv = 0;
    testing::begin_counting_pass();
    opowme(p, {5.0f, 1000.0f}, out, sig);
    EXPECT_EQ(optcl_ctrl.memused, 0);
}

}  // namespace
}  // namespace nodrix
