#include <cmath>
#include <filesystem>
#include <string>

#include "models/measurements/power_meter.h"
#include "kernel/filexx.h"
#include "runtime/format.h"
#include "tests/models/measurements/run_harness.h"

namespace nodrix {
namespace {

const std::string kTitle = "opowme2 Run(s): 1";
const std::string kHead = "\nOptical power at " + kTitle + std::string(50 - kTitle.size(), ' ');
const std::string kZeroReport = kHead + "\n P Power [dBm] =     -100.000\n P Power [mW] =    0.000E+00\n\nWARNING !\n"
                                        "  The evaluated optical power is very low\n"
                                        "  and has been conventionally truncated to    -100.000 dBm\n";

class PowerMeterTest : public testing::BlockTest {
protected:
    void SetUp() override {
        BlockTest::SetUp();
        sig.iv = 1;
        sig.x = {1.0f, 0.0f, f_vbs_band.fcenter};
        dt = static_cast<float>(zdctrl.ddelt);
        polmon.tmon = 10.5f * dt;  // the window [tgoodi + m, tgoodf - m] with edges between samples
    }
    // Runs 120 samples (`field(step)` sets the input before each) and returns the report.
    template <class Field>
    std::string run(Field field) {
        std::filesystem::remove("PWR71.DAT");
        testing::set_run_length(120);
        const InputWindow in{0.0f, 100.0f * dt};
        for (std::int32_t s = 0; s <= 120; ++s) {
            s == 0 ? testing::begin_init_pass() : testing::begin_sample(s);
            if (s > 0) field(s);
            opowme(p, in, out, sig);
            if (s < 120 && std::filesystem::exists("PWR71.DAT")) ADD_FAILURE() << "report before the end, step " << s;
        }
        return testing::read_text("PWR71.DAT");
    }
    static void steady(std::int32_t) {}
    OpowmeParams p{kTitle, "PWR71     other words"};
    TimeWindow out;
    OpticalSignal sig;
    float dt = 0.0f;
};

TEST_F(PowerMeterTest, OneMilliwattReport) {
    EXPECT_EQ(run(steady), kHead + "\n P Power [dBm] =        0.000\n P Power [mW] =    0.100E+01\n\n");
    EXPECT_FALSE(unit_registered(kFirstRegistryUnit));  // the report unit is closed and released
}

TEST_F(PowerMeterTest, NoPowerIsTruncatedWithTheWarning) {
    // Zero input, no sample in the window (empty when 2 m exceeds its length), an input out of band:
    // no power, and no division by zero.
    sig.x = empty_field();
    EXPECT_EQ(run(steady), kZeroReport);
    sig.x = {1.0f, 0.0f, f_vbs_band.fcenter};
    polmon.tmon = 50.5f * dt;
    EXPECT_EQ(run(steady), kZeroReport);
    polmon.tmon = 10.5f * dt;
    sig.iv = 0;
    EXPECT_EQ(run(steady), kZeroReport);
}

TEST_F(PowerMeterTest, OnlyTheMeasuringWindowCounts) {
    // Field s at step s: the mean over steps 12..90, plus 2.25 mW of y with two polarisations.
    double sum = 0.0;
    for (int s = 12; s <= 90; ++s) sum += static_cast<double>(s) * s;
    for (std::int32_t npol : {1, 2}) {
        optcl_ctrl.npol = npol;
        const double mean = sum / 79.0 + (npol == 2 ? 2.25 : 0.0);
        EXPECT_EQ(run([this](std::int32_t s) {
                      sig.x = {static_cast<float>(s), 0.0f, f_vbs_band.fcenter};
                      sig.y = {0.0f, 1.5f, f_vbs_band.fcenter};
                  }),
                  kHead + "\n P Power [dBm] = " + fmt::F(10.0 * std::log10(mean), 12, 3) + "\n P Power [mW] = " +
                      fmt::E(static_cast<float>(mean), 12, 3) + "\n\n")
            << npol;
    }
}

TEST_F(PowerMeterTest, BlankReportNameIsAnError) {
    p.report_name = "          ";
    p.title = kTitle + std::string(50 - kTitle.size(), ' ');
    EXPECT_EQ(testing::stderr_of([&] { run(steady); }), "Nodrix-E-Optical power meter opowme2 Run(s): 1: no report name given\n");
    EXPECT_FALSE(std::filesystem::exists(".DAT"));
}

TEST_F(PowerMeterTest, WindowOutputsAndStorage) {
    sig.gd.fill(3.0f);
    sig.gd[500] = 10.0f;
    sig.gd[101] = 100.0f;  // outside the in-band bins
    testing::begin_counting_pass();
    opowme(p, {5.0f, 1000.0f}, out, sig);
    EXPECT_EQ(optcl_ctrl.memused, 32);  // two doubles
    EXPECT_EQ((std::vector<float>{out.ton, out.tgoodi, out.tgoodf, out.toff}), (std::vector<float>{5.0f, 12.0f, 1005.0f, 1012.0f}));
    sig.iv = 0;
    testing::begin_counting_pass();
    opowme(p, {5.0f, 1000.0f}, out, sig);
    EXPECT_EQ(optcl_ctrl.memused, 0);
}

}  // namespace
}  // namespace nodrix
