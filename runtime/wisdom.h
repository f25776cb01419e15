// The FFT plan store: one forward and one backward FFTW plan per power-of-two
// length 2^n (n = 1..14), created on request and shared by every model, with
// optional plan wisdom read from "opwis.pln" in the directory named by BNLIB.
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
void opxplandestroy();

// The plans of length 2^n, created when absent.
fftw_plan forward_plan(std::int32_t n);
fftw_plan backward_plan(std::int32_t n);

// The wisdom file path for a BNLIB value: "<dir>/opwis.pln".
const char* wisdom_file_name();

}  // namespace nodrix
