// The rules of a link beyond the range of each value: what every block would
// refuse at set-up or in the run, the link's run settings against the kernel's
// single-precision time, and the physics of the link as a whole. One table
// per kind of fault, each with the exact message and where it points.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "project/link.h"
#include "tests/project/link_loading.h"

namespace nodrix {
namespace {

using testing::replaced;

// Two channels (193.1 and 193.2 THz) combined, amplified, demultiplexed to
// the second one and received; a line per block, so that a block's line is
// that of its values.
const std::string kLink = testing::read_text(NODRIX_TEST_DATA_DIR "/link_rules.toml");

struct Case {
    const char* what;
    std::string from, to;  // one change of the link
    std::string message;   // the first message, without "Nodrix-E-" or "Nodrix-W-"
};

class LinkRules : public testing::NodrixTest {
protected:
    void SetUp() override {
        testing::NodrixTest::SetUp();
        testing::write_text("filter.DAT", "# flat\n##\n193.0 1.0 0.0\n193.2 1.0 0.0\n");
        testing::write_text("one_point.DAT", "##\n193.0 1.0 0.0\n");
        testing::write_text("narrow_gain.DAT", "##\n1550 10\n1551 10\n");
        testing::write_text("loss.DAT", "##\n193.0 0.2\n");
        testing::write_text("two_bits.DAT", "##\n2\n0 1\n1\n");
    }
    bool load(const Case& c) {
        ::testing::internal::CaptureStderr();
        const bool ok = load_link_text(replaced(kLink, c.from, c.to), "r.toml", dir_.string()).has_value();
        messages_ = ::testing::internal::GetCapturedStderr();
        return ok;
    }
    // Each case's link is refused, its first message the case's.
    template <std::size_t N>
    void expect_refused(const Case (&cases)[N]) {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.what);
            EXPECT_FALSE(load(c));
            EXPECT_EQ(messages_.substr(0, messages_.find('\n')), "Nodrix-E-" + c.message);
        }
    }
    std::string at(int line, int id, const std::string& kind) const {
        return "r.toml:" + std::to_string(line) + ": block " + std::to_string(id) + " (" + kind + "): ";
    }
    std::string messages_;
};

TEST_F(LinkRules, TheReferenceOfTheTablesIsSound) {
    EXPECT_TRUE(load({"nothing", "", "", ""}));
    EXPECT_EQ(messages_, "");
}

TEST_F(LinkRules, WhatABlockWouldRefuseIsAnErrorAtItsValue) {
    const std::string dir = dir_.string() + "/";
    const Case cases[] = {
        {"a value single precision holds as 0", "{id = 12, kind = \"photodiode\", input = 11",
         "{id = 12, kind = \"photodiode\", input = 11, dark_current_na = 1e-50",
         at(13, 12, "photodiode") + "dark_current_na = 1e-50 would be held as 0 in single precision (smallest "
                                    "magnitude 1.4013e-45); allowed: >= 0"},
        {"first boundary beyond the symbol", "{id = 1, kind = \"prbs_source\",",
         "{id = 1, kind = \"prbs_source\", first_boundary_samples = 64,",
         at(2, 1, "prbs_source") + "first_boundary_samples = 64 is not below samples_per_bit = 64; allowed: 0 to 63"},
        {"no such polynomial of the degree the run length gives: 320 bits", "{id = 1, kind = \"prbs_source\",",
         "{id = 1, kind = \"prbs_source\", degree = 0, polynomial = 7,",
         at(2, 1, "prbs_source") + "polynomial = 7 is beyond the 6 polynomials of degree 9 (the degree chosen from "
                                   "the run length); allowed: 1 to 6"},
        {"bit file without its bits per record", "{id = 1, kind = \"prbs_source\",",
         "{id = 1, kind = \"prbs_source\", source = \"file\", file = \"filter\",",
         at(2, 1, "prbs_source") + "source = \"file\": the bit file " + dir +
             "filter.DAT has no line starting with ## followed by a line with its bits per record"},
        {"bit file with a short record", "{id = 1, kind = \"prbs_source\",",
         "{id = 1, kind = \"prbs_source\", source = \"file\", file = \"two_bits\", bits_per_symbol = 2,",
         at(2, 1, "prbs_source") + "source = \"file\": the bit file " + dir +
             "two_bits.DAT, line 4: expected 2 values of 0 or 1"},
        {"carrier beyond the band", "frequency_thz = 193.1}", "frequency_thz = 193.4}",
         at(4, 3, "laser") + "frequency_thz = 193.4 lies outside the simulated band, band_low_thz to band_high_thz = "
                             "192.844 to 193.356 THz, where the laser would emit nothing; allowed: within it"},
        {"shaped noise without a resonance", "frequency_thz = 193.1}",
         "frequency_thz = 193.1, shaped_frequency_noise = true}",
         at(4, 3, "laser") + "shaped_frequency_noise = true needs a resonance: resonance_frequency_ghz = 0 and "
                             "resonance_peak_db = 0 give none; allowed: both above 0"},
        {"loss profile of one point", "length_km = 1.0}", "length_km = 1.0, loss_profile_file = \"loss.DAT\"}",
         at(18, 17, "fibre") + "loss_profile_file: the loss profile " + dir +
             "loss.DAT holds fewer than two points after a line starting with ##"},
        {"noise figure from a profile that is not given", "gain_db = 10.0}", "gain_db = 10.0, noise_figure_linear = -1}",
         at(11, 10, "amplifier_fixed_gain") + "noise_figure_linear = -1 takes the noise figure from a profile (a "
                                              "negative value), but noise_figure_profile_file is not given; allowed: "
                                              "0 or more, or a negative value with noise_figure_profile_file"},
        {"gain profile that does not cover the band", "gain_db = 10.0}",
         "gain_db = -1, gain_profile_file = \"narrow_gain\"}",
         at(11, 10, "amplifier_fixed_gain") + "gain_profile_file: the gain and noise-figure profiles do not cover the "
                                              "simulated band: each must reach below and above it, or hold at least "
                                              "10 points within it"},
        {"description of one point", "data_file = \"filter\"", "data_file = \"one_point\"",
         at(19, 18, "user_filter") + "data_file: the description file " + dir +
             "one_point.DAT holds fewer than two data points"},
        {"a band-pass below 0", "bandwidth_thz = 0.008}",
         "bandwidth_thz = 0.03125, type = \"band_pass\", centre_frequency_thz = 0.0078125}",
         at(14, 13, "bessel_filter") + "the band-pass edges, centre_frequency_thz -+ bandwidth_thz / 2 = "
                                       "-0.0078125 to 0.0234375 THz, leave the band the time step carries; "
                                       "allowed: both above 0 and below 0.5 / time_step_ps = 0.32"},
        {"a recorded rate above the signal's", "eye_scope\", input = 13, window_ps = 12800.0, samples_per_bit = 64",
         "eye_scope\", input = 13, window_ps = 12800.0, samples_per_bit = 64, recorded_samples_per_bit = 65",
         at(16, 15, "eye_scope") + "recorded_samples_per_bit = 65 is above samples_per_bit = 64; allowed: 1 to 64"},
        {"a report name the meter would cut", "{id = 16, kind = \"power_meter\", input = 10",
         "{id = 16, kind = \"power_meter\", input = 10, file_name = \"my report\"",
         at(17, 16, "power_meter") + "file_name = \"my report\" holds a blank, at which the block cuts it (my); "
                                     "allowed: a name without blanks"},
    };
    expect_refused(cases);
}

TEST_F(LinkRules, TheLinkAsAWholeAndItsRunSettings) {
    const Case cases[] = {
        {"an end time shorter than a step", "end_time_ps = 32000.0", "end_time_ps = 1.0",
         "r.toml:24: [link]: end_time_ps = 1 is shorter than one time step (time_step_ps = 1.5625); allowed: at least "
         "time_step_ps"},
        {"a band beyond the grid", "band_high_thz = 193.356", "band_high_thz = 193.5",
         "r.toml:29: [link]: the simulated band, band_low_thz to band_high_thz = 192.844 to 193.5 THz, reaches beyond "
         "the spectral grid, grid_low_thz to grid_high_thz = 192.78 to 193.42 THz; allowed: a band within the grid"},
        {"a driver at a rate other than its source's", "input = 1, samples_per_bit = 64", "input = 1, samples_per_bit = 32",
         at(3, 2, "nrz_driver") + "samples_per_bit = 32 differs from the 64 samples per symbol of its data source, "
                                  "block 1 (prbs_source); allowed: the same"},
        {"the received channel sent at another rate",
         "{id = 6, kind = \"prbs_source\", samples_per_bit = 64},\n  {id = 7, kind = \"nrz_driver\", input = 6, samples_per_bit = 64",
         "{id = 6, kind = \"prbs_source\", samples_per_bit = 32},\n  {id = 7, kind = \"nrz_driver\", input = 6, samples_per_bit = 32",
         at(15, 14, "ber_estimator") + "samples_per_bit = 64 differs from the 32 samples per bit of the channel it "
                                       "receives, sent by block 7 (nrz_driver) through block 8 (modulator); allowed: "
                                       "the same"},
        {"two blocks writing one file", "{id = 16, kind = \"power_meter\", input = 10",
         "{id = 16, kind = \"power_meter\", input = 10, file_name = \"r_PST0014\"",
         at(17, 16, "power_meter") + "file_name names the file r_PST0014.DAT, which block 14 (ber_estimator) writes "
                                     "as well; allowed: a file of its own"},
        {"a filter narrower than a bin", "bandwidth_thz = 0.04}", "bandwidth_thz = 0.0005}",
         at(12, 11, "raised_cosine_filter") + "bandwidth_thz = 0.0005 is narrower than one bin of the spectral grid, "
                                              "(grid_high_thz - grid_low_thz) / 1024 = 0.0006249994 THz, which "
                                              "cannot describe its response; allowed: at least 0.0006249994 (a "
                                              "narrower grid has finer bins)"},
        {"a value from the kind's defaults", "[link]\n", "[defaults.bessel_filter]\ncentre_frequency_thz = 0.01\n[link]\n",
         "r.toml:14: block 13 (bessel_filter), r.toml:22: [defaults.bessel_filter]: centre_frequency_thz = 0.01 "
         "applies to a band-pass only; allowed for a low_pass: 0"},
    };
    expect_refused(cases);
    // The receiver takes the second channel: the first one's rate is not its own.
    Case first_channel{"", "{id = 1, kind = \"prbs_source\", samples_per_bit = 64},\n  {id = 2, kind = \"nrz_driver\", input = 1, samples_per_bit = 64",
                       "{id = 1, kind = \"prbs_source\", samples_per_bit = 32},\n  {id = 2, kind = \"nrz_driver\", input = 1, samples_per_bit = 32", ""};
    EXPECT_TRUE(load(first_channel));
    EXPECT_EQ(messages_, "");
    // A filter wider than the band still means something: a warning.
    EXPECT_TRUE(load({"", "bandwidth_thz = 0.04}", "bandwidth_thz = 0.6}", ""}));
    EXPECT_EQ(messages_, "Nodrix-W-" + at(12, 11, "raised_cosine_filter") +
                             "bandwidth_thz = 0.6 is wider than the simulated band, band_high_thz - band_low_thz = "
                             "0.51200867 THz: the filter passes all of it\n");
}

}  // namespace
}  // namespace nodrix
