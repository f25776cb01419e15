// The FFT plan store, the split transforms, the lanes and the run history.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <array>
#include <atomic>
#include <chrono>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "kernel/control_blocks.h"
#include "kernel/storage.h"
#include "kernel/history.h"
#include "runtime/wisdom.h"
#include "tests/support/test_support.h"

namespace nodrix {
namespace {

class PlanStoreTest : public testing::NodrixTest {
protected:
    void TearDown() override {
        opxplandestroy();
        unsetenv("BNLIB");
        testing::NodrixTest::TearDown();
    }
};

TEST_F(PlanStoreTest, WisdomIsReadOnlyFromAValidFileInBnlib) {
    unsetenv("BNLIB");
    pplan.wisdom = 7;
    opxplancreate();
    EXPECT_EQ(pplan.wisdom, 0);
    for (int n = 1; n <= kMaxPlanExponent; ++n) EXPECT_EQ(pplan.forward[n], nullptr);
    opxplandestroy();  // nothing created: nothing to do
    setenv("BNLIB", dir_.c_str(), 1);
    ::testing::internal::CaptureStderr();
    opxplancreate();  // no wisdom file: silent
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(pplan.wisdom, 0);
    // Wisdom exported with FFTW's own call is imported; anything else is not.
    fftw_plan p = fftw_create_plan(64, FFTW_FORWARD, FFTW_MEASURE | FFTW_USE_WISDOM);
    std::FILE* f = std::fopen("opwis.pln", "w");
    fftw_export_wisdom_to_file(f);
    std::fclose(f);
    fftw_destroy_plan(p);
    fftw_forget_wisdom();
    opxplancreate();
    EXPECT_EQ(pplan.wisdom, 1);
    testing::write_text("opwis.pln", "(not wisdom at all");
    fftw_forget_wisdom();
    opxplancreate();
    EXPECT_EQ(pplan.wisdom, 0);
    fftw_forget_wisdom();
}

TEST_F(PlanStoreTest, PlansOfOneDirectionAreMadeAlone) {
    create_plans(3);
    ASSERT_NE(pplan.forward[3], nullptr);
    ASSERT_NE(pplan.backward[3], nullptr);
    EXPECT_EQ(forward_plan(15), nullptr);
    EXPECT_EQ(backward_plan(0), nullptr);
    opxplandestroy();
    reset_fft_usage();
    // A slot filled by hand counts as present; the other direction stays empty.
    pplan.forward[2] = fftw_create_plan(4, FFTW_FORWARD, FFTW_ESTIMATE);
    EXPECT_EQ(forward_plan(2), pplan.forward[2]);
    EXPECT_EQ(pplan.backward[2], nullptr);
    EXPECT_EQ(fft_usage().plans_created, 0);
    ASSERT_NE(backward_plan(1), nullptr);  // measured: length 2 is quick
    EXPECT_EQ(pplan.forward[1], nullptr);
    EXPECT_EQ(fft_usage().plans_created, 1);
    opxplandestroy();  // both lone plans go
    EXPECT_EQ(pplan.forward[2], nullptr);
    EXPECT_EQ(pplan.backward[1], nullptr);
}

class SplitTransformTest : public testing::NodrixTest {
protected:
    void SetUp() override {
        testing::NodrixTest::SetUp();
        opxplancreate();
        // Estimated plans in the store's slots: measuring them takes seconds each.
        for (std::size_t n = 1; n <= kMaxPlanExponent; ++n) {
            if (pplan.forward[n] == nullptr) pplan.forward[n] = fftw_create_plan(1 << n, FFTW_FORWARD, FFTW_ESTIMATE);
            if (pplan.backward[n] == nullptr) pplan.backward[n] = fftw_create_plan(1 << n, FFTW_BACKWARD, FFTW_ESTIMATE);
        }
    }
    void TearDown() override {
        set_lane_threads(0);
        fft_timing(false);
        opxplandestroy();
        testing::NodrixTest::TearDown();
    }
};

std::vector<fftw_complex> random_signal(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> g(0.0, 1.0);
    std::vector<fftw_complex> v(n);
    for (auto& c : v) c = fftw_complex{g(rng), g(rng)};
    return v;
}

// The transform by its definition, summed in long double with exact angles.
std::vector<std::complex<long double>> direct_dft(const std::vector<fftw_complex>& x, int direction) {
    const std::size_t n = x.size();
    const long double two_pi = 6.283185307179586476925286766559L;
    std::vector<std::complex<long double>> turn(n);  // exp(direction i 2 pi r / n)
    for (std::size_t r = 0; r < n; ++r)
        turn[r] = std::polar(1.0L, static_cast<long double>(direction) * two_pi * static_cast<long double>(r) /
                                       static_cast<long double>(n));
    std::vector<std::complex<long double>> out(n);
    for (std::size_t k = 0; k < n; ++k) {
        std::complex<long double> sum = 0.0L;
        for (std::size_t j = 0; j < n; ++j) sum += std::complex<long double>(x[j].re, x[j].im) * turn[(j * k) % n];
        out[k] = sum;
    }
    return out;
}

// Largest |a - b| relative to the root mean square of b.
template <class B>
double relative_error(const std::vector<fftw_complex>& a, const B& b) {
    long double worst = 0.0L;
    long double power = 0.0L;
    for (std::size_t k = 0; k < b.size(); ++k) {
        const std::complex<long double> bk(b[k].real(), b[k].imag());
        worst = std::max(worst, std::abs(std::complex<long double>(a[k].re, a[k].im) - bk));
        power += std::norm(bk);
    }
    return static_cast<double>(worst / std::sqrt(power / static_cast<long double>(b.size())));
}

TEST_F(SplitTransformTest, MatchesTheDefinitionAndTheUnsplitTransformInBothDirections) {
    for (const int n : {1, 2, 3, 5, 8, 11, 12}) {
        for (const int direction : {FFTW_FORWARD, FFTW_BACKWARD}) {
            SCOPED_TRACE(::testing::Message() << "n " << n << " direction " << direction);
            const std::size_t length = std::size_t{1} << n;
            const auto x = random_signal(length, static_cast<unsigned>(n));
            std::vector<fftw_complex> split(length);
            fft_execute(n, direction, x.data(), split.data());
            EXPECT_LT(relative_error(split, direct_dft(x, direction)), 1e-14);
            // FFTW's own transform of the full length, through the store's plan.
            std::vector<fftw_complex> in = x;
            std::vector<fftw_complex> whole(length);
            fftw_one(direction == FFTW_FORWARD ? forward_plan(n) : backward_plan(n), in.data(), whole.data());
            std::vector<std::complex<double>> reference(length);
            for (std::size_t k = 0; k < length; ++k) reference[k] = {whole[k].re, whole[k].im};
            EXPECT_LT(relative_error(split, reference), 1e-14);
        }
    }
}

TEST_F(SplitTransformTest, InPlaceAndOnOneThreadGiveTheSameBits) {
    for (const int n : {4, 12, 13}) {
        SCOPED_TRACE(n);
        const std::size_t length = std::size_t{1} << n;
        const auto x = random_signal(length, 3u);
        set_lane_threads(2);
        std::vector<fftw_complex> two(length);
        fft_execute(n, FFTW_BACKWARD, x.data(), two.data());
        set_lane_threads(1);
        std::vector<fftw_complex> one(length);
        fft_execute(n, FFTW_BACKWARD, x.data(), one.data());
        std::vector<fftw_complex> in_place = x;
        fft_execute(n, FFTW_BACKWARD, in_place.data(), in_place.data());
        EXPECT_EQ(std::memcmp(two.data(), one.data(), length * sizeof(fftw_complex)), 0);
        EXPECT_EQ(std::memcmp(in_place.data(), one.data(), length * sizeof(fftw_complex)), 0);
    }
    // Lengths without a slot are left alone.
    fftw_complex untouched[2] = {{1.0, 2.0}, {3.0, 4.0}};
    fft_execute(0, FFTW_FORWARD, untouched, untouched);
    fft_execute(15, FFTW_FORWARD, untouched, untouched);
    EXPECT_EQ(untouched[1].im, 4.0);
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
            ASSERT_EQ(runs[0], 1);
            ASSERT_EQ(runs[1], 1);
            ASSERT_EQ(where[0], caller);
            if (threads == 1) {
                ASSERT_EQ(where[1], caller);
                ASSERT_LT(position[0], position[1]);
            }
        }
        std::vector<int> seen;  // not concurrent: both on the calling thread, lane 0 first
        auto body = [&seen](int lane) { seen.push_back(lane); };
        run_lanes(body, false);
        EXPECT_EQ(seen, (std::vector<int>{0, 1}));
    }
}

TEST_F(LaneTest, TheHelperTakesLaneOneAndSleepsBetweenTasks) {
    set_lane_threads(2);
    int on_helper = 0;
    for (int i = 0; i < 20; ++i) {
        std::thread::id where;
        int lane1 = 0;
        auto body = [&](int lane) {
            if (lane == 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));  // lane 1 left to the helper
            } else {
                where = std::this_thread::get_id();
                lane1 = 42;
            }
        };
        run_lanes(body, true);
        EXPECT_EQ(lane1, 42);  // its writes are seen after the return
        on_helper += where != std::this_thread::get_id();
        std::this_thread::sleep_for(std::chrono::milliseconds(3));  // the helper stops spinning
    }
    EXPECT_GT(on_helper, 0);
    // An idle helper sleeps: the process uses (nearly) no processor time meanwhile.
    auto cpu = [] {
        rusage u{};
        getrusage(RUSAGE_SELF, &u);
        return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
               1e-6 * static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
    };
    auto nothing = [](int) {};
    run_lanes(nothing, true);
    const double before = cpu();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_LT(cpu() - before, 0.05);
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
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the helper goes to sleep
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

TEST_F(LaneTest, NodrixThreadsOneKeepsEverythingOnTheCallingThread) {
    setenv("NODRIX_THREADS", "1", 1);
    set_lane_threads(0);  // back to the environment's choice, read again
    EXPECT_EQ(lane_threads(), 1);
    const std::thread::id caller = std::this_thread::get_id();
    std::thread::id where;
    auto body = [&where](int lane) {
        if (lane == 1) where = std::this_thread::get_id();
    };
    run_lanes(body, true);
    EXPECT_EQ(where, caller);
    setenv("NODRIX_THREADS", "2", 1);
    set_lane_threads(0);
    EXPECT_EQ(lane_threads(), std::thread::hardware_concurrency() == 1 ? 1 : 2);
}

// A value that is no positive whole number, or more threads than the lanes
// use, is said, and the default (or the most) holds.
TEST_F(LaneTest, NodrixThreadsThatCannotBeHonouredAreWarnedAbout) {
    const int most = std::thread::hardware_concurrency() == 1 ? 1 : 2;
    const std::string no_number = " is not a positive whole number of threads: the transforms use " +
                                  std::to_string(most) + "\n";
    const std::pair<const char*, std::string> cases[] = {
        {"0", "Nodrix-W-NODRIX_THREADS=\"0\"" + no_number},
        {"-1", "Nodrix-W-NODRIX_THREADS=\"-1\"" + no_number},
        {"two", "Nodrix-W-NODRIX_THREADS=\"two\"" + no_number},
        {"1.5", "Nodrix-W-NODRIX_THREADS=\"1.5\"" + no_number},
        {"", "Nodrix-W-NODRIX_THREADS=\"\"" + no_number},
        {"1000", "Nodrix-W-NODRIX_THREADS=\"1000\": the transforms use at most " + std::to_string(most) +
                     " threads on this machine\n"},
        {" 1 ", ""},
    };
    for (const auto& [value, warning] : cases) {
        SCOPED_TRACE(value);
        setenv("NODRIX_THREADS", value, 1);
        ::testing::internal::CaptureStderr();
        set_lane_threads(0);  // read again
        const int threads = lane_threads();
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), warning);
        EXPECT_EQ(threads, std::string(value) == " 1 " ? 1 : most);
    }
    unsetenv("NODRIX_THREADS");
    set_lane_threads(0);
}

class HistoryTest : public testing::NodrixTest {
protected:
    void TearDown() override {
        opxhistoryend();
        testing::NodrixTest::TearDown();
    }
};

TEST_F(HistoryTest, SavesAndRestoresCursorsIncludingTheExtraEntry) {
    using Cursors = std::array<std::int32_t, 6>;
    auto cursors = [] {
        Cursors c;
        zzsupvget(c[0], c[1], c[2], c[3], c[4], c[5]);
        return c;
    };
    opxhistoryinit(1, 132);
    zzsupvset(10, 20, 30, 40, 50, 60);
    opxhistorysave(133);  // id last + 1: the state after the last block
    zzsupvset(1, 1, 1, 1, 1, 1);
    opxhistorysave(1);
    zzsupvset(0, 0, 0, 0, 0, 0);
    opxhistoryset(133);
    EXPECT_EQ(cursors(), (Cursors{10, 20, 30, 40, 50, 60}));
    opxhistoryset(1);
    EXPECT_EQ(cursors(), (Cursors{1, 1, 1, 1, 1, 1}));
    opxhistoryset(500);  // outside the tables: no effect
    EXPECT_EQ(cursors(), (Cursors{1, 1, 1, 1, 1, 1}));
    std::int32_t kept[6] = {};  // peeking reads an entry without making it current
    EXPECT_TRUE(opxhistorypeek(133, kept));
    EXPECT_EQ(std::to_array(kept), (Cursors{10, 20, 30, 40, 50, 60}));
    EXPECT_EQ(cursors(), (Cursors{1, 1, 1, 1, 1, 1}));
    EXPECT_FALSE(opxhistorypeek(0, kept));
    EXPECT_FALSE(opxhistorypeek(134, kept));
}

}  // namespace
}  // namespace nodrix
