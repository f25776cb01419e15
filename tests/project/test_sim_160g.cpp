// The project sim_160G end to end: the files of its set-up run, their
// structure and their physics.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

#include "kernel/control_blocks.h"
#include "kernel/driver.h"
#include "kernel/lib00.h"
#include "main/op_main.h"
#include "project/sim_160g.h"
#include "tests/support/test_support.h"
#include "xu/xu_msg.h"

namespace nodrix {
namespace {

namespace fs = std::filesystem;

struct DelayRecord {
    std::int32_t instance;
    std::vector<float> gd;
};

std::vector<DelayRecord> read_delay_file(const std::string& path) {
    const auto bytes = testing::read_bytes(path);
    std::vector<DelayRecord> out;
    for (std::size_t at = 0; at + 4100 <= bytes.size(); at += 4100) {
        DelayRecord r;
        std::memcpy(&r.instance, bytes.data() + at, 4);
        r.gd.resize(1024);
        std::memcpy(r.gd.data(), bytes.data() + at + 4, 4096);
        out.push_back(std::move(r));
    }
    return out;
}

// One run of the program on the project, in the test's directory. The whole
// set-up of the link runs once per test suite and its files are kept; the
// regression net guards their bytes, these tests their physics.
class Sim160gTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        previous_ = fs::current_path();
        char templ[] = "/tmp/nodrix-sim160g-XXXXXX";
        dir_ = ::mkdtemp(templ);
        fs::current_path(dir_);
        reset_control_blocks();
        reset_kernel_errors();
        xu_MsgReset();
        schedule_ = sim160g::make_schedule();
        set_project(schedule_->project());
        std::vector<std::string> words{"sim_160G"};
        std::vector<char*> argv;
        for (auto& w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        ::testing::internal::CaptureStderr();
        op_main(static_cast<int>(words.size()), argv.data());
        messages_ = ::testing::internal::GetCapturedStderr();
        fs::current_path(previous_);
    }
    static void TearDownTestSuite() {
        xu_MsgReset();
        std::error_code ec;
        fs::remove_all(dir_, ec);
        schedule_.reset();
    }
    static std::string file(const std::string& name) { return (dir_ / name).string(); }

    static fs::path dir_;
    static fs::path previous_;
    static std::string messages_;
    static std::unique_ptr<LinkSchedule> schedule_;
};

fs::path Sim160gTest::dir_;
fs::path Sim160gTest::previous_;
std::string Sim160gTest::messages_;
std::unique_ptr<LinkSchedule> Sim160gTest::schedule_;

// Bin centres of the spectral grid [THz] and their angular offsets from the
// band centre [rad/ps].
double bin_frequency(int j) {
    const double lo = 185.80887;
    const double hi = 201.42307;
    return lo + (j + 0.5) * (hi - lo) / 1024.0;
}

TEST_F(Sim160gTest, DelayProfilesFollowTheDispersion) {
    EXPECT_EQ(messages_.find("Nodrix-E-"), std::string::npos) << messages_;
    const auto records = read_delay_file(file("x1_sim_160g.dly"));
    ASSERT_EQ(records.size(), 18u);
    const double fc = 193.61597;
    // Span: beta2 L w + beta3 L w^2 / 2 around its mean over the simulated band;
    // grating: its own beta2 L w.
    struct Fibre {
        std::size_t record;
        double beta2_l, beta3_l;
    };
    for (const Fibre& f : {Fibre{0, -20.2205 * 120.0, 0.147459 * 120.0}, Fibre{1, 2448.86 * 1.0, 0.0}}) {
        SCOPED_TRACE(records[f.record].instance);
        std::vector<double> model;
        std::vector<double> got;
        for (int j = 102; j <= 922; ++j) {
            const double w = 2.0 * M_PI * (bin_frequency(j) - fc);
            model.push_back(f.beta2_l * w + f.beta3_l * w * w / 2.0);
            got.push_back(records[f.record].gd[static_cast<std::size_t>(j)]);
        }
        const double mean_model = std::accumulate(model.begin(), model.end(), 0.0) / model.size();
        const double mean_got = std::accumulate(got.begin(), got.end(), 0.0) / got.size();
        const double span = std::abs(model.front() - model.back());
        for (std::size_t k = 0; k < model.size(); ++k)
            EXPECT_NEAR(got[k] - mean_got, model[k] - mean_model, 1e-3 * span + 0.05) << k;
    }
    // The span and the grating together: the grating compensates the span's
    // beta2 up to the residual beta2 L + beta2' L' and leaves the span's beta3.
    const double residual_beta2 = -20.2205 * 120.0 + 2448.86;
    const double beta3_l = 0.147459 * 120.0;
    std::vector<double> sum;
    std::vector<double> residual;
    for (int j = 102; j <= 922; ++j) {
        const double w = 2.0 * M_PI * (bin_frequency(j) - fc);
        sum.push_back(records[0].gd[static_cast<std::size_t>(j)] + records[1].gd[static_cast<std::size_t>(j)]);
        residual.push_back(residual_beta2 * w + beta3_l * w * w / 2.0);
    }
    const double mean_sum = std::accumulate(sum.begin(), sum.end(), 0.0) / sum.size();
    const double mean_res = std::accumulate(residual.begin(), residual.end(), 0.0) / residual.size();
    const double span_spread = std::abs(records[0].gd[102] - records[0].gd[922]);
    for (std::size_t k = 0; k < sum.size(); ++k)
        EXPECT_NEAR(sum[k] - mean_sum, residual[k] - mean_res, 1e-3 * span_spread) << k;
}

TEST_F(Sim160gTest, DemultiplexerDelaysAreFlatInTheirPassBands) {
    const auto records = read_delay_file(file("x1_sim_160g.dly"));
    ASSERT_EQ(records.size(), 18u);
    for (std::size_t k = 2; k < records.size(); ++k) {
        const std::int32_t instance = records[k].instance;
        SCOPED_TRACE(instance);
        const double fc = schedule_->link().find(instance)->settings.real("centre_frequency_thz");
        // Bins lying wholly in the pass band |f - fc| < e_i = 0.016 THz.
        const double half_bin = (201.42307 - 185.80887) / 1024.0 / 2.0;
        std::vector<float> pass;
        for (int j = 0; j < 1024; ++j)
            if (std::abs(bin_frequency(j) - fc) + half_bin < 0.016)
                pass.push_back(records[k].gd[static_cast<std::size_t>(j)]);
        ASSERT_GE(pass.size(), 1u);
        const auto [lo, hi] = std::minmax_element(pass.begin(), pass.end());
        EXPECT_LT(*hi - *lo, 1.0f);  // ps
        // Half the FFT length of the run-time blocks at least: N = 16384 taps of 0.064 ps.
        EXPECT_GT(*lo, 0.5f * 8192 * 0.0640443f);
    }
}

}  // namespace
}  // namespace nodrix
