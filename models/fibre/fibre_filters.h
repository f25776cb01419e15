// Step-filter synthesis of the fibre: for every integration step a finite
// impulse response that applies the step's dispersion (beta2..beta5 over the
// step length) and the frequency-dependent part of its loss, designed by
// frequency sampling of the shared tables of numerics/filter_tables.h; the
// optional random local beta2 per fibre section; the group delay accumulated
// over the 1024 spectrum bins; and the records that hand the design to the
// block's later rounds and to its run.
#pragma once

#include <array>
#include <complex>
#include <cstdint>
#include <memory>
#include <vector>

#include "kernel/run_context.h"

namespace nodrix {

// Largest filter length the tables allow for a final design of 2M points.
inline constexpr std::int32_t kMaxFilterExponent = 13;
// Largest design the tables allow during the size search (M points).
inline constexpr std::int32_t kMaxSearchExponent = 14;
// Number of levels of the random-dispersion table.
inline constexpr std::int32_t kDispersionLevels = 5;

// ---------------------------------------------------------------------------
// Random streams

// The ten uniform streams the fibres of a run draw their actual lengths and
// local dispersion from (one set per run: RunContext::shared).
class FibreStreams {
public:
    // rndgen: the next uniform value u of stream g (1..10) from the stream's
    // own state. `counter` is the caller's draw counter of that stream: it is
    // incremented, and a draw with counter 1 (re)starts the stream from
    // 2 * seed - 1 (1 is replaced by 3173 on streams 1-5 and 1234 on streams
    // 6-10), so a caller that clears its counter gets a reproducible sequence.
    // Of successive draws at counter 1 only the first restarts; a draw at a
    // higher count re-arms it.
    void rndgen(std::int32_t stream, std::int32_t& counter, std::int32_t seed, float& u);

private:
    std::array<std::int64_t, 10> state_{};
    std::array<bool, 10> started_{};
    // Set when a draw at counter 1 restarted the stream; cleared by a draw at
    // a higher count.
    std::array<bool, 10> restarted_{};
};

using Seeds = std::array<std::int32_t, 10>;

// ---------------------------------------------------------------------------
// Random local dispersion

// n equally spaced values from low to high (n = 1: the midpoint).
void valb2p(double low, double high, std::int32_t n, double* table);
// n equally spaced values from mean + 3 sigma down to mean - 3 sigma (n = 1: the mean).
void vb2p3s(double mean, double sigma, std::int32_t n, double* table);
// Uniform model: a level of the table drawn with stream (k mod 10) + 1.
void detfib(FibreStreams& streams, std::int32_t k, double low, double high, std::int32_t n, const double* table,
            const std::int32_t* seed, std::int32_t* counters, double& beta2);
// Gaussian model: mean + sigma * sqrt(-2 ln u2) cos(2 pi u), mapped onto the
// nearest level of the table (ties go to the earlier level).
void dfib3s(FibreStreams& streams, std::int32_t k, double mean, double sigma, std::int32_t n, const double* table,
            const std::int32_t* seed, std::int32_t* counters, double& beta2);

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
    float slope = 0.0f;      // dB/km/THz
    float curvature = 0.0f;  // dB/km/THz^2
    const LossProfile* profile = nullptr;
    double fcenter = 0.0;    // THz

    // Loss [dB/km] at offset df [THz] from the centre, relative to the centre.
    double relative_loss(double df) const;
    bool flat() const { return profile == nullptr && slope == 0.0f && curvature == 0.0f; }
};

// The loss [dB/km] relative to the centre that a step filter applies at
// point j of P = 2^log2p points in FFT order over the sampled band, 1/dt.
double step_loss_db(const LossShape& loss, std::int64_t j, std::int32_t log2p, double dt);

// A short filter of 2^kLossShapeLog2Taps taps that applies the loss shape of
// `length_km` of fibre, as the step filters apply it over that length at the
// same points, late by half its length; none when the loss is flat.
inline constexpr std::int32_t kLossShapeLog2Taps = 6;
std::vector<std::complex<float>> loss_shape_taps(const LossShape& loss, double length_km, double dt);

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

// How a step filter is designed within a set-up round: the time step, the
// round (a search that stopped as a loop, or a filter cut, is reported
// naming the sizing round or the later ones) and where the report goes.
struct FilterDesignRound {
    double dt = 0.0;  // [ps]
    bool sizing = false;
    const Messages* messages = nullptr;
};

// Designs one step filter to the given precision, or reuses the design of
// the same step from `cache`, and reports a search that stopped as a loop or
// was cut. The design stays in the cache.
class StepFilterCache;
const StepFilterDesign& sfilco(const StepFilterInput& s, double precision, StepFilterCache& cache,
                               const FilterDesignRound& round);

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

// The coefficients of a step filter: 2M complex values in FFT order. Steps
// with equal filters share one copy.
using StepCoefficients = std::shared_ptr<const std::vector<std::complex<double>>>;

// Per step what the run needs besides its filter: the filter exponent, the
// field loss and non-linear coefficients and the length.
struct StepRecord {
    std::int32_t k = 0;
    double alpha = 0.0;  // [1/km]
    double gamma = 0.0;  // [1/mW/km]
    double h = 0.0;      // [km]
};

// What a fibre's set-up hands from one round to the next and to its run,
// held by the block: the actual length, then what the filter synthesis
// found. In the sizing round the synthesis keeps no filters and no step
// records (the run is set up from the filter-writing round's).
struct FibreDesignRecords {
    bool has_length = false;
    float actual_length = 0.0f;  // [km]
    std::vector<StepRecord> steps;
    std::vector<StepCoefficients> filters;  // per step
    // Per step the least and greatest delay over the inner band after it,
    // from the delay before the first step [ps].
    std::vector<std::array<double, 2>> delay_extremes;
    bool has_totals = false;
    std::array<float, kBins> output_delays{};  // group delay per bin after the last step [ps]
    std::int32_t ncoef = 0;                   // coefficients of all steps
    std::int32_t nexp = 0;                    // largest filter exponent
    std::int64_t centring_delay = 0;          // the steps' centring delays d together [samples]
    std::int32_t memlen = 0;                  // overlap memory of all steps
    float dispersion = 0.0f;                  // accumulated dispersion [ps^2]
    // Symmetric splitting: the steps' lengths are their Kerr lengths (the
    // filters' are shifted by half a step), their effective lengths exact.
    bool symmetric = false;
};

struct WrtfisInput {
    std::int32_t k = 1;                 // (instance mod 50) + 1
    float loss = 0.0f;                  // attenuation at fc [dB/km]
    LossShape shape;                    // loss slope, curvature or profile
    double beta2 = 0.0, beta3 = 0.0, beta4 = 0.0, beta5 = 0.0;
    std::int32_t dispersion_model = 0;  // 0 uniform levels, 1 Gaussian
    float spread = 0.0f;                // random-dispersion spread [ps^2/km]
    float section = 0.0f;               // section length with constant beta2 [km]
    double start_km = 0.0;              // a piece of a longer fibre: its start's distance from the
                                        //   whole's start [km]; its sections continue the whole's
    float gamma = 0.0f;                 // non-linear coefficient [1/W/km]
    std::int32_t nsteps = 0;
    const double* h = nullptr;          // step lengths [km]
    const float* dlyin = nullptr;       // input group delay per bin [ps]
    bool reuse_designs = true;          // design equal steps once
    double precision = 1e-8;            // filter precision: epsilon of every step-filter design
    FilterDesignRound round;
    Seeds seeds{};
    FibreStreams* streams = nullptr;
};

// Walks the steps, draws the local beta2 per section, designs every step
// filter and accumulates the group delay into `out` (its actual length kept):
// outside the sizing round the step records and filters too, in every round
// the delay extremes per step, the output delays and the totals.
void wrtfis(const WrtfisInput& in, FibreDesignRecords& out);

}  // namespace nodrix
