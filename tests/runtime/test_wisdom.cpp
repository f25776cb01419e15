// The FFT plan store, the lanes and the run history.
#include <gtest/gtest.h>

#include <fftw3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <complex>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "runtime/wisdom.h"
#include "tests/support/test_support.h"
#include "xu/xu_msg.h"
#include "xu/xu_string.h"

namespace nodrix {
namespace {

class PlanStoreTest : public testing::NodrixTest {
protected:
    void TearDown() override {
        opxplandestroy();
        unsetenv("BNLIB");
        unsetenv("NODRIX_FFT_PLANS");
        reset_plan_rigor();
        testing::NodrixTest::TearDown();
    }
};

// What the wisdom file of BNLIB gives: the messages, and the flag.
std::pair<std::string, std::int32_t> import_result() {
    ::testing::internal::CaptureStderr();
    opxplancreate();
    const std::string messages = ::testing::internal::GetCapturedStderr();
    return {messages, aligned_plans().wisdom};
}

TEST_F(PlanStoreTest, OnlyWisdomOfThisFftwIsUsedAndAnyOtherFileIsReported) {
    unsetenv("BNLIB");
    EXPECT_EQ(import_result(), std::pair(std::string(), 0));
    const std::string path = (dir_ / "opwis.pln").string();
    const std::string head = "Nodrix-W-FFT plan wisdom file " + path + " is not used\n     ";
    // BNLIB set, but naming no directory, or one without the file.
    const std::string none = (dir_ / "none").string();
    setenv("BNLIB", none.c_str(), 1);
    EXPECT_EQ(import_result(), std::pair("Nodrix-W-FFT plan wisdom file " + none + "/opwis.pln is not used\n" +
                                             "     BNLIB=\"" + none + "\" names no directory\n", 0));
    setenv("BNLIB", dir_.c_str(), 1);
    EXPECT_EQ(import_result(), std::pair(head + "there is no such file\n", 0));

    forget_wisdom();
    ASSERT_TRUE(learn_plans(3));
    const std::string file = wisdom_file_text();
    const std::size_t line_end = file.find('\n') + 1;
    const std::string wisdom = file.substr(line_end);  // FFTW's own text
    ASSERT_EQ(file.substr(0, line_end), "nodrix-wisdom fnv1a64 " + fnv1a_hex(wisdom) + "\n");
    std::string release = fftw_version;
    release = release.substr(0, release.find('-', 5));  // "fftw-3.3.10"
    ASSERT_EQ(wisdom.rfind("(" + release + " fftw_wisdom", 0), 0u);
    std::string older = wisdom;
    older.replace(1, release.size(), "fftw-3.0.1");
    // One hexadecimal digit of a plan's entry changed: FFTW alone would pass the plan over without a word.
    std::string digit = file;
    const std::size_t at = digit.rfind("#x") + 2;
    digit[at] = digit[at] == '0' ? '1' : '0';

    const std::string not_wisdom = head + "it is not wisdom of FFTW 3 in double precision\n";
    const std::string rejected = head + "FFTW rejects it: it is damaged, or made by another build of " + release + "\n";
    const std::string damaged = head + "it is damaged: its content does not match its checksum\n";
    struct Case { const char* what; std::string text; std::int32_t flag; std::string messages; };
    const Case cases[] = {
        {"as nodrix-wisdom writes it", file, 1, ""},
        {"FFTW's own export, written before the checksum", wisdom, 1, ""},
        {"a digit changed", digit, 0, damaged},
        {"its checksum line cut", file.substr(0, 30), 0, head + "it is damaged: its checksum line is not whole\n"},
        {"not wisdom", "(not wisdom at all", 0, not_wisdom},
        {"empty", "", 0, not_wisdom},
        {"FFTW 2 wisdom", "(FFTW-2.1.5 (8 529 -1 0 1 1 1 1 0) (4 529 -1 0 1 1 1 1 0))\n", 0, not_wisdom},
        {"single precision", "(" + release + " fftwf_wisdom #x0 #x0 #x0 #x0\n)\n", 0, not_wisdom},
        {"another FFTW", older, 0, head + "it was made by fftw-3.0.1, this program uses " + release + "\n"},
        {"cut short", wisdom.substr(0, wisdom.size() / 2), 0, rejected},
        {"a stray byte", wisdom.substr(0, 30) + '\0' + wisdom.substr(30), 0, rejected},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testing::write_text("opwis.pln", c.text);
        forget_wisdom();
        EXPECT_EQ(import_result(), std::pair(c.messages, c.flag));
        // A rejected file leaves nothing behind: the plans of length 8 are not known.
        EXPECT_EQ(testing::wisdom_holds(8), c.flag == 1);
    }
    // Something of that name that is not a file: read as none (a pipe would never end).
    for (const bool pipe : {false, true}) {
        std::filesystem::remove("opwis.pln");
        if (pipe) ASSERT_EQ(::mkfifo("opwis.pln", 0644), 0);
        else std::filesystem::create_directory("opwis.pln");
        EXPECT_EQ(import_result(), std::pair(head + "it is not a regular file\n", 0));
    }
    forget_wisdom();
}

// The verbose output says where the plans of a run come from, and which came
// from where: the lengths the wisdom file lacks are measured.
TEST_F(PlanStoreTest, TheVerboseOutputSaysWhereThePlansCameFrom) {
    xu_MsgGetMessage(nullptr)->shown |= kMsgInfo;
    forget_wisdom();
    ASSERT_TRUE(learn_plans(3));
    const std::string text = wisdom_file_text();
    testing::write_text("opwis.pln", text.substr(text.find('\n') + 1));  // as written before the checksum
    forget_wisdom();
    setenv("BNLIB", dir_.c_str(), 1);
    const std::string path = (dir_ / "opwis.pln").string();
    ::testing::internal::CaptureStderr();
    opxplancreate();
    for (const int n : {3, 4}) create_plans(n);
    opxplandestroy();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Nodrix-I-FFT plans: from the wisdom file " + path + " where it holds them, else measured\n"
              "Nodrix-I-The wisdom file " + path + " carries no checksum: damage to it cannot be found (nodrix-wisdom "
              "writes it anew with one)\nNodrix-I-FFT plans used: 2 from the wisdom file, 2 measured (length 16)\n");
    forget_wisdom();
}

// The transform by its definition, summed in long double with exact angles.
std::vector<std::complex<long double>> direct_dft(const Complex* x, std::size_t n, int direction) {
    const long double two_pi = 6.283185307179586476925286766559L;
    std::vector<std::complex<long double>> out(n);
    for (std::size_t k = 0; k < n; ++k) {
        std::complex<long double> sum = 0.0L;
        for (std::size_t j = 0; j < n; ++j)
            sum += std::complex<long double>(x[j]) *
                   std::polar(1.0L, direction * two_pi * static_cast<long double>((j * k) % n) / n);
        out[k] = sum;
    }
    return out;
}

// Largest |a - b| relative to the root mean square of b.
double relative_error(const Complex* a, const std::vector<std::complex<long double>>& b) {
    long double worst = 0.0L;
    long double power = 0.0L;
    for (std::size_t k = 0; k < b.size(); ++k) {
        worst = std::max(worst, std::abs(std::complex<long double>(a[k]) - b[k]));
        power += std::norm(b[k]);
    }
    return static_cast<double>(worst / std::sqrt(power / static_cast<long double>(b.size())));
}

TEST_F(PlanStoreTest, PlansFitTheirArraysWhateverTheirPlacementAndAlignment) {
    set_plan_rigor(PlanRigor::estimate);
    forward_plan(3);
    ASSERT_NE(aligned_plans().forward[3], nullptr);
    EXPECT_EQ(aligned_plans().backward[3], nullptr);  // only the direction asked for
    EXPECT_EQ(forward_plan(15), nullptr);
    EXPECT_EQ(backward_plan(0), nullptr);
    EXPECT_FALSE(fft_plan(0, FFTW_FORWARD, nullptr, nullptr));

    // Arrays on FFTW's alignment, in place, and shifted by one double (the
    // alignment a double complex array may have); lengths of powers of two
    // and not, in both directions.
    std::mt19937 rng(3);
    std::normal_distribution<double> g(0.0, 1.0);
    std::vector<double> storage(2 * 2 * 1000 + 8);
    double* base = storage.data() + (fftw_alignment_of(storage.data()) == 0 ? 0 : 1);
    ASSERT_EQ(fftw_alignment_of(base), 0);
    Complex* aligned = reinterpret_cast<Complex*>(base);
    Complex* shifted = reinterpret_cast<Complex*>(base + 1);
    ASSERT_NE(fftw_alignment_of(base + 1), 0);
    for (const std::int32_t length : {8, 1000}) {
        for (const int direction : {FFTW_FORWARD, FFTW_BACKWARD}) {
            SCOPED_TRACE(::testing::Message() << length << " " << direction);
            struct Arrays { Complex* in; Complex* out; };
            for (const Arrays a : {Arrays{aligned, aligned + length}, Arrays{aligned, aligned}, Arrays{shifted, shifted + length},
                                   Arrays{shifted, aligned + length + 1}}) {
                for (std::int32_t j = 0; j < length; ++j) a.in[j] = Complex(g(rng), g(rng));
                const std::vector<Complex> x(a.in, a.in + length);
                const auto expected = direct_dft(x.data(), x.size(), direction);
                const FftPlan plan = fft_plan(length, direction, a.in, a.out);
                ASSERT_TRUE(plan);
                const std::int32_t made = fft_usage().plans_created;
                EXPECT_EQ(fft_plan(length, direction, a.in, a.out).plan, plan.plan);  // made once
                EXPECT_EQ(fft_usage().plans_created, made);
                fft_run(plan, a.in, a.out);
                EXPECT_LT(relative_error(a.out, expected), 1e-14);
                EXPECT_TRUE(a.in == a.out || std::memcmp(a.in, x.data(), x.size() * sizeof(Complex)) == 0);
            }
        }
    }
    // The aligned out-of-place plans of powers of two are pplan's.
    EXPECT_EQ(fft_plan(8, FFTW_BACKWARD, aligned, aligned + 8).plan, aligned_plans().backward[3]);
    EXPECT_NE(fft_plan(8, FFTW_BACKWARD, shifted, shifted + 8).plan, aligned_plans().backward[3]);
    opxplandestroy();
    EXPECT_EQ(aligned_plans().forward[3], nullptr);
    EXPECT_EQ(aligned_plans().backward[3], nullptr);
}

TEST_F(PlanStoreTest, TheEnvironmentChoosesHowPlansAreMade) {
    struct Case { const char* value; PlanRigor rigor; const char* messages; };
    const Case cases[] = {
        {nullptr, PlanRigor::measure, ""},
        {"measure", PlanRigor::measure, ""},
        {"estimate", PlanRigor::estimate, ""},
        {"Estimate", PlanRigor::measure,
         "Nodrix-W-NODRIX_FFT_PLANS=Estimate is not known\n"
         "     the FFT plans are measured (the choices are measure and estimate)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value == nullptr ? "(unset)" : c.value);
        c.value == nullptr ? unsetenv("NODRIX_FFT_PLANS") : setenv("NODRIX_FFT_PLANS", c.value, 1);
        reset_plan_rigor();
        EXPECT_EQ(plan_rigor(), c.rigor);
        EXPECT_EQ(import_result().first, c.messages);
        set_plan_rigor(c.rigor == PlanRigor::measure ? PlanRigor::estimate : PlanRigor::measure);
        EXPECT_NE(plan_rigor(), c.rigor);  // an override wins
    }
}

class LaneTest : public testing::NodrixTest {
protected:
    void TearDown() override {
        set_lane_threads(0);
        stop_lanes();
        unsetenv("NODRIX_THREADS");
        testing::NodrixTest::TearDown();
    }
};

TEST_F(LaneTest, BothLanesRunOnceOnEitherThreadCount) {
    const std::thread::id caller = std::this_thread::get_id();
    for (const int threads : {1, 2}) {
        SCOPED_TRACE(threads);
        set_lane_threads(threads);
        EXPECT_EQ(lane_threads(), threads);
        for (int i = 0; i < 3000; ++i) {
            int runs[2] = {0, 0};
            int position[2] = {0, 0};
            std::thread::id where[2];
            std::atomic<int> sequence{0};
            auto body = [&](int lane) {
                ++runs[lane];
                where[lane] = std::this_thread::get_id();
                position[lane] = sequence.fetch_add(1);
            };
            run_lanes(body, true);
            ASSERT_EQ(std::tuple(runs[0], runs[1], where[0]), std::tuple(1, 1, caller));
            ASSERT_TRUE(threads == 2 || (where[1] == caller && position[0] < position[1]));  // one thread: in turn
        }
        std::vector<int> seen;  // not concurrent: both on the calling thread, lane 0 first
        auto body = [&seen](int lane) { seen.push_back(lane); };
        run_lanes(body, false);
        EXPECT_EQ(seen, (std::vector<int>{0, 1}));
    }
}

// The state letter of thread `tid` of this process in /proc: 'S' asleep in
// the kernel, 'R' running or ready (as a spinning thread is).
char thread_state(const std::string& tid) {
    std::ifstream stat("/proc/self/task/" + tid + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto name_end = line.rfind(')');
    return name_end != std::string::npos && name_end + 2 < line.size() ? line[name_end + 2] : '?';
}

// Waits until the helper, the process's other thread, sleeps. A helper that
// never sleeps holds the test until it times out.
void wait_until_the_helper_sleeps() {
    const std::string self = std::to_string(::gettid());
    for (;;) {
        for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
            const std::string tid = task.path().filename();
            if (tid != self && thread_state(tid) == 'S') return;
        }
        std::this_thread::yield();
    }
}

// Lane 1 goes to the helper; every other time it goes on only once the
// calling thread, its own lane done, sleeps in its wait (a wait that spins
// holds the test until it times out). Each lane transforms its half of the
// data: after the return both halves equal the transforms made on the
// calling thread alone.
TEST_F(LaneTest, TheHelperTakesLaneOneAndBothSidesSleepWhileTheyWait) {
    constexpr std::int32_t kLength = 2048;
    std::vector<Complex> in(2 * kLength);
    std::mt19937 rng(3);
    std::normal_distribution<double> noise;
    for (Complex& v : in) v = Complex(noise(rng), noise(rng));
    std::vector<Complex> alone(2 * kLength);
    std::vector<Complex> out(2 * kLength);
    const FftPlan plan = fft_plan(kLength, FFTW_FORWARD, in.data(), out.data());
    ASSERT_TRUE(plan);
    for (int lane = 0; lane < 2; ++lane) fft_run(plan, in.data() + lane * kLength, alone.data() + lane * kLength);
    const std::string caller = std::to_string(::gettid());
    set_lane_threads(2);
    for (int i = 0; i < 20; ++i) {
        std::thread::id where;
        std::fill(out.begin(), out.end(), Complex());
        std::atomic<bool> taken{false};
        auto body = [&](int lane) {
            if (lane == 0) {
                // The calling thread cannot take lane 1 while in lane 0: the helper must.
                while (!taken.load()) std::this_thread::yield();
            } else {
                where = std::this_thread::get_id();
                taken.store(true);
                while (i % 2 == 0 && thread_state(caller) != 'S') std::this_thread::yield();
            }
            fft_run(plan, in.data() + lane * kLength, out.data() + lane * kLength);
        };
        run_lanes(body, true);
        ASSERT_EQ(std::memcmp(out.data(), alone.data(), out.size() * sizeof(Complex)), 0);
        EXPECT_NE(where, std::this_thread::get_id());
        if (i % 2 == 1) wait_until_the_helper_sleeps();  // the next task wakes it
    }
}

TEST_F(LaneTest, LanesInsideALaneRunInTurnAndTheHelperRestarts) {
    set_lane_threads(2);
    std::atomic<int> inner{0};
    auto outer = [&inner](int) {
        auto body = [&inner](int) { inner.fetch_add(1); };
        run_lanes(body, true);
    };
    run_lanes(outer, true);
    EXPECT_EQ(inner.load(), 4);
    stop_lanes();
    int runs = 0;
    auto count = [&runs](int) { ++runs; };  // lanes in turn never overlap: a plain counter is safe
    set_lane_threads(1);
    run_lanes(count, true);
    set_lane_threads(2);
    std::atomic<int> again{0};
    auto count2 = [&again](int) { again.fetch_add(1); };
    run_lanes(count2, true);
    EXPECT_EQ(runs, 2);
    EXPECT_EQ(again.load(), 2);
}

// Series count together wherever they nest, the lanes inside them run as
// outside, and once the last series ends the helper sleeps again.
TEST_F(LaneTest, SeriesNestAndTheHelperSleepsAfterTheLast) {
    set_lane_threads(2);
    EXPECT_FALSE(lane_series_under_way());
    std::atomic<int> runs[2] = {0, 0};
    auto count = [&runs](int lane) { runs[lane].fetch_add(1); };
    {
        const LaneSeries outer;
        {
            const LaneSeries inner;
            for (int i = 0; i < 100; ++i) run_lanes(count, true);
        }
        EXPECT_TRUE(lane_series_under_way());
        for (int i = 0; i < 100; ++i) run_lanes(count, true);
    }
    EXPECT_FALSE(lane_series_under_way());
    EXPECT_EQ(runs[0].load(), 200);
    EXPECT_EQ(runs[1].load(), 200);
    wait_until_the_helper_sleeps();
}

TEST_F(LaneTest, AForkedProcessEndsWithoutWaitingForTheHelper) {
    // A child forked while the helper sleeps on its condition variable (as a
    // death test does) runs both lanes itself and exits normally: it has no
    // helper thread to stop or to wait for.
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the thread sanitizer's own runtime does not survive a fork of a threaded process";
#endif
    set_lane_threads(2);
    auto nothing = [](int) {};
    run_lanes(nothing, true);
    wait_until_the_helper_sleeps();
    EXPECT_EXIT(
        {
            int runs = 0;
            auto count = [&runs](int) { ++runs; };
            run_lanes(count, true);
            std::exit(runs == 2 ? 5 : 6);
        },
        ::testing::ExitedWithCode(5), "");
    std::atomic<int> runs{0};
    auto count = [&runs](int) { ++runs; };
    run_lanes(count, true);  // the parent's lanes still run, helper and all
    EXPECT_EQ(runs.load(), 2);
}

// NODRIX_THREADS=1 keeps lane 1 on the calling thread; a value that is no
// positive whole number, or more threads than the lanes use, is said, and the
// default (or the most) holds.
TEST_F(LaneTest, NodrixThreadsIsHonouredOrWarnedAbout) {
    const int most = std::thread::hardware_concurrency() == 1 ? 1 : 2;
    const std::string at_most = ": the transforms use at most " + std::to_string(most) + " threads on this machine\n";
    std::vector<std::pair<std::string, std::string>> cases = {
        {"1000", "Nodrix-W-NODRIX_THREADS=\"1000\"" + at_most}, {" 1 ", ""},
        {"2", most == 2 ? "" : "Nodrix-W-NODRIX_THREADS=\"2\"" + at_most}};
    for (const char* bad : {"0", "-1", "two", "1.5", ""})
        cases.push_back({bad, "Nodrix-W-NODRIX_THREADS=\"" + std::string(bad) +
                                  "\" is not a positive whole number of threads: the transforms use " +
                                  std::to_string(most) + "\n"});
    for (const auto& [value, warning] : cases) {
        SCOPED_TRACE(value);
        setenv("NODRIX_THREADS", value.c_str(), 1);
        ::testing::internal::CaptureStderr();
        set_lane_threads(0);  // read again
        const int threads = lane_threads();
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), warning);
        EXPECT_EQ(threads, value == " 1 " ? 1 : most);
        if (threads != 1) continue;
        std::thread::id where;
        auto body = [&where](int lane) { if (lane == 1) where = std::this_thread::get_id(); };
        run_lanes(body, true);
        EXPECT_EQ(where, std::this_thread::get_id());
    }
    unsetenv("NODRIX_THREADS");
    set_lane_threads(0);
}

}  // namespace
}  // namespace nodrix
