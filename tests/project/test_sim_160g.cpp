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
#include "project/parameters.h"
#include "project/sim_160g.h"
#include "project/topology.h"
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

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

// One run of the program on the project, in the test's directory. The whole
// set-up of the link runs once per test suite and its files are kept.
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
        set_project(sim_160g_project());
        std::vector<std::string> words{"sim_160G", "-verbose"};
        std::vector<char*> argv;
        for (auto& w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        ::testing::internal::CaptureStderr();
        status_ = op_main(static_cast<int>(words.size()), argv.data());
        messages_ = ::testing::internal::GetCapturedStderr();
        fs::current_path(previous_);
    }
    static void TearDownTestSuite() {
        xu_MsgReset();
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    static std::string file(const std::string& name) { return (dir_ / name).string(); }

    static fs::path dir_;
    static fs::path previous_;
    static int status_;
    static std::string messages_;
};

fs::path Sim160gTest::dir_;
fs::path Sim160gTest::previous_;
int Sim160gTest::status_ = -1;
std::string Sim160gTest::messages_;

TEST_F(Sim160gTest, RunEndsWithoutErrors) {
    // The fibres' step filters need more double complex storage than the
    // default capacities: the limits file and status 3.
    EXPECT_EQ(status_, 3) << messages_;
    EXPECT_EQ(messages_.find("Nodrix-E-"), std::string::npos) << messages_;
    const auto records = lines_of(testing::read_text(file("x0_sim_160g.hst")));
    ASSERT_EQ(records.size(), 9u);
    const char* keys[] = {"MAXH", "MAXI", "MAXD", "MAXC", "MAXHT", "MAXIT", "MAXCT", "MAXZ", "MAXZD"};
    for (std::size_t k = 0; k < 9; ++k) {
        ASSERT_EQ(records[k].size(), 21u);
        EXPECT_EQ(records[k].substr(0, 10), std::string(keys[k]) + std::string(10 - std::strlen(keys[k]), ' '));
        EXPECT_GE(std::stol(records[k].substr(10)), 2);
    }
    EXPECT_GT(std::stol(records[8].substr(10)), kDefaultCapacities.zd);
}

TEST_F(Sim160gTest, MemoryMapHoldsEveryBlockInScheduleOrder) {
    const auto lines = lines_of(testing::read_text(file("x1_sim_160g.mem")));
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "NodrixMEM 1");
    EXPECT_EQ(lines[1], "##");
    std::vector<std::int32_t> memory_order;
    std::map<std::int32_t, std::string> signal_after;  // the signal line that follows a memory line
    std::int32_t last = 0;
    for (std::size_t k = 2; k < lines.size(); ++k) {
        const std::string& l = lines[k];
        if (l.rfind("memory ", 0) == 0) {
            std::istringstream in(l.substr(7));
            in >> last;
            memory_order.push_back(last);
            // The storage is right-justified in 20 columns after one blank.
            const std::string number = std::to_string(last);
            EXPECT_EQ(l.size(), 7 + number.size() + 1 + 20) << l;
        } else if (l.rfind("signal ", 0) == 0) {
            signal_after[last] = l.substr(7, 4);
            EXPECT_EQ(l.size(), 7u + 4 + 1 + 20) << l;
            EXPECT_EQ(l.back(), '1') << "every signal of the link carries light in band: " << l;
        }
    }
    const auto order = sim160g::schedule();
    ASSERT_EQ(memory_order.size(), 132u);
    for (std::size_t k = 0; k < order.size(); ++k) EXPECT_EQ(memory_order[k], order[k].instance) << k;
    // Signal lines: a block's own optical output, or the input of the blocks
    // that only observe light; none for the electrical and logical blocks.
    EXPECT_EQ(signal_after[66], "0066");
    EXPECT_EQ(signal_after[67], "0067");
    EXPECT_EQ(signal_after[69], "0069");
    EXPECT_EQ(signal_after[71], "0070");
    EXPECT_EQ(signal_after[72], "0070");
    EXPECT_EQ(signal_after[73], "0071");
    EXPECT_EQ(signal_after[74], "0072");
    EXPECT_EQ(signal_after[92], "0073");
    EXPECT_EQ(signal_after[94], "0074");
    EXPECT_EQ(signal_after[77], "0075");
    EXPECT_EQ(signal_after[78], "0075");
    EXPECT_EQ(signal_after[129], "0120");
    for (std::int32_t none : {64, 65, 79, 110, 111, 118, 125, 132}) EXPECT_EQ(signal_after.count(none), 0u) << none;
    // 16 lasers, 16 modulators, 5 combiners, 3 amplifiers, 2 fibres, 16
    // filters; 16 photodiodes, 3 power meters, 2 spectrum analysers.
    EXPECT_EQ(signal_after.size(), 58u + 21u);
}

TEST_F(Sim160gTest, DelayFileHoldsTheFibresAndTheFilters) {
    const auto records = read_delay_file(file("x1_sim_160g.dly"));
    EXPECT_EQ(testing::read_bytes(file("x1_sim_160g.dly")).size(), 18u * 4100);
    const std::vector<std::int32_t> want{73, 74, 77, 80, 83, 86, 89, 95, 98, 101, 104, 107, 112, 115, 119, 122, 126, 129};
    ASSERT_EQ(records.size(), want.size());
    for (std::size_t k = 0; k < want.size(); ++k) EXPECT_EQ(records[k].instance, want[k]);
}

// Bin centres of the spectral grid [THz] and their angular offsets from the
// band centre [rad/ps].
double bin_frequency(int j) {
    const double lo = 185.80887;
    const double hi = 201.42307;
    return lo + (j + 0.5) * (hi - lo) / 1024.0;
}

TEST_F(Sim160gTest, DelayProfilesFollowTheDispersion) {
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
        const double fc = 192.35 + 0.1 * (sim160g::demultiplexer_channel(instance) - 1);
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

TEST_F(Sim160gTest, WorkingFilesOfTheSetUp) {
    // The fibres' dimensioning pass works on scratch files and its report level
    // is 0: nothing of the fibres is left in the directory.
    for (const char* prefix : {"om", "o1", "o4", "o7", "os"})
        for (const char* number : {"000073", "000074"})
            EXPECT_FALSE(fs::exists(file(std::string(prefix) + number + ".DAT"))) << prefix << number;
}

TEST_F(Sim160gTest, VerboseShowsInformationLines) {
    EXPECT_NE(messages_.find("Nodrix-I-Dimensioning pass 1 of project sim_160G\n"), std::string::npos) << messages_;
    EXPECT_NE(messages_.find("Nodrix-I-Storage counted: H "), std::string::npos) << messages_;
}

// One run of the program on the project in a temporary directory, kept
// while the object lives.
struct OneRun {
    explicit OneRun(std::vector<std::string> words) {
        previous = fs::current_path();
        char templ[] = "/tmp/nodrix-sim160g-run-XXXXXX";
        dir = ::mkdtemp(templ);
        fs::current_path(dir);
        reset_control_blocks();
        reset_kernel_errors();
        xu_MsgReset();
        set_project(sim_160g_project());
        words.insert(words.begin(), "sim_160G");
        std::vector<char*> argv;
        for (auto& w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        ::testing::internal::CaptureStderr();
        status = op_main(static_cast<int>(words.size()), argv.data());
        messages = ::testing::internal::GetCapturedStderr();
    }
    ~OneRun() {
        xu_MsgReset();
        fs::current_path(previous);
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    fs::path previous, dir;
    int status = -1;
    std::string messages;
};

TEST(Sim160gPrerun, StopsAfterTheDimensioningPass) {
    const OneRun r({"-prerun"});
    EXPECT_EQ(r.status, 0) << r.messages;
    EXPECT_TRUE(fs::exists("x1_sim_160g.mem"));
    EXPECT_FALSE(fs::exists("x0_sim_160g.hst"));  // the limits are not compared
    EXPECT_EQ(lines_of(testing::read_text("x1_sim_160g.mem")).size(), 2u + 132u + 79u + 13u);
}

TEST(Sim160gWindow, StorageCountsBeyondThe32BitPositionsAreAnError) {
    // The fibres' buffers for 3e11 ps of light would need more integers than
    // 32-bit positions reach: an error, no limits file and no run.
    const OneRun r({"-window", "3e11"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.messages, "Nodrix-E-The kernel storage of kind I would need more than 2147483646 elements\n");
    EXPECT_FALSE(fs::exists("x0_sim_160g.hst"));
}

}  // namespace
}  // namespace nodrix
