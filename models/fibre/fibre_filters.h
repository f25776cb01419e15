// Step-filter synthesis of the fibre: for every integration step a finite
// impulse response that applies the step's dispersion (beta2..beta5 over the
// step length) and the frequency-dependent part of its loss, designed by
// frequency sampling of the shared tables of numerics/filter_tables.h; the
// optional random local beta2 per fibre section; the group delay accumulated
// over the 1024 spectrum bins; and the working files that hand the design to
// the run ("om", "o1", "o4", "o7", "os").
#pragma once

#include <array>
#include <complex>
#include <cstdint>
#include <vector>

#include "kernel/control_blocks.h"

namespace nodrix {

// Largest filter length the tables allow for a final design of 2M points.
inline constexpr std::int32_t kMaxFilterExponent = 13;
// Largest design the tables allow during the size search (M points).
inline constexpr std::int32_t kMaxSearchExponent = 14;
// Number of levels of the random-dispersion table.
inline constexpr std::int32_t kDispersionLevels = 5;

// ---------------------------------------------------------------------------
// Random streams

// Next uniform value u of stream g (1..10) from the stream's own state.
// `counter` is the caller's draw counter of that stream: it is incremented,
// and a draw with counter 1 (re)starts the stream from 2 * seed - 1 (1 is
// replaced by 3173 on streams 1-5 and 1234 on streams 6-10), so a caller that
// clears its counter gets a reproducible sequence. Of successive draws at
// counter 1 only the first restarts; a draw at a higher count re-arms it.
void rndgen(std::int32_t stream, std::int32_t& counter, std::int32_t seed, float& u);
// Puts the ten streams back into their start-of-process state (tests).
void reset_random_streams();

// ---------------------------------------------------------------------------
// Random local dispersion

// n equally spaced values from low to high (n = 1: the midpoint).
void valb2p(double low, double high, std::int32_t n, double* table);
// n equally spaced values from mean + 3 sigma down to mean - 3 sigma (n = 1: the mean).
void vb2p3s(double mean, double sigma, std::int32_t n, double* table);
// Uniform model: a level of the table drawn with stream (k mod 10) + 1.
void detfib(std::int32_t k, double low, double high, std::int32_t n, const double* table, const std::int32_t* seed,
            std::int32_t* counters, double& beta2);
// Gaussian model: mean + sigma * sqrt(-2 ln u2) cos(2 pi u), mapped onto the
// nearest level of the table (ties go to the earlier level).
void dfib3s(std::int32_t k, double mean, double sigma, std::int32_t n, const double* table, const std::int32_t* seed,
            std::int32_t* counters, double& beta2);

// Smallest and largest of array(i1..i2) (1-based, inclusive).
void searmm(std::int32_t i1, std::int32_t i2, const double* array, double& minimum, double& maximum);

// ---------------------------------------------------------------------------
// Loss shape of the step filters

// A user loss profile: loss [dB/km] against rising frequency [THz], with the
// second derivatives of its clamped cubic spline. Outside its abscissae the
// loss keeps the end values (a cubic continued far beyond its data can turn a
// loss into unbounded gain).
struct LossProfile {
    std::vector<double> f;     // THz, rising
    std::vector<double> loss;  // dB/km
    std::vector<double> y2;    // spline second derivatives
    double value(double frequency) const;
};

// What each step filter applies besides dispersion: the loss relative to the
// centre frequency, from the slope and curvature or from a profile. The filter
// design evaluates the polynomial through the tables' smoothed powers of the
// frequency and tapers the profile towards the Nyquist point, so the response
// has no jump there; inside the simulated band both are the loss as given.
struct LossShape {
    float slope = 0.0f;      // dB/km/THz (rpar 4)
    float curvature = 0.0f;  // dB/km/THz^2 (rpar 5)
    const LossProfile* profile = nullptr;
    double fcenter = 0.0;    // THz

    // Loss [dB/km] at offset df [THz] from the centre, relative to the centre.
    double relative_loss(double df) const;
    bool flat() const { return profile == nullptr && slope == 0.0f && curvature == 0.0f; }
};

// One step of fibre as the filter design sees it.
struct StepFilterInput {
    double h = 0.0;  // step length [km]
    double beta2 = 0.0, beta3 = 0.0, beta4 = 0.0, beta5 = 0.0;  // ps^k/km
    LossShape loss;
};

// A designed step filter.
struct StepFilterDesign {
    std::int32_t k = 0;                         // exponent: M = 2^k taps
    std::int32_t delay = 0;                     // centring delay d [samples]
    std::vector<std::complex<double>> coef;     // 2M frequency-domain coefficients (FFT order)
    std::array<double, kBins> tau{};            // group delay per spectrum bin [ps]
    bool loop = false;                          // the size search stopped as a loop
    bool limited = false;                       // the design was cut to 2^13 taps
};

// Spread of the step's group delay over the band, in samples.
double step_delay_spread(const StepFilterInput& s, double dt);
// First filter exponent of the size search for a spread of S samples.
std::int32_t initial_filter_exponent(double spread);

// The design itself: size search, final 2M-point filter, group delay per bin.
// dt is the sampling step [ps], epsilon the filter precision.
void coefn5(const StepFilterInput& s, double dt, double epsilon, StepFilterDesign& out);

// Designs one step filter to the given precision (reusing `cache` when the
// same step was designed before), reports a search that stopped as a loop or was cut, and, outside
// the dimensioning mode, writes the 2M coefficients to the unit of "o4", one
// complex double per record. Returns false when "o4" cannot be written.
class StepFilterCache;
bool sfilco(std::int32_t unit_o4, const StepFilterInput& s, double precision, StepFilterCache* cache,
            const StepFilterDesign*& design);

// Designs already made within one fibre: equal steps with equal local beta2
// have equal filters, so each distinct one is designed once.
class StepFilterCache {
public:
    const StepFilterDesign* find(double h, double beta2) const;
    const StepFilterDesign* add(double h, double beta2, StepFilterDesign&& d);

private:
    struct Entry {
        double h = 0.0;
        double beta2 = 0.0;
        StepFilterDesign design;
    };
    static constexpr std::size_t kCapacity = 8;
    std::vector<Entry> entries_;
    std::size_t next_ = 0;
};

// ---------------------------------------------------------------------------
// The filter synthesis of one fibre

struct WrtfisInput {
    std::int32_t k = 1;                 // (instance mod 50) + 1
    float loss = 0.0f;                  // attenuation at fc [dB/km] (rpar 3)
    LossShape shape;                    // loss slope, curvature or profile
    double beta2 = 0.0, beta3 = 0.0, beta4 = 0.0, beta5 = 0.0;
    std::int32_t dispersion_model = 0;  // 0 uniform levels, 1 Gaussian (ipar 2)
    float spread = 0.0f;                // random-dispersion spread [ps^2/km] (rpar 10)
    float section = 0.0f;               // section length with constant beta2 [km] (rpar 11)
    double start_km = 0.0;              // a piece of a longer fibre: its start's distance from the
                                        //   whole's start [km]; its sections continue the whole's
    float gamma = 0.0f;                 // non-linear coefficient [1/W/km] (rpar 12)
    std::int32_t unit_om = 0, unit_o1 = 0, unit_o4 = 0, unit_o7 = 0, unit_os = 0;
    std::int32_t nsteps = 0;
    const double* h = nullptr;          // step lengths [km]
    const float* dlyin = nullptr;       // input group delay per bin [ps]
    bool reuse_designs = true;          // design equal steps once
    double precision = 1e-8;            // filter precision: epsilon of every step-filter design
};

// Walks the steps, draws the local beta2 per section, designs every step
// filter, accumulates the group delay and writes "o1" and "o4" (outside the
// dimensioning mode), "o7", "os" and the header records of "om". Returns false
// when a working file cannot be written (reported as an error).
bool wrtfis(const WrtfisInput& in);

}  // namespace nodrix
