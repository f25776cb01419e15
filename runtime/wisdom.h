// The FFT plan store: FFTW 3 plans made once per run and shared by every
// model, with optional plan wisdom read from "opwis.pln" in the directory
// named by BNLIB. The plans and tables belong to the run of the program that
// made them (its RunState, xu/run_state.h), so that runs on threads at once
// never destroy each other's; FFTW's planner and wisdom are the process's, so
// every plan is made and destroyed, and wisdom read, under the store's lock.
//
// An FFTW 3 plan is made for arrays of one placement (in place or not) and
// one memory alignment, and its SIMD code may rely on that alignment. The
// store therefore hands out plans for given arrays: the plan of the arrays'
// placement and alignment (fftw_alignment_of), made on scratch arrays of the
// same alignment the first time it is asked for. Arrays aligned as FFTW's own
// allocation (every double complex array on a 16-byte boundary, with the FFTW
// of this system) get the aligned plans, the one forward and one backward
// plan per power-of-two length 2^n (n = 1..14), out of place.
//
// How plans are chosen (plan_rigor): measured by default (FFTW times
// candidate algorithms, as the store always has; wisdom read at start, when
// present, decides instead of the timing); with NODRIX_FFT_PLANS=estimate in
// the environment, estimated (FFTW's operation-count heuristic). Different
// algorithms round differently in the last bits, and measuring picks among
// nearly equal candidates by the clock, so only estimated plans, or plans
// from one wisdom file, give byte-identical runs every time.
//
// Large transforms may use the machine's second core: work that falls into
// two independent halves ("lanes") runs lane 0 on the calling thread and
// lane 1 on a persistent helper thread. Either thread, waiting for the
// other, polls for some microseconds and then sleeps in the kernel, using no
// processor time while it waits; NODRIX_THREADS=1 in the
// environment (or a machine with one core) keeps both lanes on the calling
// thread. Either way the lanes compute exactly the same numbers, so results
// never depend on the number of threads. Plans and tables are only created on
// the calling thread; executing a plan (fft_run) is safe on both threads.
#pragma once

#include <fftw3.h>

#include <array>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <string>

namespace nodrix {

struct PPlan {
    std::array<fftw_plan, 15> forward{};   // forward[n]: length 2^n (n = 1..14), out of place, aligned arrays
    std::array<fftw_plan, 15> backward{};  // backward[n]
    std::int32_t wisdom = 0;               // 1 when wisdom was imported
};
// The store's aligned out-of-place plans of powers of two.
const PPlan& aligned_plans();

inline constexpr int kMaxPlanExponent = 14;

// Destroys any plans of the run's earlier pass and imports the wisdom file.
void opxplancreate();
// Imports the wisdom file when BNLIB is set: flag 1 when FFTW took it. BNLIB
// naming no directory, a directory without the file, and a file that cannot
// be used (not a regular file, unreadable, damaged, not wisdom of this
// program's FFTW, rejected by FFTW) are each a warning; nothing of such a
// file is used. Says in the verbose output where the plans will come from.
void import_plan(std::int32_t& flag);
void create_plans(std::int32_t n);
// Destroys every plan of the run and, when no other run of the process is
// between its opxplancreate and opxplandestroy, stops the helper thread;
// says in the verbose output which plans the run used (from the wisdom file,
// measured, estimated) when it made any.
void opxplandestroy();

// The plan of length 2^n of one direction for aligned out-of-place arrays,
// created when absent (only the direction asked for is made).
fftw_plan forward_plan(std::int32_t n);
fftw_plan backward_plan(std::int32_t n);

// The wisdom file path for a BNLIB value: "<dir>/opwis.pln".
const char* wisdom_file_name();

// ---- Wisdom ------------------------------------------------------------------

// The wisdom file holds FFTW's own wisdom text behind one line of ours,
//   nodrix-wisdom fnv1a64 HHHHHHHHHHHHHHHH
// the 64-bit FNV-1a checksum of the text that follows it (16 hexadecimal
// digits), so that damage to the file (one changed digit makes FFTW pass the
// plan it belongs to over without a word) is found. FFTW is handed the text
// behind the line, exactly as it wrote it. A file without the line (written
// before it was added) is FFTW's text alone and is read as such, unchecked.

// What reading a wisdom file gave.
struct WisdomImport {
    bool present = false;   // something of that name exists
    bool imported = false;  // FFTW took all of it
    bool checked = false;   // its checksum line was there and matched
    std::string reason;     // why not, when present and not imported
};
// Reads a wisdom file into FFTW. A file that is not a regular file, whose
// checksum does not match, that is not wisdom of this program's FFTW, or that
// FFTW rejects leaves FFTW's wisdom as it was.
WisdomImport import_wisdom_file(const std::string& path);
// The content of a wisdom file holding FFTW's present wisdom: the checksum
// line and FFTW's text.
std::string wisdom_file_text();
// Makes the plans of length 2^n (n = 1..14) of both directions thoroughly
// (FFTW's patient planning) for the arrays the store plans for, aligned as a
// double complex array can be, so that FFTW's wisdom holds them; false when
// one cannot be made.
bool learn_plans(std::int32_t n);
// Forgets every wisdom FFTW holds (plans made already stay valid).
void forget_wisdom();

// ---- How plans are chosen ----------------------------------------------------

enum class PlanRigor { measure, estimate };
// The rigor of the store's plans: from NODRIX_FFT_PLANS ("estimate", else
// measure), read at the first need.
PlanRigor plan_rigor();
// Overrides the rigor for the plans made afterwards; reset_plan_rigor returns
// to the environment's choice, read again.
void set_plan_rigor(PlanRigor rigor);
void reset_plan_rigor();

// ---- Transforms ------------------------------------------------------------

using Complex = std::complex<double>;

// The plan of a transform of `length` points in `direction` (FFTW_FORWARD or
// FFTW_BACKWARD, unnormalised) fit for the arrays `in` and `out` (in place
// when they are the same) and for any arrays of the same placement and
// alignment. `estimated` asks for an estimated plan whatever the rigor (for
// occasional transforms, whose measuring would cost more than it saves).
// Made on the calling thread when absent; empty when length < 1 or FFTW
// cannot plan it.
struct FftPlan {
    fftw_plan plan = nullptr;
    std::int32_t length = 0;
    explicit operator bool() const { return plan != nullptr; }
};
FftPlan fft_plan(std::int32_t length, int direction, const Complex* in, const Complex* out, bool estimated = false);

// Executes a plan from fft_plan on arrays of the placement and alignment it
// was asked for, counted and, when timing is on, timed. The input of an
// out-of-place transform is left unchanged.
void fft_run(const FftPlan& plan, const Complex* in, Complex* out);

// w^j = exp(-2 pi i j / L) for j = 0 .. L/2 - 1 (L = 2^n, n = 1..14), built
// on the calling thread at the first request; null for other n.
const Complex* fft_twiddles(std::int32_t n);

// ---- Two lanes -------------------------------------------------------------

// One half of a piece of work: called with lane 0 and with lane 1.
using LaneTask = void (*)(int lane, void* context);

// Runs task(0, context) on the calling thread and task(1, context) on the
// helper thread, and returns when both are done. With `concurrent` false,
// with one thread, or while another thread's lanes have the helper, both
// lanes run on the calling thread, lane 0 first. The two lanes must not
// write the same memory.
void run_lanes(LaneTask task, void* context, bool concurrent);

template <class F>
void run_lanes(F& body, bool concurrent) {
    run_lanes([](int lane, void* c) { (*static_cast<F*>(c))(lane); }, &body, concurrent);
}

// While one lives, a series of run_lanes calls follows in close succession
// (the steps of a fibre's buffer): both sides of the lanes poll longer for
// the next task or the other lane's end before they sleep, and the helper
// goes to sleep once no series is under way. Series on several threads
// count together; the results of the lanes do not depend on them.
class LaneSeries {
public:
    LaneSeries();
    ~LaneSeries();
    LaneSeries(const LaneSeries&) = delete;
    LaneSeries& operator=(const LaneSeries&) = delete;
};
bool lane_series_under_way();

// Threads the lanes use: 2, or 1 when NODRIX_THREADS is 1 or the machine has
// a single core. The environment is read at the first call; a value that is
// not a positive whole number, or more threads than can be used, is a warning
// (the default, or the most that can be used, holds).
int lane_threads();
// Overrides the number of threads (1 or 2; 0 returns to the environment's
// choice, read again); stops the helper when going to one thread.
void set_lane_threads(int threads);
// Stops the helper thread (it is started again when lanes next run together).
void stop_lanes();

// ---- Use -------------------------------------------------------------------

// Use of the transforms since the last reset, per thread ([0] the calling
// thread, [1] the helper): the transforms executed through fft_run and the
// thread's processor time spent inside them (taken from every eighth
// transform of each length and scaled to all of them), and the wall time
// the calling thread waited for the helper to finish its lane (times only
// while fft_timing is on); the same for both threads together by length
// (2^n in class n, other lengths in the last class); the plans created and
// the time their creation took.
inline constexpr int kLengthClasses = kMaxPlanExponent + 2;
struct FftUsage {
    std::int64_t transforms[2] = {0, 0};
    double seconds[2] = {0.0, 0.0};
    double waited = 0.0;
    std::int64_t transforms_of[kLengthClasses] = {};
    double seconds_of[kLengthClasses] = {};
    std::int32_t plans_created = 0;
    double plan_seconds = 0.0;
};
FftUsage fft_usage();
void reset_fft_usage();
void fft_timing(bool on);

}  // namespace nodrix
