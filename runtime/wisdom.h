// The FFT plan store: one forward and one backward FFTW plan per power-of-two
// length 2^n (n = 1..14), created on request and shared by every model, with
// optional plan wisdom read from "opwis.pln" in the directory named by BNLIB.
//
// Large transforms may use the machine's second core: work that falls into
// two independent halves ("lanes") runs lane 0 on the calling thread and
// lane 1 on a persistent helper thread. The helper spins briefly after each
// task and then sleeps until the next one; NODRIX_THREADS=1 in the
// environment (or a machine with one core) keeps both lanes on the calling
// thread. Either way the lanes compute exactly the same numbers, so results
// never depend on the number of threads. Plans and tables are only created on
// the calling thread; FFTW executes power-of-two plans reentrantly.
#pragma once

#include <fftw.h>

#include <array>
#include <cstdint>

namespace nodrix {

struct PPlan {
    std::array<fftw_plan, 15> forward{};   // forward[n]: length 2^n (n = 1..14)
    std::array<fftw_plan, 15> backward{};  // backward[n]
    std::int32_t wisdom = 0;               // 1 when wisdom was imported
};
extern PPlan pplan;

inline constexpr int kMaxPlanExponent = 14;

void opxplancreate();
void import_plan(std::int32_t& flag);
void create_plans(std::int32_t n);
// Destroys the plans and stops the helper thread.
void opxplandestroy();

// The plan of length 2^n of one direction, created when absent (measuring a
// plan takes seconds: only the direction asked for is made).
fftw_plan forward_plan(std::int32_t n);
fftw_plan backward_plan(std::int32_t n);

// The wisdom file path for a BNLIB value: "<dir>/opwis.pln".
const char* wisdom_file_name();

// ---- Two lanes -------------------------------------------------------------

// One half of a piece of work: called with lane 0 and with lane 1.
using LaneTask = void (*)(int lane, void* context);

// Runs task(0, context) on the calling thread and task(1, context) on the
// helper thread, and returns when both are done. With `concurrent` false, or
// with one thread, both lanes run on the calling thread, lane 0 first. The
// two lanes must not write the same memory.
void run_lanes(LaneTask task, void* context, bool concurrent);

template <class F>
void run_lanes(F& body, bool concurrent) {
    run_lanes([](int lane, void* c) { (*static_cast<F*>(c))(lane); }, &body, concurrent);
}

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

// ---- Split transforms ------------------------------------------------------

// A transform of length L = 2^n split by one radix-2 step into two transforms
// of length L/2 that run as two lanes:
//   X[k] = E[k] + w^k O[k],  X[k + L/2] = E[k] - w^k O[k],  k < L/2,
// with E and O the half-length transforms of the even and the odd samples and
// w = exp(-2 pi i / L) (its conjugate for the backward direction).
// Lengths 4 .. 2^14 are split (n = 2..14); length 2 is done by its plan.

// w^j = exp(-2 pi i j / L) for j = 0 .. L/2 - 1 (L = 2^n, n = 1..14), built
// on the calling thread at the first request; null for other n.
const fftw_complex* fft_twiddles(std::int32_t n);

// Makes the half-length plans and the twiddles of length 2^n ready (on the
// calling thread); false when n is outside 1..14 or a plan cannot be made.
bool fft_split_ready(std::int32_t n);

// Transform of length 2^n of `in` into `out` (direction FFTW_FORWARD or
// FFTW_BACKWARD, unnormalised like fftw_one); `in` and `out` may be the same
// array. Does nothing when n is outside 1..14.
void fft_execute(std::int32_t n, int direction, const fftw_complex* in, fftw_complex* out);

// Executes a plan (fftw_one), counted and, when timing is on, timed.
void fft_run(fftw_plan plan, const fftw_complex* in, fftw_complex* out);

// Use of the transforms since the last reset, per thread ([0] the calling
// thread, [1] the helper): the transforms executed through fft_run and
// fft_execute and the wall time spent inside them, and the time the calling
// thread waited for the helper to finish its lane (times only while
// fft_timing is on); the plans created and the time their creation took
// (measuring plans can take seconds per length).
struct FftUsage {
    std::int64_t transforms[2] = {0, 0};
    double seconds[2] = {0.0, 0.0};
    double waited = 0.0;
    std::int32_t plans_created = 0;
    double plan_seconds = 0.0;
};
FftUsage fft_usage();
void reset_fft_usage();
void fft_timing(bool on);

}  // namespace nodrix
