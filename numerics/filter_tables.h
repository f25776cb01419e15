// Frequency tables shared by the fibre step-filter design and the amplifier
// filter design: nine tables of 16384 values over the normalised frequency
// x_j = j / 8192, j = -8192..8191 (x in units of the Nyquist frequency), so a
// design of P points reads every (16384 / P)-th value. Away from x = 0 the
// tables E1..E5 hold (x - 1)^p for x > 0 and (x + 1)^p for x < 0: the powers
// of the frequency of FFT bin j in natural storage order, smoothed across the
// Nyquist point by s = erf(20 x).
#pragma once

#include <array>

namespace nodrix {

inline constexpr int kTableSize = 16384;

struct WwFunc {
    std::array<double, kTableSize> e1{};  // x - s
    std::array<double, kTableSize> e2{};  // (1 + x^2) - 2 s x - (0.1 / sqrt(pi)) e^(-400 x^2)
    std::array<double, kTableSize> e3{};  // (3 + x^2) x - (3 x^2 + 1) s
    std::array<double, kTableSize> e4{};  // 0.5 ((x - 1)^4 (1 + s) + (1 - s)(x + 1)^4)
    std::array<double, kTableSize> e5{};  // 0.5 ((x + 1)^5 (1 - s) + (x - 1)^5 (1 + s))
    std::array<double, kTableSize> es{};  // s
    std::array<double, kTableSize> eg{};  // e^(-400 x^2)
    std::array<double, kTableSize> ep{};  // pi x
    std::array<double, kTableSize> ew{};  // 0.5 (2 - erf(40 (x + 0.1)) + erf(40 (x - 0.1)))
};

// The tables, filled at the first call (once, whichever thread asks first)
// and only read after.
const WwFunc& filter_tables();

// Fills the tables now (start-up), so that no design pays for it.
void opx_filter_init();

// Normalised frequency of table index i (0-based): (i - 8192) / 8192.
inline double table_x(int i) { return static_cast<double>(i - kTableSize / 2) / (kTableSize / 2); }

}  // namespace nodrix
