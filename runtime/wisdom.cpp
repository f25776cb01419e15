#include "runtime/wisdom.h"

#include <atomic>
#include <cerrno>
#include <cfenv>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#if defined(__unix__) || defined(__APPLE__)
#include <pthread.h>
#include <signal.h>
#include <unistd.h>
#endif

#include "runtime/opxfile.h"
#include "xu/xu_mem.h"

namespace nodrix {

PPlan pplan;

namespace {

using Clock = std::chrono::steady_clock;

std::string wisdom_path;

// Use counters, one set per thread (the calling thread, the helper) so that
// each thread writes only its own.
struct alignas(64) ThreadCounters {
    std::int64_t transforms = 0;
    double seconds = 0.0;
    double waited = 0.0;
};
ThreadCounters thread_counters[2];
std::atomic<bool> timing_on{false};
std::int32_t plans_made = 0;
double plan_time = 0.0;

// Twiddle tables w^j = exp(-2 pi i j / 2^n), j < 2^(n-1), and the scratch of
// the split transform of length 2^n (two halves).
std::array<fftw_complex*, kMaxPlanExponent + 1> twiddle_tables{};
std::array<fftw_complex*, kMaxPlanExponent + 1> split_scratch{};

// Lengths from which the two lanes of a split transform run concurrently:
// below it the hand-over between threads costs more than it saves.
constexpr std::int64_t kConcurrentLength = 2048;

// True on the helper thread, and on the calling thread while its lanes run.
thread_local bool inside_lanes = false;
// The counters of this thread.
thread_local ThreadCounters* counters = &thread_counters[0];

// The helper thread of lane 1. A task is offered by raising `posted` to a new
// generation. Lane 1 of it is then taken by whichever thread claims it first
// (`claimed` raised to that generation): the helper when it is awake, or the
// calling thread itself once its own lane is done, so that a helper that the
// system has not scheduled (other programs on the cores) costs no waiting.
// When the helper ran lane 1 it sets `done` to the generation. Each side
// waits by spinning for a short while (the tasks of a fibre buffer follow each
// other within microseconds), then sleeps on the condition variable; the
// other side notifies only when the sleeping flag says someone sleeps.
//
// The helper, its mutex and its condition variable are never destroyed: a
// process forked while the helper sleeps inherits a condition variable with a
// waiter that does not exist in it, and destroying that would wait for the
// waiter forever. The program's own exit stops the helper (an exit handler);
// a forked child only forgets it and runs both lanes itself.
class LaneHelper;
LaneHelper& lane_helper();

class LaneHelper {
public:
    bool running() const { return thread_ != nullptr; }

    // After a fork, in the child: no helper thread, and none to be started
    // (the mutex may have been held by the helper at the fork).
    void forget_after_fork() {
        thread_ = nullptr;
        forked_ = true;
    }

    bool start() {
        if (running()) return true;
        if (forked_) return false;
        if (!hooks_registered_) {
            hooks_registered_ = true;
            std::atexit([] { lane_helper().stop(); });
#if defined(__unix__) || defined(__APPLE__)
            pthread_atfork(nullptr, nullptr, [] { lane_helper().forget_after_fork(); });
#endif
        }
        posted_.store(0);
        claimed_.store(0);
        done_.store(0);
        generation_ = 0;
        stopping_.store(false);
        std::fenv_t env;
        std::fegetenv(&env);
#if defined(__unix__) || defined(__APPLE__)
        // The helper takes no signals: they go to the program's own threads.
        sigset_t all;
        sigset_t old;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &old);
#endif
        bool ok = true;
        try {
            thread_ = new (thread_storage_) std::thread([this, env] { helper_main(env); });
        } catch (...) {
            ok = false;
        }
#if defined(__unix__) || defined(__APPLE__)
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
#endif
        return ok;
    }

    void stop() {
        if (!running()) return;
        stopping_.store(true);
        publish(posted_, ++generation_, helper_sleeping_, true);
        thread_->join();
        thread_->~thread();
        thread_ = nullptr;
        stopping_.store(false);
    }

    void run(LaneTask task, void* context) {
        task_ = task;
        context_ = context;
        const std::uint32_t g = ++generation_;
        publish(posted_, g, helper_sleeping_, false);
        task(0, context);
        std::uint32_t expected = g - 1;
        if (claimed_.compare_exchange_strong(expected, g, std::memory_order_acq_rel)) {
            task(1, context);  // the helper has not taken it: do it here
            return;
        }
        if (!timing_on.load(std::memory_order_relaxed)) {
            wait_for(done_, g, false, caller_sleeping_);
            return;
        }
        const Clock::time_point t0 = Clock::now();
        wait_for(done_, g, false, caller_sleeping_);
        counters->waited += std::chrono::duration<double>(Clock::now() - t0).count();
    }

private:
    void helper_main(std::fenv_t env) {
        // Same floating-point environment as the calling thread.
        std::fesetenv(&env);
        inside_lanes = true;
        counters = &thread_counters[1];
        std::uint32_t seen = 0;
        for (;;) {
            wait_for(posted_, seen, true, helper_sleeping_);
            seen = posted_.load(std::memory_order_acquire);
            if (stopping_.load()) return;
            std::uint32_t expected = seen - 1;
            if (!claimed_.compare_exchange_strong(expected, seen, std::memory_order_acq_rel)) continue;
            task_(1, context_);
            publish(done_, seen, caller_sleeping_, false);
        }
    }

    void publish(std::atomic<std::uint32_t>& word, std::uint32_t value, std::atomic<bool>& sleeping, bool always) {
        word.store(value, std::memory_order_seq_cst);
        if (always || sleeping.load(std::memory_order_seq_cst)) {
            std::lock_guard<std::mutex> lock(mutex_);
            wake_.notify_all();
        }
    }

    // Waits until word != value (`differ`) or word == value (not `differ`).
    void wait_for(const std::atomic<std::uint32_t>& word, std::uint32_t value, bool differ,
                  std::atomic<bool>& sleeping) {
        auto ready = [&word, value, differ](std::memory_order order) { return (word.load(order) != value) == differ; };
        constexpr auto kSpin = std::chrono::microseconds(100);
        const Clock::time_point start = Clock::now();
        for (unsigned i = 1;; ++i) {
            if (ready(std::memory_order_acquire)) return;
            if ((i & 63u) == 0 && Clock::now() - start > kSpin) break;
        }
        std::unique_lock<std::mutex> lock(mutex_);
        sleeping.store(true, std::memory_order_seq_cst);
        wake_.wait(lock, [&] { return ready(std::memory_order_seq_cst); });
        sleeping.store(false, std::memory_order_relaxed);
    }

    // The helper's handle lives in place, so that a forked copy can drop it
    // without destroying it.
    alignas(std::thread) unsigned char thread_storage_[sizeof(std::thread)];
    std::thread* thread_ = nullptr;
    bool forked_ = false;
    bool hooks_registered_ = false;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::atomic<std::uint32_t> posted_{0};
    std::atomic<std::uint32_t> claimed_{0};
    std::atomic<std::uint32_t> done_{0};
    std::atomic<bool> helper_sleeping_{false};
    std::atomic<bool> caller_sleeping_{false};
    // Set by the calling thread before it publishes the generation that stops
    // the helper; the helper may read it while an earlier one is published.
    std::atomic<bool> stopping_{false};
    LaneTask task_ = nullptr;
    void* context_ = nullptr;
    std::uint32_t generation_ = 0;  // calling thread only
};

LaneHelper& lane_helper() {
    static LaneHelper* const helper = new LaneHelper;  // never destroyed (see above)
    return *helper;
}

int threads_override = 0;

// The threads the environment asks for, read at the first need (0: not yet).
int environment_threads = 0;

// NODRIX_THREADS asks for a number of threads; the lanes use one or two, and
// no more than the machine has cores. Anything else than a positive whole
// number is a warning, and the default holds.
int threads_from_environment() {
    if (environment_threads == 0) {
        const int most = std::thread::hardware_concurrency() == 1 ? 1 : 2;
        environment_threads = most;
        const char* v = std::getenv("NODRIX_THREADS");
        if (v != nullptr) {
            char* end = nullptr;
            errno = 0;
            const long n = std::strtol(v, &end, 10);
            while (end != v && *end == ' ') ++end;
            const std::string said = std::string("NODRIX_THREADS=\"") + v + "\"";
            if (end == v || *end != '\0' || errno != 0 || n < 1) {
                opxwarn(said + " is not a positive whole number of threads: the transforms use " +
                        std::to_string(most));
            } else if (n > most) {
                opxwarn(said + ": the transforms use at most " + std::to_string(most) + " threads on this machine");
            } else {
                environment_threads = static_cast<int>(n);
            }
        }
    }
    return environment_threads;
}

// Executes a plan with the given input stride, counted and timed.
void execute(fftw_plan plan, const fftw_complex* in, int istride, fftw_complex* out) {
    ThreadCounters& c = *counters;
    ++c.transforms;
    fftw_complex* src = const_cast<fftw_complex*>(in);  // FFTW leaves the input of out-of-place plans alone
    if (!timing_on.load(std::memory_order_relaxed)) {
        fftw(plan, 1, src, istride, 0, out, 1, 0);
        return;
    }
    const Clock::time_point t0 = Clock::now();
    fftw(plan, 1, src, istride, 0, out, 1, 0);
    c.seconds += std::chrono::duration<double>(Clock::now() - t0).count();
}

fftw_complex* allocate_complex(std::int64_t count) {
    return static_cast<fftw_complex*>(xu_malloc(static_cast<std::size_t>(count) * sizeof(fftw_complex)));
}

void free_tables() {
    for (auto* table : {&twiddle_tables, &split_scratch}) {
        for (fftw_complex*& p : *table) {
            if (p != nullptr) xu_free(p);
            p = nullptr;
        }
    }
}

}  // namespace

const char* wisdom_file_name() {
    const char* dir = std::getenv("BNLIB");
    if (dir == nullptr) return nullptr;
    wisdom_path = std::string(dir) + "/opwis.pln";
    return wisdom_path.c_str();
}

void import_plan(std::int32_t& flag) {
    flag = 0;
    const char* path = wisdom_file_name();
    if (path == nullptr) return;
    std::FILE* f = std::fopen(path, "r");
    if (f == nullptr) return;
    if (fftw_import_wisdom_from_file(f) == FFTW_SUCCESS) flag = 1;
    std::fclose(f);
}

void opxplancreate() {
    for (int n = 1; n <= kMaxPlanExponent; ++n) {
        pplan.forward[n] = nullptr;
        pplan.backward[n] = nullptr;
    }
    import_plan(pplan.wisdom);
}

namespace {

// Creates the plan of length 2^n of one direction (timed).
fftw_plan make_plan(std::int32_t n, fftw_direction direction) {
    int length = 2;
    for (int k = 1; k < n; ++k) length *= 2;
    const int flags = pplan.wisdom == 1 ? (FFTW_MEASURE | FFTW_USE_WISDOM) : FFTW_MEASURE;
    const Clock::time_point t0 = Clock::now();
    fftw_plan plan = fftw_create_plan(length, direction, flags);
    plan_time += std::chrono::duration<double>(Clock::now() - t0).count();
    ++plans_made;
    return plan;
}

}  // namespace

void create_plans(std::int32_t n) {
    if (n < 1 || n > kMaxPlanExponent) return;
    pplan.forward[n] = make_plan(n, FFTW_FORWARD);
    pplan.backward[n] = make_plan(n, FFTW_BACKWARD);
}

void opxplandestroy() {
    stop_lanes();
    // A direction may have been made without the other (forward_plan and
    // backward_plan make only the one asked for): each is destroyed.
    for (int n = 1; n <= kMaxPlanExponent; ++n) {
        if (pplan.forward[n] != nullptr) fftw_destroy_plan(pplan.forward[n]);
        if (pplan.backward[n] != nullptr) fftw_destroy_plan(pplan.backward[n]);
        pplan.forward[n] = nullptr;
        pplan.backward[n] = nullptr;
    }
    free_tables();
}

fftw_plan forward_plan(std::int32_t n) {
    if (n < 1 || n > kMaxPlanExponent) return nullptr;
    if (pplan.forward[n] == nullptr) pplan.forward[n] = make_plan(n, FFTW_FORWARD);
    return pplan.forward[n];
}

fftw_plan backward_plan(std::int32_t n) {
    if (n < 1 || n > kMaxPlanExponent) return nullptr;
    if (pplan.backward[n] == nullptr) pplan.backward[n] = make_plan(n, FFTW_BACKWARD);
    return pplan.backward[n];
}

// ---- Two lanes -------------------------------------------------------------

int lane_threads() { return threads_override != 0 ? threads_override : threads_from_environment(); }

void set_lane_threads(int threads) {
    threads_override = threads == 1 ? 1 : (threads >= 2 ? 2 : 0);
    if (threads_override == 0) environment_threads = 0;
    if (lane_threads() == 1) stop_lanes();
}

void stop_lanes() { lane_helper().stop(); }

void run_lanes(LaneTask task, void* context, bool concurrent) {
    // Lanes inside a lane run one after the other.
    if (concurrent && !inside_lanes && lane_threads() >= 2 && lane_helper().start()) {
        inside_lanes = true;
        lane_helper().run(task, context);
        inside_lanes = false;
        return;
    }
    task(0, context);
    task(1, context);
}

// ---- Split transforms ------------------------------------------------------

const fftw_complex* fft_twiddles(std::int32_t n) {
    if (n < 1 || n > kMaxPlanExponent) return nullptr;
    fftw_complex*& table = twiddle_tables[static_cast<std::size_t>(n)];
    if (table != nullptr) return table;
    // The angles are reduced to the first octant, so that the table is exact
    // at the quarter turn and symmetric like the exponential itself.
    constexpr double kTwoPiExact = 6.28318530717958647692528676655900577;
    const std::int64_t length = std::int64_t{1} << n;
    const std::int64_t half = length / 2;
    table = allocate_complex(half);
    auto angle = [length](std::int64_t j) { return kTwoPiExact * static_cast<double>(j) / static_cast<double>(length); };
    for (std::int64_t j = 0; j < half; ++j) {
        double c = 0.0;
        double s = 0.0;
        if (8 * j <= length) {
            c = std::cos(angle(j));
            s = std::sin(angle(j));
        } else if (4 * j <= length) {
            c = std::sin(angle(length / 4 - j));
            s = std::cos(angle(length / 4 - j));
        } else if (8 * j <= 3 * length) {
            c = -std::sin(angle(j - length / 4));
            s = std::cos(angle(j - length / 4));
        } else {
            c = -std::cos(angle(half - j));
            s = std::sin(angle(half - j));
        }
        table[j] = fftw_complex{c, -s};
    }
    return table;
}

bool fft_split_ready(std::int32_t n) {
    if (n < 1 || n > kMaxPlanExponent) return false;
    if (fft_twiddles(n) == nullptr) return false;
    if (n == 1) return true;
    return forward_plan(n - 1) != nullptr && backward_plan(n - 1) != nullptr;
}

namespace {

struct SplitJob {
    fftw_plan half_plan;
    const fftw_complex* in;
    fftw_complex* out;
    fftw_complex* scratch;  // the transforms of the even samples, then of the odd ones
    const fftw_complex* w;
    std::int64_t half;
    bool forward;
};

}  // namespace

void fft_execute(std::int32_t n, int direction, const fftw_complex* in, fftw_complex* out) {
    if (n < 1 || n > kMaxPlanExponent) return;
    const bool forward = direction == FFTW_FORWARD;
    if (n == 1) {
        const fftw_complex a = in[0];
        const fftw_complex b = in[1];
        out[0] = fftw_complex{a.re + b.re, a.im + b.im};
        out[1] = fftw_complex{a.re - b.re, a.im - b.im};
        return;
    }
    if (!fft_split_ready(n)) return;
    const std::int64_t half = std::int64_t{1} << (n - 1);
    fftw_complex*& scratch = split_scratch[static_cast<std::size_t>(n)];
    if (scratch == nullptr) scratch = allocate_complex(2 * half);
    SplitJob job{forward ? pplan.forward[n - 1] : pplan.backward[n - 1], in, out, scratch, fft_twiddles(n), half,
                 forward};
    const bool concurrent = 2 * half >= kConcurrentLength;
    // The half-length transforms of the even and of the odd samples.
    auto halves = [&job](int lane) { execute(job.half_plan, job.in + lane, 2, job.scratch + lane * job.half); };
    run_lanes(halves, concurrent);
    // The butterflies, the lower half of k in lane 0, the upper in lane 1.
    auto butterflies = [&job](int lane) {
        const std::int64_t quarter = job.half / 2;
        const fftw_complex* e = job.scratch;
        const fftw_complex* o = job.scratch + job.half;
        const double sign = job.forward ? 1.0 : -1.0;
        for (std::int64_t k = lane * quarter; k < (lane + 1) * quarter; ++k) {
            const double wr = job.w[k].re;
            const double wi = sign * job.w[k].im;
            const double tr = wr * o[k].re - wi * o[k].im;
            const double ti = wr * o[k].im + wi * o[k].re;
            job.out[k] = fftw_complex{e[k].re + tr, e[k].im + ti};
            job.out[k + job.half] = fftw_complex{e[k].re - tr, e[k].im - ti};
        }
    };
    run_lanes(butterflies, concurrent);
}

void fft_run(fftw_plan plan, const fftw_complex* in, fftw_complex* out) { execute(plan, in, 1, out); }

FftUsage fft_usage() {
    FftUsage u;
    for (int t = 0; t < 2; ++t) {
        u.transforms[t] = thread_counters[t].transforms;
        u.seconds[t] = thread_counters[t].seconds;
    }
    u.waited = thread_counters[0].waited;
    u.plans_created = plans_made;
    u.plan_seconds = plan_time;
    return u;
}

void reset_fft_usage() {
    for (ThreadCounters& c : thread_counters) c = ThreadCounters{};
    plans_made = 0;
    plan_time = 0.0;
}

void fft_timing(bool on) { timing_on.store(on, std::memory_order_relaxed); }

}  // namespace nodrix
