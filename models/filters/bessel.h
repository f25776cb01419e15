// The electrical Bessel filter `filbes` of the block library: low-pass,
// high-pass and band-pass cascades of first- and second-order sections
// obtained from the Bessel prototype poles by the bilinear transform with
// frequency pre-warping. The design is made at the first sample of a run
// (zdctrl.dtime at or below 0); every later sample runs the cascade in double
// precision on the section states kept in kernel storage.
#pragma once

#include <complex>
#include <cstdint>
#include <string>
#include <vector>

#include "kernel/signals.h"

namespace nodrix {

struct FilbesParams {
    std::int32_t filter_type = 1;   // 1 low-pass, 2 band-pass, 3 high-pass
    std::int32_t order = 1;         // 1 to 10
    float centre_frequency = 0.0f;  // band-pass centre [THz]; 0 for low-pass and high-pass
    float bandwidth = 0.0f;         // 3-dB bandwidth (low-pass, high-pass: the 3-dB frequency) [THz]
    float output_gain = 1.0f;       // multiplies the filter output
    std::int32_t write_charts = 0;  // 0 or 1: hand the response range to the chart output
    std::string chart_title;        // title of that chart
};

void filbes(const FilbesParams& p, const ElectricalSample& in, ElectricalSample& out);

// Low-pass (type 1) and high-pass (type 3) design and filtering of one sample.
void fqbslh(std::int32_t type, std::int32_t order, float bandwidth, float gain, double input, double& output);
// Band-pass forms for centre frequencies below and above 0.2 fs: the
// low-pass to band-pass transformation of the same prototype, bilinear with
// both 3-dB edges (centre -+ bandwidth/2) pre-warped. The design holds for
// any band inside (0, fs/2), so both forms share it.
void fqbsbb(std::int32_t order, float centre, float bandwidth, float gain, double input, double& output);
void fqbsba(std::int32_t order, float centre, float bandwidth, float gain, double input, double& output);

// Tangent in double precision.
double xtan(double x);

// Frequency range [THz] of the response chart asked for with write_charts;
// the legacy chart output that draws it is not part of this program, so the
// range is only kept (last_chart_range).
void oqfcha(double lowest, double highest);
struct ChartRange {
    double lowest = 0.0;
    double highest = 0.0;
    std::int32_t requests = 0;
};
ChartRange last_chart_range();

// ---- Numerics (pure) ----

// Prototype poles of order 1 to 10, normalised to a 3-dB angular frequency of
// 1: the real pole's magnitude (0 for even orders) and the upper-half-plane
// complex poles, largest imaginary part first.
struct BesselPrototype {
    double real_pole = 0.0;
    std::vector<std::complex<double>> pairs;
};
BesselPrototype bessel_prototype(std::int32_t order);

// Coefficient counts of a design: low-pass/high-pass 2 (odd orders) + 3 per
// second-order section; band-pass 3 per section, one section per order.
std::int32_t lowhigh_coefficients(std::int32_t order);
std::int32_t bandpass_coefficients(std::int32_t order);

// Section coefficients of the low-pass (type 1) or high-pass (type 3) design
// for the pre-warped t = tan(pi bandwidth dt): first-order (b, c), then per
// pair (b0, c1, c2).
void design_lowhigh(std::int32_t type, std::int32_t order, double t, double* coefficients);
// One sample through the low-pass/high-pass cascade; `state` holds 2 x order values.
double run_lowhigh(std::int32_t type, std::int32_t order, const double* coefficients, double* state, double x);

// Band-pass sections for pre-warped edges w1 = tan(pi f1 dt) < w2 = tan(pi f2 dt):
// (b0, c1, c2) per section, numerator b0 (1 - z^-2).
void design_bandpass(std::int32_t order, double w1, double w2, double* coefficients);
// One sample through the band-pass cascade; `state` holds 4 x order values.
double run_bandpass(std::int32_t order, const double* coefficients, double* state, double x);

}  // namespace nodrix
