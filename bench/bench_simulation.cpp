// Runs the reference simulation of sim_160G sample by sample, as
// `sim_160G -simulate` does, and prints where the time goes: the wall time of
// the set-up and of the per-sample rounds, the time per block kind, the FFT
// plans' creation time, and the fibres' time inside FFTW against its floor:
// their count of transforms times the time of one transform of that length
// (timed here after the run with the same plan, best of many).
//
// The block kinds are timed by sampling the process's CPU time: every
// millisecond of it (as often as the kernel's tick lets the timer fire) a
// timer notes the kind of the block then running (read from the label that
// the sample loop keeps up to date for its messages, so that the blocks run
// as in the program itself, unwrapped; only the first block, and every
// block when its state is scanned or its output hashed, is wrapped), and a
// kind's seconds are its share of the samples times the CPU time of the
// rounds. CPU time, not wall time, so that
// other work on a shared machine does not blur the shares; the transform
// helper thread's time falls to the fibres, the only blocks that use it.
// With 10^7 rounds of 132 blocks, reading a clock around every call would
// cost more than many blocks do. The FFT calls of the fibres' linear
// half-steps are fewer and longer, and every eighth of each length is timed
// (the processor time of the thread that makes it, so that the turns other
// programs take on a shared machine are not counted against the floor).
//
// The state every block keeps is sampled for subnormal numbers: every N-th
// sample (N = -state-every, a power of two), right after a block's call, its
// state is scanned (a block's members), and the table counts per kind the
// scans that met subnormal values and the values met. A large state (a
// fibre's, some 10^8 numbers) is not scanned whole: a scan takes the next
// 64 Ki numbers of a walk that wraps round it.
// Many processors take a hundred times longer over an
// operation with a subnormal operand; the counts show that risk on any
// processor, including those that do not stall. The scans are timed in a row
// of their own.
//
//   bench_simulation [-window PS] [-dir DIR] [-hash] [-state-every N]
//     -window PS      the sources' window length (as the program's option)
//     -dir DIR        run in DIR (made if absent; default a new temporary directory)
//     -hash           also print a hash of every optical output over all samples,
//                     to compare runs (thread counts, builds) sample for sample
//     -state-every N  scan the blocks' state every N samples (a power of two up to 2^30;
//                     default 8192; 0: never)
//
// NODRIX_THREADS=1 in the environment runs the transforms on one thread;
// NODRIX_FFT_PLANS=estimate makes the plans by estimate instead of measuring.
// The kernel storage is sized from the dimensioning pass (-autosize).
#include <sys/resource.h>
#include <sys/time.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kernel/block.h"
#include "kernel/driver.h"
#include "kernel/schedule.h"
#include "kernel/storage.h"
#include "main/op_main.h"
#include "project/sim_160g.h"
#include "runtime/opxfile.h"
#include "runtime/wisdom.h"

using namespace nodrix;

namespace {

using Clock = std::chrono::steady_clock;

// Rows of the table: the block kinds (both amplifier kinds in one row), then
// the time between block calls (the schedule's own work), then this
// program's scans of the blocks' state.
enum Row { lasers, sources, drivers, modulators, combiners, amplifiers, fibres, filters, photodiodes, bessels,
           meters, analysers, estimators, scopes, schedule_row, scan_row, kRows };
const char* const kRowNames[kRows] = {"lasers",         "data sources",       "NRZ drivers",     "modulators",
                                      "combiners",      "amplifiers",         "fibres",          "raised-cosine filters",
                                      "photodiodes",    "Bessel filters",     "power meters",    "spectrum analysers",
                                      "estimators",     "scopes",             "schedule (between blocks)",
                                      "state scans (this bench)"};

Row row_of(std::string_view kind) {
    const std::pair<std::string_view, Row> rows[] = {
        {"laser", lasers},         {"prbs_source", sources},       {"nrz_driver", drivers},
        {"modulator", modulators}, {"combiner", combiners},        {"amplifier_fixed_gain", amplifiers},
        {"amplifier_fixed_power", amplifiers},                     {"power_meter", meters},
        {"spectrum_analyser", analysers},                          {"fibre", fibres},
        {"raised_cosine_filter", filters},                         {"photodiode", photodiodes},
        {"bessel_filter", bessels}, {"ber_estimator", estimators}, {"eye_scope", scopes}};
    for (const auto& [name, row] : rows)
        if (name == kind) return row;
    return schedule_row;
}

// What the sampling timer reads and counts (the helper thread of the plan
// store blocks all signals, so the timer always interrupts this thread).
// running_row names the row of this program's own work inside a block call
// (a scan of its state, the hash of its output), kRows otherwise; the block
// under way is then known by its label.
volatile std::sig_atomic_t running_row = kRows;
std::vector<std::pair<const char*, Row>> label_rows;  // sorted by the labels' addresses
bool by_label(const std::pair<const char*, Row>& a, const std::pair<const char*, Row>& b) {
    return std::less<const char*>()(a.first, b.first);
}

// The row of the block under way: none between the calls (the schedule's own work).
int row_now() {
    if (running_row != kRows) return running_row;
    const char* label = current_message_origin();
    const auto at = std::lower_bound(label_rows.begin(), label_rows.end(), std::pair(label, schedule_row), by_label);
    return at != label_rows.end() && at->first == label ? at->second : schedule_row;
}
volatile std::sig_atomic_t in_rounds = 0;  // 1 during the per-sample rounds
double rounds_start_cpu = 0.0;               // the process's CPU time when they began
std::int64_t sample_rounds = 0;              // the rounds the run made, noted as its blocks finish
volatile long tally[kRows] = {};
volatile long tally_rounds_total = 0;
volatile long tally_setup = 0;

void on_tick(int) {
    if (in_rounds == 1) {
        const int row = row_now();
        tally[row] = tally[row] + 1;
        tally_rounds_total = tally_rounds_total + 1;
    } else if (in_rounds == 0) {
        tally_setup = tally_setup + 1;
    }
}

bool start_sampling() {
    struct sigaction sa {};
    sa.sa_handler = on_tick;
    sa.sa_flags = SA_RESTART;  // the blocks' file calls carry on across ticks
    sigemptyset(&sa.sa_mask);
    if (sigaction(SIGPROF, &sa, nullptr) != 0) return false;
    itimerval t{};
    t.it_interval.tv_usec = 1000;
    t.it_value.tv_usec = 1000;
    return setitimer(ITIMER_PROF, &t, nullptr) == 0;
}

void stop_sampling() {
    itimerval t{};
    setitimer(ITIMER_PROF, &t, nullptr);
}

// Hash (64-bit FNV-1a) of an optical output over the per-sample rounds.
struct OutputHash {
    std::int32_t instance = 0;
    const OpticalSignal* signal = nullptr;
    std::uint64_t hash = 14695981039346656037ull;
    void add() {
        const float v[4] = {signal->x.re, signal->x.im, signal->y.re, signal->y.im};
        unsigned char bytes[sizeof v];
        std::memcpy(bytes, v, sizeof v);
        for (unsigned char c : bytes) {
            hash ^= c;
            hash *= 1099511628211ull;
        }
    }
};

Clock::time_point rounds_start;

// User and system time of the process, both threads.
double cpu_seconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           1e-6 * static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

// ---- Subnormal values in the blocks' state ----

bool subnormal(float v) {
    std::uint32_t b;
    std::memcpy(&b, &v, sizeof b);
    return (b & 0x7f800000u) == 0 && (b & 0x007fffffu) != 0;
}
bool subnormal(double v) {
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return (b & 0x7ff0000000000000ull) == 0 && (b & 0x000fffffffffffffull) != 0;
}

template <class T>
std::int64_t count_subnormal(const T* first, std::int64_t count) {
    std::int64_t n = 0;
    for (std::int64_t k = 0; k < count; ++k) n += subnormal(first[k]) ? 1 : 0;
    return n;
}

struct StateTally {
    long scans = 0;            // block states scanned
    long scans_subnormal = 0;  // of which held a subnormal value
    std::int64_t values = 0;   // subnormal values met over all scans
    std::int64_t most = 0;     // most in one scan
    std::int64_t numbers = 0;  // numbers scanned over all scans
};
StateTally state_tally[kRows];
std::int64_t state_every = 8192;
constexpr std::int64_t kWordsPerScan = 65536;  // numbers of a large state one scan takes

// When one block's state is scanned: every `period` samples (a power of two).
struct ScanPlan {
    std::int64_t period = 0;
    bool due(const RunContext& ctx) const {
        return ctx.phase() == Phase::run && period > 0 && (static_cast<std::int64_t>(ctx.step()) & (period - 1)) == 0;
    }
};

void print_state_table() {
    std::printf("\nSubnormal values in the blocks' state (scanned after the call every %lld samples; of a large "
                "state %lld numbers a scan)\n",
                static_cast<long long>(state_every), static_cast<long long>(kWordsPerScan));
    std::printf("  %-26s %8s %15s %12s %10s %14s\n", "kind", "scans", "with subnormal", "values", "most",
                "numbers seen");
    for (int r = 0; r < schedule_row; ++r) {
        const StateTally& t = state_tally[r];
        if (t.scans == 0) continue;
        std::printf("  %-26s %8ld %15ld %12lld %10lld %14lld\n", kRowNames[r], t.scans, t.scans_subnormal,
                    static_cast<long long>(t.values), static_cast<long long>(t.most),
                    static_cast<long long>(t.numbers));
    }
}

// The per-sample rounds begin with the first sample call.
void note_rounds_start() {
    if (in_rounds == 0) {
        rounds_start = Clock::now();
        rounds_start_cpu = cpu_seconds();
        in_rounds = 1;
    }
}

// Numbers (reals or doubles, a complex value two) in `elements` of a kind.
std::int64_t numbers_of(SlotKind kind, std::int32_t elements) {
    switch (kind) {
        case SlotKind::real:
        case SlotKind::real_double: return elements;
        case SlotKind::complex:
        case SlotKind::complex_double: return 2 * static_cast<std::int64_t>(elements);
        case SlotKind::integer:
        case SlotKind::text: break;
    }
    return 0;
}

// Subnormal values among the numbers [from, to) of a declared block's state,
// its claims' numbers taken one after the other.
std::int64_t subnormal_in(const StateClaims& claims, std::int64_t from, std::int64_t to) {
    std::int64_t n = 0;
    std::int64_t at = 0;  // numbers before this claim
    claims.visit([&](SlotKind kind, const void* values, std::int32_t elements) {
        const std::int64_t size = numbers_of(kind, elements);
        const std::int64_t lo = std::max(from, at) - at;
        const std::int64_t hi = std::min(to, at + size) - at;
        at += size;
        if (hi <= lo) return;
        if (kind == SlotKind::real || kind == SlotKind::complex)
            n += count_subnormal(static_cast<const float*>(values) + lo, hi - lo);
        else
            n += count_subnormal(static_cast<const double*>(values) + lo, hi - lo);
    });
    return n;
}

// The state a block holds as members: all of it when it holds at most
// kWordsPerScan numbers, else the next kWordsPerScan of a walk that wraps
// round it (a fibre holds some 10^8), so that one scan costs little and the
// scans of a run still sweep the whole state.
void note_declared_state(Row row, const StateClaims& claims, std::int64_t& walk) {
    std::int64_t total = 0;
    claims.visit([&total](SlotKind kind, const void*, std::int32_t elements) { total += numbers_of(kind, elements); });
    std::int64_t n = 0;
    std::int64_t scanned = total;
    if (total <= kWordsPerScan) {
        n = subnormal_in(claims, 0, total);
    } else {
        const std::int64_t from = walk % total;
        const std::int64_t to = from + kWordsPerScan;
        n = subnormal_in(claims, from, std::min(to, total)) + subnormal_in(claims, 0, to - total);
        walk = to % total;
        scanned = kWordsPerScan;
    }
    StateTally& t = state_tally[row];
    ++t.scans;
    if (n > 0) ++t.scans_subnormal;
    t.values += n;
    t.most = std::max(t.most, n);
    t.numbers += scanned;
}

// A declared block that notes the rounds' start and count (the first
// block), has its state scanned every so many samples, or its output hashed.
class TimedBlock final : public Block {
public:
    TimedBlock(std::unique_ptr<Block> inner, Row row, OutputHash* hash)
        : inner_(std::move(inner)), row_(row), hash_(hash) {}
    Status design(const RunContext& ctx) override { return inner_->design(ctx); }
    Status setup(const RunContext& ctx) override { return inner_->setup(ctx); }
    void run(const RunContext& ctx) override {
        note_rounds_start();
        inner_->run(ctx);
        if (plan_.due(ctx)) {
            running_row = scan_row;
            note_declared_state(row_, inner_->claims(), walk_);
            running_row = kRows;
        }
        if (hash_ != nullptr) {
            running_row = schedule_row;  // as the schedule's own work, apart from the block's
            hash_->add();
            running_row = kRows;
        }
    }
    Status finish(const RunContext& ctx) override {
        // The count lives with the run, which is gone once the program returns.
        sample_rounds = last_sample_count();
        return inner_->finish(ctx);
    }
    const StateClaims& claims() const override { return inner_->claims(); }

private:
    std::unique_ptr<Block> inner_;
    Row row_;
    OutputHash* hash_;
    ScanPlan plan_{state_every};
    std::int64_t walk_ = 0;  // where the next scan of a large state starts
};

// One transform of length 2^n with the plan the run used (FFTW keeps what it
// measured for the process), on aligned arrays with the data hot in the
// cache: the best of many.
double one_transform_seconds(int n) {
    const std::size_t length = std::size_t{1} << n;
    Complex* in = static_cast<Complex*>(fftw_malloc(length * sizeof(Complex)));
    Complex* out = static_cast<Complex*>(fftw_malloc(length * sizeof(Complex)));
    for (std::size_t i = 0; i < length; ++i) in[i] = Complex(std::cos(0.37 * i), std::sin(0.11 * i));
    const FftPlan plan = fft_plan(static_cast<std::int32_t>(length), FFTW_FORWARD, in, out);
    double best = 0.0;
    if (plan) {
        best = 1e30;
        for (int r = 0; r < 200; ++r) {
            const Clock::time_point t0 = Clock::now();
            fft_run(plan, in, out);
            best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count());
        }
    }
    fftw_free(in);
    fftw_free(out);
    return best;
}

void usage(const char* self) {
    std::fprintf(stderr, "Usage: %s [-window PS] [-dir DIR] [-hash] [-state-every N]\n", self);
}

}  // namespace

int main(int argc, char** argv) {
    std::string window;
    std::string dir;
    bool hash = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "-window" && i + 1 < argc) {
            window = argv[++i];
        } else if (a == "-dir" && i + 1 < argc) {
            dir = argv[++i];
        } else if (a == "-hash") {
            hash = true;
        } else if (a == "-state-every" && i + 1 < argc) {
            char* end = nullptr;
            state_every = std::strtoll(argv[++i], &end, 10);
            // A power of two (the test is a mask), at most 2^30.
            if (*end != '\0' || state_every < 0 || state_every > (std::int64_t{1} << 30) ||
                (state_every & (state_every - 1)) != 0) {
                usage(argv[0]);
                return 2;
            }
        } else {
            usage(argv[0]);
            return 2;
        }
    }
    std::error_code ec;
    if (dir.empty()) {
        std::string pattern = (std::filesystem::temp_directory_path() / "nodrix-bench-simulation-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            std::fprintf(stderr, "Cannot make a run directory under %s\n", pattern.c_str());
            return 2;
        }
        dir = pattern;
    } else {
        std::filesystem::create_directories(dir, ec);
    }
    std::filesystem::current_path(dir, ec);
    if (ec) {
        std::fprintf(stderr, "Cannot run in %s: %s\n", dir.c_str(), ec.message().c_str());
        return 2;
    }

    const auto schedule = sim160g::make_schedule();
    if (!schedule) return 1;
    set_project(schedule->project());
    std::vector<BlockCall>& blocks = schedule->calls();
    const std::vector<LinkBlock>& order = schedule->link().blocks;
    std::vector<OutputHash> hashes;
    hashes.reserve(blocks.size());
    std::array<int, kRows> instances{};
    bool first_wrapped = false;
    for (std::size_t j = 0; j < blocks.size() && j < order.size(); ++j) {
        const Row row = row_of(order[j].kind->name);
        ++instances[row];
        OutputHash* h = nullptr;
        if (hash && order[j].output != 0 && schedule->optical(order[j].output) != nullptr) {
            hashes.push_back({order[j].id, schedule->optical(order[j].output)});
            h = &hashes.back();
        }
        label_rows.emplace_back(blocks[j].label.c_str(), row);
        const bool first = blocks[j].block && !first_wrapped;
        first_wrapped = first_wrapped || first;
        if (blocks[j].block && (first || h != nullptr || state_every > 0))
            blocks[j].block = std::make_unique<TimedBlock>(std::move(blocks[j].block), row, h);
    }
    std::sort(label_rows.begin(), label_rows.end(), by_label);

    std::printf("sim_160G reference simulation, sample by sample (source window %s), in %s\n",
                window.empty() ? "of the project" : (window + " ps").c_str(), dir.c_str());
    std::printf("Transform threads: %d; plans %s; plan wisdom from BNLIB: %s\n", lane_threads(),
                plan_rigor() == PlanRigor::estimate ? "estimated" : "measured",
                std::getenv("BNLIB") != nullptr ? std::getenv("BNLIB") : "(not set)");

    std::vector<std::string> words = {argv[0], "-simulate", "-autosize"};
    if (!window.empty()) {
        words.push_back("-window");
        words.push_back(window);
    }
    std::vector<char*> args;
    for (std::string& w : words) args.push_back(w.data());
    args.push_back(nullptr);

    reset_fft_usage();
    fft_timing(true);
    if (!start_sampling()) std::fprintf(stderr, "No sampling timer: the per-kind table stays empty\n");
    const double cpu0 = cpu_seconds();
    const Clock::time_point t0 = Clock::now();
    const int status = op_main(static_cast<int>(args.size()) - 1, args.data());
    const Clock::time_point t1 = Clock::now();
    const double cpu_end = cpu_seconds();
    const double cpu = cpu_end - cpu0;
    in_rounds = 2;
    stop_sampling();
    const FftUsage fft = fft_usage();

    if (status != 0) std::printf("The run ended with status %d (see the messages above).\n", status);

    const double wall = std::chrono::duration<double>(t1 - t0).count();
    const double rounds = rounds_start == Clock::time_point{}
                              ? 0.0
                              : std::chrono::duration<double>(t1 - rounds_start).count();
    std::printf("\nWall time %.1f s (CPU time of both threads %.1f s)\n", wall, cpu);
    std::printf("  set-up and initialisation  %7.1f s\n", wall - rounds);
    const double rounds_cpu = rounds > 0.0 ? cpu_end - rounds_start_cpu : 0.0;
    std::printf("  per-sample rounds          %7.1f s  (%lld rounds; CPU time %.1f s)\n", rounds,
                static_cast<long long>(sample_rounds), rounds_cpu);
    std::printf("  FFT plans created: %d, in %.2f s\n", fft.plans_created, fft.plan_seconds);
    rusage peak{};
    getrusage(RUSAGE_SELF, &peak);
    std::printf("  peak resident memory %.0f MiB\n", static_cast<double>(peak.ru_maxrss) / 1024.0);

    const long total = tally_rounds_total;
    std::printf("\nCPU time per block kind in the per-sample rounds (%ld samples)\n", total);
    std::printf("  %-26s %6s %9s %8s %10s\n", "kind", "blocks", "samples", "share", "CPU s");
    double fibre_seconds = 0.0;
    for (int r = 0; r < kRows; ++r) {
        const double share = total > 0 ? static_cast<double>(tally[r]) / static_cast<double>(total) : 0.0;
        const double seconds = share * rounds_cpu;
        if (r == fibres) fibre_seconds = seconds;
        std::printf("  %-26s %6d %9ld %7.1f%% %10.2f\n", kRowNames[r], instances[static_cast<std::size_t>(r)],
                    static_cast<long>(tally[r]), 100.0 * share, seconds);
    }

    // The fibres' transforms are those of power-of-two lengths (the
    // analysers' frames have other lengths).
    std::int64_t fibre_transforms = 0;
    double fibre_fftw = 0.0;
    double floor = 0.0;
    for (int n = 1; n <= kMaxPlanExponent; ++n) {
        const std::int64_t count = fft.transforms_of[n];
        if (count == 0) continue;
        fibre_transforms += count;
        fibre_fftw += fft.seconds_of[n];
        floor += static_cast<double>(count) * one_transform_seconds(n);
    }
    std::printf("\nFibres: %.1f CPU s; inside FFTW %.1f s (%lld transforms: %lld on the calling thread, %lld on the "
                "helper)\n",
                fibre_seconds, fibre_fftw, static_cast<long long>(fibre_transforms),
                static_cast<long long>(fft.transforms[0] - fft.transforms_of[kLengthClasses - 1]),
                static_cast<long long>(fft.transforms[1]));
    const double caller_fftw = fft.seconds[0] - fft.seconds_of[kLengthClasses - 1];
    std::printf("  calling thread %.1f s = %.0f %% of the fibres' CPU time; helper thread %.1f s alongside\n",
                caller_fftw, fibre_seconds > 0.0 ? 100.0 * caller_fftw / fibre_seconds : 0.0, fft.seconds[1]);
    std::printf("  the calling thread waited %.1f s for the helper to finish its half\n", fft.waited);
    std::printf("  floor (the count times one transform of its length alone): %.1f s; inside FFTW / floor = %.2f\n",
                floor, floor > 0.0 ? fibre_fftw / floor : 0.0);
    std::printf("Spectrum analysers' frames: %lld transforms, %.2f s inside FFTW\n",
                static_cast<long long>(fft.transforms_of[kLengthClasses - 1]), fft.seconds_of[kLengthClasses - 1]);

    if (state_every > 0) print_state_table();

    if (hash) {
        std::printf("\nHashes of the optical outputs over all samples:\n");
        for (const OutputHash& h : hashes)
            std::printf("  %4d %016llx\n", h.instance, static_cast<unsigned long long>(h.hash));
    }
    return status;
}
