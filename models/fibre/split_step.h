// Split-step propagation of the fibre: the choice of integration steps (by the
// non-linear rule for a fibre, by dispersion alone for a linear element such as
// a grating), the split request written when a fibre would need more than
// 50000 steps, and the two half-operators applied per step at run time: the
// linear one (dispersion by FFT overlap-add with the step filter) and the
// non-linear one (Kerr phase and loss, sample by sample).
#pragma once

#include <complex>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "xu/run_state.h"

namespace nodrix {

// Longest step list of one fibre block.
inline constexpr std::int32_t kMaxSteps = 50000;

// The dispersion bound of both rules: D, the largest |local dispersion| over
// 40 % of the sampling band [ps^2/km] (1e-6 when zero), and the longest step
// it allows, h_D = 1000 dt^2 / D [km].
struct DispersionBound {
    double d = 0.0;
    double h_max = 0.0;
};
DispersionBound dispersion_bound(double beta2, double beta3, double beta4, double beta5, double dt);

// Rounds to nearest, then adds 1 when the result is 0 or the value exceeds it
// by more than 0.0001.
std::int64_t step_ceiling(double v);

// Inputs of the non-linear rule.
struct NonlinearStepInput {
    double beta2 = 0.0, beta3 = 0.0, beta4 = 0.0, beta5 = 0.0;  // ps^k/km
    double total_power = 0.0;    // power of the detected carriers P_tot [mW]
    double peak_power = 0.0;     // peak power estimate P_peak [mW]
    std::int32_t carriers = 1;   // detected carriers C
    double alpha = 0.0;          // field attenuation [1/km]
    double gamma = 0.0;          // non-linear coefficient [1/mW/km]
    double length = 0.0;         // L [km]
    double system_length = 0.0;  // reference system length Lsys [km]
    double phase_divisor = 360.0;  // 360 / largest non-linear phase per step [degrees]
    double fwm_accuracy = 18.0;  // accuracy X of the four-wave-mixing estimate [dB]
};

// Non-linear rule for the time step dt [ps]. Fills h[0..n) (h must hold
// kMaxSteps values; it is cleared first) and the uniform flag; when more than
// kMaxSteps steps would be needed, writes the split request to `memfile`
// (50-character number fields) and returns n = -1.
void stpeva(const NonlinearStepInput& in, double dt, std::int32_t& n, std::span<double> h, std::int32_t& uniform,
            std::int32_t memfile, std::int32_t instance);

// Linear rule: equal steps no longer than h_D; more than kMaxSteps of them
// give the split request (12-character number fields) and n = -1.
void stpeli(double beta2, double beta3, double beta4, double beta5, double length, double dt, std::int32_t& n,
            std::span<double> h, std::int32_t memfile, std::int32_t instance);

// Why a fibre asks to be cut into consecutive pieces: its step plan needs more
// steps than one step list holds, or its run storage passes the block limit.
enum class SplitReason { steps, storage };

// A fibre's request to be cut into consecutive pieces of the given lengths.
struct SplitRequest {
    std::int32_t instance = 0;
    std::vector<double> pieces_km;
    SplitReason reason = SplitReason::steps;
    // The Kerr phase over the whole fibre at the peak power the step rule
    // designs for, gamma P_peak L_eff [rad] (0 for a linear element and for
    // a request on storage).
    double kerr_phase_rad = 0.0;
};

// Collects, while it lives, the split requests the fibres make (besides the
// lines they write to the dimensioning file), for a caller that re-forms the
// link from them after the dimensioning pass. Logs nest: the innermost one
// of the run of the program (RunState) collects.
class SplitRequestLog {
public:
    const std::vector<SplitRequest>& requests() const { return requests_; }
    void add(SplitRequest request) { requests_.push_back(std::move(request)); }

private:
    std::vector<SplitRequest> requests_;
    LiveLog<SplitRequestLog> live_{this};
};

// Writes the lines "fiber", "numsplit" and one "length" per piece to the
// dimensioning file (when one is open); the number fields are 50 characters
// wide (blank-padded after the number) or 12. The request also goes to the
// live SplitRequestLog, if any.
void write_split_request(std::int32_t memfile, const SplitRequest& request, int field_width);

// Linear half-step of step `step` (1-based): filters the buffer of n samples
// in place, block by block of M = 2^exponent[step-1] samples, by FFT
// overlap-add with the step's 2M coefficients `coef` (frequency response
// already divided by 2M, in chain order: see chain_order) and its overlap memory `memory` (M samples, kept
// between buffers). `work` holds 4n values, at any alignment (the plan store
// plans for the alignment it has). The
// transforms of length 2M run as two chains of length M, shared with the
// plan store's helper thread.
// With g and a given, the non-linear half-step of the same step follows, as
// snonli(step, g, a, n, buffer) would do it (when the filter is as long as
// the buffer, in the same pass over the samples).
void slinea(std::int32_t step, const std::int32_t* exponent, const std::int32_t* offset, const std::int32_t* blocks,
            const std::complex<double>* coef, std::complex<double>* memory, std::int32_t n,
            std::complex<double>* work, std::complex<double>* buffer, const double* g = nullptr,
            const double* a = nullptr);

// Puts the 2M = 2^(k+1) coefficients of a step filter in the order slinea
// reads them: the even-indexed ones, then the odd-indexed ones (each chain of
// the transform multiplies by one half, read contiguously).
void chain_order(std::complex<double>* coef, std::int32_t k);

// Makes the FFT plan (for arrays on FFTW's alignment; slinea has the plan of
// other arrays made when it first meets them) and the twiddles that slinea
// needs for filters of 2^k taps, on the calling thread; false when there can
// be none (k outside 0..13).
bool slinea_ready(std::int32_t k);

// Non-linear half-step of step `step` (1-based): every sample u becomes
// a u exp(-i g |u|^2) with g = g[step-1] (gamma times the effective length)
// and a = a[step-1] (field loss factor).
void snonli(std::int32_t step, const double* g, const double* a, std::int32_t n, std::complex<double>* buffer);

// The element loops of both half-steps work on four doubles at once where the
// processor has AVX (the default), or on two: the results are the same to
// the bit either way. For tests and benchmarks.
void set_wide_loops(bool on);

// The phase rotation of snonli for one phase: cos and sin by their series for
// small phases, exactly otherwise.
void kerr_rotation(double phi, double& c, double& s);

}  // namespace nodrix
