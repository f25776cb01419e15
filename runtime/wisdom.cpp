#include "runtime/wisdom.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cfenv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <new>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#if defined(__unix__) || defined(__APPLE__)
#include <pthread.h>
#include <signal.h>
#include <unistd.h>
#endif

#include "runtime/opxfile.h"
#include "xu/run_state.h"
#include "xu/xu_mem.h"

namespace nodrix {

namespace {

using Clock = std::chrono::steady_clock;

// Use counters, one set per thread (the calling thread, the helper) so that
// each thread writes only its own.
struct alignas(64) ThreadCounters {
    std::int64_t transforms[kLengthClasses] = {};
    std::int64_t timed[kLengthClasses] = {};  // those of them whose time was taken
    double seconds[kLengthClasses] = {};     // the time of the timed ones
    double waited = 0.0;
};

// While timing, one transform in this many of each length and thread is
// timed: reading a thread's processor clock is a system call that costs
// about as much as a short transform, and timing every one of a run's 10^6
// transforms would add seconds to what is measured.
constexpr std::int64_t kTimedEvery = 8;

// The problem a plan was made for: length, direction, placement, the
// alignment of its arrays (fftw_alignment_of: the byte offset from the
// alignment FFTW's SIMD code wants, 0 when aligned) and the planner flags.
struct PlanKey {
    std::int32_t length = 0;
    int direction = FFTW_FORWARD;
    bool in_place = false;
    int align_in = 0;
    int align_out = 0;
    unsigned flags = FFTW_MEASURE;
    bool operator==(const PlanKey&) const = default;
};

struct KeptPlan {
    PlanKey key;
    fftw_plan plan = nullptr;
};

// Where the plans of the run came from, for its verbose output.
enum class PlanSource { wisdom, measured, estimated };
struct PlanSources {
    int count[3] = {0, 0, 0};  // by PlanSource
    std::vector<std::int32_t> measured_lengths;
};

// The plans of one run of the program (a part of its RunState): every plan
// it made, the aligned out-of-place plans of powers of two among them, its
// twiddle tables and where its plans came from. Runs on threads at once each
// have their own, so that one run's start or end never destroys the plans
// another is using; a plan of the same problem is made again from FFTW's
// wisdom, which the process shares.
struct RunPlans {
    PPlan aligned;
    std::vector<KeptPlan> kept;
    // Twiddle tables w^j = exp(-2 pi i j / 2^n), j < 2^(n-1).
    std::array<Complex*, kMaxPlanExponent + 1> twiddle_tables{};
    PlanSources sources;
    std::string wisdom_path;
    bool live = false;  // between opxplancreate and opxplandestroy
    RunPlans() = default;
    RunPlans(const RunPlans&) = delete;
    RunPlans& operator=(const RunPlans&) = delete;
    ~RunPlans();
};

RunPlans& run_plans() { return current_run_state().part<RunPlans>(); }

// The store of the process. FFTW's planner and its wisdom are the process's:
// every plan is made and destroyed, and wisdom read, under its lock
// (executing distinct plans needs none).
struct Store {
    std::mutex lock;
    int live_runs = 0;  // runs between opxplancreate and opxplandestroy (under the lock)
    // The rigor: 0 not yet read, else 1 + PlanRigor.
    std::atomic<int> rigor_override{0};
    std::atomic<int> environment_rigor{0};
    // The lanes' threads: 0 not yet read (the environment) or not set.
    std::atomic<int> threads_override{0};
    std::atomic<int> environment_threads{0};
    // Whether the helper thread is free for a run's lanes: one run at a time
    // uses it, the others run both lanes themselves.
    std::atomic<bool> helper_free{true};
    // LaneSeries alive (on any thread): tasks follow each other closely.
    std::atomic<int> series{0};
    // What the transforms and plans cost.
    ThreadCounters thread_counters[2];
    std::atomic<bool> timing_on{false};
    std::int32_t plans_made = 0;
    double plan_time = 0.0;
};
Store store;

// Destroys the run's plans and, with `tables`, frees its tables; the run is
// no longer counted among those alive.
void release(RunPlans& run, bool tables = true) {
    const std::lock_guard<std::mutex> held(store.lock);
    for (KeptPlan& p : run.kept) fftw_destroy_plan(p.plan);
    run.kept.clear();
    run.aligned.forward.fill(nullptr);
    run.aligned.backward.fill(nullptr);
    for (Complex*& t : run.twiddle_tables) {
        if (!tables) break;
        if (t != nullptr) xu_free(t);
        t = nullptr;
    }
    if (run.live) --store.live_runs;
    run.live = false;
}

RunPlans::~RunPlans() { release(*this); }

// True on the helper thread, and on the calling thread while its lanes run.
thread_local bool inside_lanes = false;
// The counters of this thread.
thread_local ThreadCounters* counters = &store.thread_counters[0];

// The helper thread of lane 1. A task is offered by raising `posted` to a new
// generation. Lane 1 of it is then taken by whichever thread claims it first
// (`claimed` raised to that generation): the helper when it is awake, or the
// calling thread itself once its own lane is done, so that a helper that the
// system has not scheduled (other programs on the cores) costs no waiting.
// When the helper ran lane 1 it sets `done` to the generation. Each side
// waits for the other's word by polling it a few hundred times, some ten
// microseconds (the halves of a fibre step end within a few microseconds of
// each other, and the next task follows as soon), then asleep
// in the kernel on the word itself (std::atomic wait, a futex on Linux) until
// the other side stores and notifies: a wait costs no processor time beyond
// that short poll, whatever else runs on the machine.
//
// The helper is never destroyed: the program's own exit stops it (an exit
// handler), and the handler must find it whatever else exit destroys first.
// A process forked while the helper exists only forgets it and runs both
// lanes itself.
class LaneHelper;
LaneHelper& lane_helper();

// Polls of a word before a wait goes to sleep (a pause between polls takes
// some 35 ns on the Xeon this was measured on).
constexpr int kPolls = 256;
// Polls while a series of tasks is under way (some 150 us): the next task,
// or the other lane's end, is due within the time of one lane's work, and
// a sleeper's wake-up (a futex and the scheduler, longer still on a virtual
// machine) would cost the other side more than the polling costs this one.
constexpr int kSeriesPolls = 4096;

// Polls a wait makes before it sleeps: many while a series is under way.
inline int polls_now() { return store.series.load(std::memory_order_relaxed) > 0 ? kSeriesPolls : kPolls; }

inline void relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

class LaneHelper {
public:
    bool running() const { return thread_ != nullptr; }

    // After a fork, in the child: no helper thread, and none to be started.
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
        publish(posted_, ++generation_);
        thread_->join();
        thread_->~thread();
        thread_ = nullptr;
        stopping_.store(false);
    }

    void run(LaneTask task, void* context) {
        task_ = task;
        context_ = context;
        const std::uint32_t g = ++generation_;
        publish(posted_, g);
        task(0, context);
        std::uint32_t expected = g - 1;
        if (claimed_.compare_exchange_strong(expected, g, std::memory_order_acq_rel)) {
            task(1, context);  // the helper has not taken it: do it here
            return;
        }
        if (!store.timing_on.load(std::memory_order_relaxed)) {
            wait_until_equal(done_, g);
            return;
        }
        const Clock::time_point t0 = Clock::now();
        wait_until_equal(done_, g);
        counters->waited += std::chrono::duration<double>(Clock::now() - t0).count();
    }

private:
    void helper_main(std::fenv_t env) {
        // Same floating-point environment as the calling thread.
        std::fesetenv(&env);
        inside_lanes = true;
        counters = &store.thread_counters[1];
        std::uint32_t seen = 0;
        for (;;) {
            seen = wait_until_other(posted_, seen);
            if (stopping_.load()) return;
            std::uint32_t expected = seen - 1;
            if (!claimed_.compare_exchange_strong(expected, seen, std::memory_order_acq_rel)) continue;
            task_(1, context_);
            publish(done_, seen);
        }
    }

    // The store is sequentially consistent, so that it is ordered before
    // the notification's look for sleepers: a waiter either sees the new
    // value or is woken.
    static void publish(std::atomic<std::uint32_t>& word, std::uint32_t value) {
        word.store(value, std::memory_order_seq_cst);
        word.notify_one();
    }

    // Polls, then sleeps until the word holds `value`.
    static void wait_until_equal(const std::atomic<std::uint32_t>& word, std::uint32_t value) {
        const int polls = polls_now();
        for (int i = 0; i < polls; ++i) {
            if (word.load(std::memory_order_acquire) == value) return;
            relax();
        }
        for (std::uint32_t now = word.load(std::memory_order_acquire); now != value;
             now = word.load(std::memory_order_acquire))
            word.wait(now, std::memory_order_acquire);
    }

    // Polls, then sleeps until the word holds another value than `value`; returns it.
    // While a series is under way the helper keeps polling; once it ends
    // (the count read again every 64 polls), the helper goes to sleep.
    static std::uint32_t wait_until_other(const std::atomic<std::uint32_t>& word, std::uint32_t value) {
        for (int i = 0; i < kSeriesPolls; ++i) {
            const std::uint32_t now = word.load(std::memory_order_acquire);
            if (now != value) return now;
            if (i >= kPolls && i % 64 == 0 && polls_now() == kPolls) break;
            relax();
        }
        word.wait(value, std::memory_order_acquire);  // returns once the word differs
        return word.load(std::memory_order_acquire);
    }

    // The helper's handle lives in place, so that a forked copy can drop it
    // without destroying it.
    alignas(std::thread) unsigned char thread_storage_[sizeof(std::thread)];
    std::thread* thread_ = nullptr;
    bool forked_ = false;
    bool hooks_registered_ = false;
    std::atomic<std::uint32_t> posted_{0};
    std::atomic<std::uint32_t> claimed_{0};
    std::atomic<std::uint32_t> done_{0};
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


// NODRIX_THREADS asks for a number of threads; the lanes use one or two, and
// no more than the machine has cores. Anything else than a positive whole
// number is a warning, and the default holds.
int threads_from_environment() {
    if (store.environment_threads == 0) {
        const int most = std::thread::hardware_concurrency() == 1 ? 1 : 2;
        store.environment_threads = most;
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
                store.environment_threads = static_cast<int>(n);
            }
        }
    }
    return store.environment_threads;
}

// The processor time of the calling thread: a transform's time without the
// turns other programs take on its core while it runs (on a shared machine
// those can double the wall time of a short transform).
double thread_seconds() {
#if defined(__unix__) || defined(__APPLE__)
    timespec t{};
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t) == 0)
        return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
#endif
    return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

Complex* allocate_complex(std::int64_t count) {
    return static_cast<Complex*>(xu_malloc(static_cast<std::size_t>(count) * sizeof(Complex)));
}


// ---- Plans -------------------------------------------------------------------




constexpr const char* kRigorVariable = "NODRIX_FFT_PLANS";

// The rigor NODRIX_FFT_PLANS asks for; `report` warns of a value that is
// neither "estimate" nor "measure".
PlanRigor rigor_from_environment(bool report) {
    const char* v = std::getenv(kRigorVariable);
    if (v == nullptr || *v == '\0' || std::strcmp(v, "measure") == 0) return PlanRigor::measure;
    if (std::strcmp(v, "estimate") == 0) return PlanRigor::estimate;
    if (report) {
        opxwarn(std::string(kRigorVariable) + "=" + v + " is not known");
        opxinfo("     the FFT plans are measured (the choices are measure and estimate)");
    }
    return PlanRigor::measure;
}

unsigned rigor_flags() { return plan_rigor() == PlanRigor::estimate ? FFTW_ESTIMATE : FFTW_MEASURE; }

int alignment_of(const Complex* p) { return fftw_alignment_of(const_cast<double*>(reinterpret_cast<const double*>(p))); }


// Makes the plan of a problem on scratch arrays of its alignment: FFTW's own
// allocation (aligned for its SIMD code) moved on by the alignment offset.
// With `source`, and wisdom read from the file, the plan is first asked of
// the wisdom alone (the plan FFTW would take from it anyway, but known to
// come from there); `source` tells where it came from. Under the store's lock.
fftw_plan make_plan(const PlanKey& k, PlanSource* source = nullptr, bool from_wisdom = false) {
    const std::size_t bytes = sizeof(Complex) * static_cast<std::size_t>(k.length) + 64;
    char* in_base = static_cast<char*>(fftw_malloc(bytes));
    char* out_base = k.in_place ? nullptr : static_cast<char*>(fftw_malloc(bytes));
    fftw_plan plan = nullptr;
    if (in_base != nullptr && (k.in_place || out_base != nullptr)) {
        double* in = reinterpret_cast<double*>(in_base + k.align_in);
        double* out = k.in_place ? in : reinterpret_cast<double*>(out_base + k.align_out);
        auto* in_c = reinterpret_cast<fftw_complex*>(in);
        auto* out_c = reinterpret_cast<fftw_complex*>(out);
        unsigned flags = k.flags;
        // Should FFTW's allocation not be aligned as its SIMD code wants, the
        // plan makes no assumption of alignment at all.
        if (fftw_alignment_of(in) != k.align_in || fftw_alignment_of(out) != k.align_out) flags |= FFTW_UNALIGNED;
        const Clock::time_point t0 = Clock::now();
        if (source != nullptr && from_wisdom)
            plan = fftw_plan_dft_1d(k.length, in_c, out_c, k.direction, flags | FFTW_WISDOM_ONLY);
        if (source != nullptr)
            *source = plan != nullptr                ? PlanSource::wisdom
                      : (flags & FFTW_ESTIMATE) != 0 ? PlanSource::estimated
                                                     : PlanSource::measured;
        if (plan == nullptr) plan = fftw_plan_dft_1d(k.length, in_c, out_c, k.direction, flags);
        store.plan_time += std::chrono::duration<double>(Clock::now() - t0).count();
        ++store.plans_made;
    }
    fftw_free(in_base);
    fftw_free(out_base);
    return plan;
}

fftw_plan plan_of(const PlanKey& k) {
    RunPlans& run = run_plans();
    const std::lock_guard<std::mutex> held(store.lock);
    for (const KeptPlan& p : run.kept)
        if (p.key == k) return p.plan;
    PlanSource source = PlanSource::measured;
    fftw_plan plan = make_plan(k, &source, run.aligned.wisdom == 1);
    if (plan == nullptr) return nullptr;
    run.kept.push_back({k, plan});
    ++run.sources.count[static_cast<int>(source)];
    if (source == PlanSource::measured) run.sources.measured_lengths.push_back(k.length);
    // The aligned out-of-place plans of the store's rigor are kept apart too.
    const bool power_of_two = k.length >= 2 && (k.length & (k.length - 1)) == 0;
    if (power_of_two && k.length <= (1 << kMaxPlanExponent) && !k.in_place && k.align_in == 0 && k.align_out == 0 &&
        k.flags == rigor_flags()) {
        const int n = std::countr_zero(static_cast<std::uint32_t>(k.length));
        (k.direction == FFTW_FORWARD ? run.aligned.forward : run.aligned.backward)[static_cast<std::size_t>(n)] = plan;
    }
    return plan;
}

fftw_plan aligned_plan(std::int32_t n, int direction) {
    if (n < 1 || n > kMaxPlanExponent) return nullptr;
    return plan_of(PlanKey{std::int32_t{1} << n, direction, false, 0, 0, rigor_flags()});
}

// Says in the verbose output where the run's plans will come from.
void trace_plan_source(const char* path, const WisdomImport& r) {
    const std::string otherwise = plan_rigor() == PlanRigor::estimate
                                      ? std::string("estimated (") + kRigorVariable + "=estimate)"
                                      : std::string("measured");
    if (!r.imported) {
        opxtrace("FFT plans: " + otherwise + " without wisdom" + (path == nullptr ? " (BNLIB is not set)" : ""));
        return;
    }
    opxtrace(std::string("FFT plans: from the wisdom file ") + path + " where it holds them, else " + otherwise);
    if (!r.checked)
        opxtrace(std::string("The wisdom file ") + path +
                 " carries no checksum: damage to it cannot be found (nodrix-wisdom writes it anew with one)");
}

// Says in the verbose output which plans the run used, when it made any.
void trace_plans_used() {
    const PlanSources& u = run_plans().sources;
    if (u.count[0] + u.count[1] + u.count[2] == 0) return;
    std::string text;
    auto add = [&text](int n, const std::string& what) {
        if (n > 0) text += (text.empty() ? "" : ", ") + std::to_string(n) + " " + what;
    };
    add(u.count[static_cast<int>(PlanSource::wisdom)], "from the wisdom file");
    std::vector<std::int32_t> lengths = u.measured_lengths;
    std::sort(lengths.begin(), lengths.end());
    lengths.erase(std::unique(lengths.begin(), lengths.end()), lengths.end());
    std::string of;
    for (const std::int32_t n : lengths)
        of += (!of.empty() ? ", " : lengths.size() == 1 ? " (length " : " (lengths ") + std::to_string(n);
    add(u.count[static_cast<int>(PlanSource::measured)], "measured" + of + (of.empty() ? "" : ")"));
    add(u.count[static_cast<int>(PlanSource::estimated)], "estimated");
    opxtrace("FFT plans used: " + text);
}

}  // namespace

const char* wisdom_file_name() {
    const char* dir = std::getenv("BNLIB");
    if (dir == nullptr) return nullptr;
    std::string& path = run_plans().wisdom_path;
    path = std::string(dir) + "/opwis.pln";
    return path.c_str();
}

void import_plan(std::int32_t& flag) {
    flag = 0;
    const char* path = wisdom_file_name();
    WisdomImport r;
    if (path != nullptr) {
        const char* dir = std::getenv("BNLIB");
        std::error_code ec;
        std::string why;
        if (dir[0] == '\0' || !std::filesystem::is_directory(dir, ec)) {
            why = std::string("BNLIB=\"") + dir + "\" names no directory";
        } else {
            const std::lock_guard<std::mutex> held(store.lock);  // FFTW's wisdom is the process's
            r = import_wisdom_file(path);
            why = !r.present ? "there is no such file" : r.imported ? "" : r.reason;
        }
        if (!why.empty()) {
            opxwarn(std::string("FFT plan wisdom file ") + path + " is not used");
            opxinfo("     " + why);
        }
    }
    if (r.imported) flag = 1;
    trace_plan_source(path, r);
}

bool learn_plans(std::int32_t n) {
    if (n < 1 || n > kMaxPlanExponent) return false;
    // The alignments a double complex array can have: every 16-byte offset
    // from FFTW's own allocation, as far as FFTW tells them apart.
    std::vector<int> alignments;
    Complex* probe = static_cast<Complex*>(fftw_malloc(8 * sizeof(Complex)));
    if (probe == nullptr) return false;
    for (int k = 0; k < 4; ++k) {
        const int a = alignment_of(probe + k);
        if (std::find(alignments.begin(), alignments.end(), a) == alignments.end()) alignments.push_back(a);
    }
    fftw_free(probe);
    const std::lock_guard<std::mutex> held(store.lock);
    for (const int a : alignments) {
        for (const int direction : {FFTW_FORWARD, FFTW_BACKWARD}) {
            const fftw_plan plan = make_plan(PlanKey{std::int32_t{1} << n, direction, false, a, a, FFTW_PATIENT});
            if (plan == nullptr) return false;
            fftw_destroy_plan(plan);
        }
    }
    return true;
}

void forget_wisdom() {
    const std::lock_guard<std::mutex> held(store.lock);
    fftw_forget_wisdom();
}

const PPlan& aligned_plans() { return run_plans().aligned; }

void opxplancreate() {
    RunPlans& run = run_plans();
    release(run, false);
    run.sources = PlanSources{};
    {
        const std::lock_guard<std::mutex> held(store.lock);
        run.live = true;
        ++store.live_runs;
    }
    store.environment_rigor = 1 + static_cast<int>(rigor_from_environment(true));
    import_plan(run.aligned.wisdom);
}

PlanRigor plan_rigor() {
    if (store.rigor_override != 0) return static_cast<PlanRigor>(store.rigor_override - 1);
    if (store.environment_rigor == 0) store.environment_rigor = 1 + static_cast<int>(rigor_from_environment(false));
    return static_cast<PlanRigor>(store.environment_rigor - 1);
}

void set_plan_rigor(PlanRigor rigor) { store.rigor_override = 1 + static_cast<int>(rigor); }

void reset_plan_rigor() {
    store.rigor_override = 0;
    store.environment_rigor = 0;
}

void create_plans(std::int32_t n) {
    aligned_plan(n, FFTW_FORWARD);
    aligned_plan(n, FFTW_BACKWARD);
}

void opxplandestroy() {
    trace_plans_used();
    RunPlans& run = run_plans();
    run.sources = PlanSources{};
    release(run);
    // The helper stays while another run of the process works.
    bool last = false;
    {
        const std::lock_guard<std::mutex> held(store.lock);
        last = store.live_runs == 0;
    }
    if (last) stop_lanes();
}

fftw_plan forward_plan(std::int32_t n) { return aligned_plan(n, FFTW_FORWARD); }

fftw_plan backward_plan(std::int32_t n) { return aligned_plan(n, FFTW_BACKWARD); }

FftPlan fft_plan(std::int32_t length, int direction, const Complex* in, const Complex* out, bool estimated) {
    if (length < 1 || in == nullptr || out == nullptr) return {};
    const fftw_plan plan = plan_of(PlanKey{length, direction, in == out, alignment_of(in), alignment_of(out),
                                           estimated ? FFTW_ESTIMATE : rigor_flags()});
    return plan == nullptr ? FftPlan{} : FftPlan{plan, length};
}

void fft_run(const FftPlan& plan, const Complex* in, Complex* out) {
    const bool power_of_two = (plan.length & (plan.length - 1)) == 0 && plan.length <= (1 << kMaxPlanExponent);
    const int length_class =
        power_of_two ? std::countr_zero(static_cast<std::uint32_t>(plan.length)) : kLengthClasses - 1;
    ThreadCounters& c = *counters;
    ++c.transforms[length_class];
    // An out-of-place complex plan leaves its input alone (FFTW's default).
    auto* src = reinterpret_cast<fftw_complex*>(const_cast<Complex*>(in));
    auto* dst = reinterpret_cast<fftw_complex*>(out);
    if (!store.timing_on.load(std::memory_order_relaxed)) {
        fftw_execute_dft(plan.plan, src, dst);
        return;
    }
    if (c.transforms[length_class] % kTimedEvery != 1) {
        fftw_execute_dft(plan.plan, src, dst);
        return;
    }
    const double t0 = thread_seconds();
    fftw_execute_dft(plan.plan, src, dst);
    c.seconds[length_class] += thread_seconds() - t0;
    ++c.timed[length_class];
}

const Complex* fft_twiddles(std::int32_t n) {
    if (n < 1 || n > kMaxPlanExponent) return nullptr;
    RunPlans& run = run_plans();
    const std::lock_guard<std::mutex> held(store.lock);
    Complex*& table = run.twiddle_tables[static_cast<std::size_t>(n)];
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
        table[j] = Complex(c, -s);
    }
    return table;
}

// ---- Two lanes -------------------------------------------------------------

int lane_threads() {
    const int set = store.threads_override.load(std::memory_order_relaxed);
    return set != 0 ? set : threads_from_environment();
}

void set_lane_threads(int threads) {
    store.threads_override = threads == 1 ? 1 : (threads >= 2 ? 2 : 0);
    if (store.threads_override == 0) store.environment_threads = 0;
    if (lane_threads() == 1) stop_lanes();
}

void stop_lanes() {
    // Waits for a run on another thread to finish its lanes.
    while (store.helper_free.exchange(false, std::memory_order_acquire) == false) std::this_thread::yield();
    lane_helper().stop();
    store.helper_free.store(true, std::memory_order_release);
}

LaneSeries::LaneSeries() { store.series.fetch_add(1, std::memory_order_relaxed); }
LaneSeries::~LaneSeries() { store.series.fetch_sub(1, std::memory_order_relaxed); }
bool lane_series_under_way() { return store.series.load(std::memory_order_relaxed) > 0; }

void run_lanes(LaneTask task, void* context, bool concurrent) {
    // Lanes inside a lane run one after the other; so do the lanes of a run
    // while another run of the process has the helper.
    if (concurrent && !inside_lanes && lane_threads() >= 2 &&
        store.helper_free.exchange(false, std::memory_order_acquire)) {
        const bool started = lane_helper().start();
        if (started) {
            inside_lanes = true;
            lane_helper().run(task, context);
            inside_lanes = false;
        }
        store.helper_free.store(true, std::memory_order_release);
        if (started) return;
    }
    task(0, context);
    task(1, context);
}

// ---- Use -------------------------------------------------------------------

FftUsage fft_usage() {
    FftUsage u;
    for (int t = 0; t < 2; ++t) {
        for (int k = 0; k < kLengthClasses; ++k) {
            const ThreadCounters& c = store.thread_counters[t];
            // The timed transforms stand for all of their length on their thread.
            const double seconds = c.timed[k] > 0 ? c.seconds[k] * static_cast<double>(c.transforms[k]) /
                                                        static_cast<double>(c.timed[k])
                                                  : 0.0;
            u.transforms[t] += c.transforms[k];
            u.seconds[t] += seconds;
            u.transforms_of[k] += c.transforms[k];
            u.seconds_of[k] += seconds;
        }
    }
    u.waited = store.thread_counters[0].waited;
    u.plans_created = store.plans_made;
    u.plan_seconds = store.plan_time;
    return u;
}

void reset_fft_usage() {
    for (ThreadCounters& c : store.thread_counters) c = ThreadCounters{};
    store.plans_made = 0;
    store.plan_time = 0.0;
}

void fft_timing(bool on) { store.timing_on.store(on, std::memory_order_relaxed); }

}  // namespace nodrix
