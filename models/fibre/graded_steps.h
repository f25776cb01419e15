// The graded step rule of the fibre and the symmetric arrangement of its
// half-operators.
//
// Equal steps make the split-step a periodic grating along the fibre: a
// four-wave-mixing product whose phase mismatch over one step is a multiple
// of 2 pi, beta2 (2 pi df1)(2 pi df2) h = 2 pi m, grows in phase from step to
// step and appears as a spurious tone. The graded rule lets the steps grow
// along the fibre, h(z) = h0 exp(kappa z), so that no two have the same
// length: a product meets the resonance only over the few steps where h
// passes through it. Along a lossy fibre kappa = 2 alpha / 3 keeps the local
// error of the symmetric scheme (power times h^3) constant; kappa is at least
// ln 2 / L (the last step is at least twice the first) and, where the
// dispersion bound caps the steps, as small as the Kerr bound allows.
//
// Target accuracy: the first step carries at most the link's largest
// non-linear phase per step at the fibre's peak power, every step is within
// the dispersion bound and within the four-wave-mixing bound at the link's
// four-wave-mixing accuracy (below), and with symmetric splitting the error of the field
// falls as the square of the steps (step_refinement F divides every step by F).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "xu/run_state.h"

namespace nodrix {

struct GradedStepInput {
    double alpha = 0.0;       // field attenuation [1/km]
    double gamma = 0.0;       // non-linear coefficient [1/mW/km]
    double peak_power = 0.0;  // peak power at the fibre's input [mW]
    double length = 0.0;      // L [km]
    double h_max = 0.0;       // dispersion bound of one step [km]
    double phase = 0.0;       // largest Kerr phase of the first step [rad]
    double refinement = 1.0;  // every step divided by this factor
};

// The four-wave-mixing bound of the graded rule: the longest step over which
// the product of the widest-spaced carriers, df apart (2 f_a - f_c), gathers
// a phase mismatch |beta2| (2 pi df)^2 h of `cycles` times 2 pi [km]; every
// other product of the channel plan gathers less. Infinite for one carrier
// or no dispersion.
double fwm_step_bound(double beta2, double spread_thz, double cycles);

// The mismatch a step may gather, in cycles, for a four-wave-mixing accuracy
// of X dB: a product's field, a fraction phi = gamma P L_eff of its
// channel's (P the power per carrier), is in error by about the mismatch a
// step leaves unresolved, so that error, phi times the cycles, is kept at
// 10^(-X/20) of the channel's field: cycles = 10^(-X/20) / phi. Weak
// non-linearity allows long steps, strong asks for short ones (at 18 dB and
// phi = 0.126, one cycle).
double fwm_mismatch_cycles(double accuracy_db, double phi);

// The profile h(z) = h0 exp(kappa z) of the graded rule.
struct GradedProfile {
    double h0 = 0.0;     // first step [km]
    double kappa = 0.0;  // growth [1/km]
};
GradedProfile graded_profile(const GradedStepInput& in);

// Number of graded steps the profile asks for over the fibre.
double graded_count(const GradedStepInput& in, const GradedProfile& p);

// Fills h[0..n) with the graded steps (strictly growing, summing to L, none
// longer than the profile where it starts) and returns n; returns -1,
// leaving h untouched, when more than `most` steps would be needed.
std::int32_t graded_steps(const GradedStepInput& in, std::span<double> h, std::int32_t most);

// Divides each of the n steps into round(factor) equal ones, as far as the
// list holds them (a finer plan of the same rule).
void subdivide_steps(std::span<double> h, std::int32_t& n, double factor);

// The symmetric arrangement of n steps h: n + 1 dispersion steps (h1 / 2,
// (h1 + h2) / 2, ..., hn / 2), each followed by the Kerr phase and loss of
// step i (none after the last).
struct SymmetricSteps {
    std::vector<double> dispersion;  // [km]
    std::vector<double> kerr;        // [km]
};
SymmetricSteps symmetric_steps(std::span<const double> h, std::int32_t n);

// gamma times the effective length of a step h with field attenuation alpha,
// gamma (1 - exp(-2 alpha h)) / (2 alpha), exact for short steps.
double kerr_effective_length(double gamma, double alpha, double h);

}  // namespace nodrix

namespace nodrix {

// A four-wave-mixing product of channels a + b - c (indices into the
// frequencies) whose phase mismatch over one step h, beta2 (2 pi (fa - fc))
// (2 pi (fb - fc)) h, is 2 pi m to within the tolerance (in units of 2 pi).
struct ResonantProduct {
    std::size_t a = 0, b = 0, c = 0;
    std::int64_t m = 0;
};
std::vector<ResonantProduct> resonant_products(std::span<const double> frequencies_thz, double beta2, double h,
                                               double tolerance);

// A fibre's step plan as `nodrix check` judges it: its steps, how many of
// them have the length of the last one, and what the resonance needs.
struct StepPlanNote {
    std::int32_t instance = 0;
    std::int32_t steps = 0;
    std::int32_t equal_steps = 0;  // steps as long as the last one
    double step_km = 0.0;          // the last step
    double beta2 = 0.0;            // [ps^2/km]
    double effective_length_km = 0.0;
    // The delay of the output behind the input, buffer and step filters
    // together [time steps], once the filters are designed (else -1).
    std::int64_t latency = -1;
};

// Collects, while it lives, the step plans the fibres make (the last one of
// each fibre); logs nest, the innermost one of the run of the program
// (RunState) collects.
class StepPlanLog {
public:
    const std::vector<StepPlanNote>& notes() const { return notes_; }
    void add(const StepPlanNote& note);

private:
    std::vector<StepPlanNote> notes_;
    LiveLog<StepPlanLog> live_{this};
};

// Gives the note to the live StepPlanLog, if any.
void note_step_plan(const StepPlanNote& note);
// Gives the live StepPlanLog, if any, a fibre's latency (a note of its own
// when it has none yet).
void note_fibre_latency(std::int32_t instance, std::int64_t latency);

}  // namespace nodrix
