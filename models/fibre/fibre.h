// The single-mode fibre (kind `fibre`, routine fiber1), declared as one
// struct. Its design gives the output a 1024-bin spectral description
// attenuated by the fibre loss; in a simulation it fixes the actual length,
// counts the carriers, chooses the integration steps (the step plan), has
// the step filters designed, and claims the state of the run. Its run
// collects the field in buffers of N = 2^n samples and propagates each full
// buffer through the steps by the split-step method, N samples later. With
// no non-linearity, no loss and a large dispersion it serves as an ideal
// dispersion-compensating grating.
//
// The parts: models/fibre/fibre.cpp (the declaration and the phases),
// fibre_setup.cpp (the design), fibre_run.cpp (the run's records and the
// propagation), split_step.* (step rules and half-operators),
// fibre_filters.* (step-filter synthesis), fibre_parts.* (what they share),
// orthogonal_field.* (the second field: ASE orthogonal to the signal).
#pragma once

#include <array>
#include <complex>
#include <cstdint>
#include <string>
#include <vector>

#include "kernel/block_declaration.h"
#include "models/fibre/fibre_filters.h"
#include "models/fibre/orthogonal_field.h"

namespace nodrix {

// The sizes of a fibre's run: steps, buffers of the run, coefficients of all
// step filters, buffer length N and the overlap memory of all steps.
struct RunSizes {
    std::int32_t steps = 0, nbuf = 0, ncoef = 0, n = 0, memlen = 0;
};

// The split-step run of a fibre: its records (claimed in the order of
// `claim`), loaded at set-up from what the filter-writing round designed,
// and the propagation of every full buffer through the steps.
class SplitStepRun {
public:
    void claim(StateClaims& state, const RunSizes& sizes);
    // Fills the records from the design (its filters then let go), makes the
    // step filters' FFT plans and the buffers' schedule. False when the
    // design does not hold the steps the sizes say, or a filter's transforms
    // cannot be planned. `tindur` is the input window's length [ps].
    bool load(FibreDesignRecords& design, bool nonlinear, const RunSizes& sizes, float dt, float tindur);
    // One sample inside the window: the sample leaving the buffer, and the
    // input taken into its place while the buffer still collects the input.
    void sample(const FieldSample& in, FieldSample& out);

private:
    bool load_steps(const FibreDesignRecords& design);
    void load_filters(const FibreDesignRecords& design);
    void share_equal_filters();
    void schedule_buffers(float dt, float tindur);
    void propagate(std::int32_t buffer);
    void first_order_step(std::int32_t i, std::int64_t memory_at);

    RunSizes sizes_;
    bool nonlinear_ = true;
    // Per step: filter exponent k (M = 2^k), its first coefficient, filter
    // blocks per buffer (N / M); loss coefficient, non-linear coefficient,
    // length, gamma times the effective length, field loss factor.
    State<std::int32_t> exponent_, offset_, blocks_;
    State<double> alpha_, gamma_, length_, gleff_, loss_;
    // The step filters, the field buffer of N samples, the FFT work area
    // (4N) and the overlap memories of the steps.
    State<std::complex<double>> coef_, buffer_, work_, memory_;
    // Per buffer the first and last step it passes; per step the least and
    // greatest delay; the sample and buffer counters.
    State<std::int32_t> first_, last_;
    State<double> dmin_, dmax_;
    State<std::int32_t> counters_;
};

struct Fibre {
    float length_km = 0.0f;
    float length_tolerance_percent = 0.0f;
    float attenuation_db_per_km = 0.0f;
    float attenuation_slope_db_per_km_thz = 0.0f;
    float attenuation_curvature_db_per_km_thz2 = 0.0f;
    float beta2_ps2_per_km = 0.0f;
    float beta3_ps3_per_km = 0.0f;
    float beta4_ps4_per_km = 0.0f;
    float beta5_ps5_per_km = 0.0f;
    float dispersion_spread_ps2_per_km = 0.0f;
    std::int32_t random_dispersion = 0;  // 0 uniform levels, 1 Gaussian
    float section_length_km = 1e6f;
    float gamma_per_w_per_km = 0.0f;
    bool nonlinear = true;               // false: a linear element such as a grating
    float reference_length_km = 121.0f;
    std::string loss_profile_file;
    std::int32_t loss_profile_abscissa = 0;  // 1: wavelength [nm], else frequency [THz]
    std::int32_t report = 0;                 // 0 none, 1 normal, 2 detailed
    std::int32_t memory_limit_bytes = 128974848;
    std::int32_t extra_delay_samples = 0;    // added to the output's delay [time steps]
    std::string title;
    std::string file_name;

    Input<OpticalSignal> input;
    Output<OpticalSignal> output;
    Window window;
    BlockIdentity identity;

    // The set-up the run starts from: steps (or -1: the fibre stays dark),
    // buffers, coefficients, N, its exponent, memory length, six words of the
    // Raman options (0) and the seed word; then the actual length, the
    // output window, its power, the noise amplitude, its delays and spectrum.
    State<std::int32_t> saved_sizes;
    State<float> saved_design;
    SplitStepRun propagation;
    OrthogonalField orthogonal;  // with two fields: the ASE orthogonal to the signal
    OrthogonalField extra_delay;  // the line of the extra delay (none without one)

    static KindDeclaration<Fibre> declaration();
    Status design(const RunContext& ctx, StateClaims& state);
    Status setup(const RunContext& ctx);
    void run(const RunContext& ctx);

    // What the design of a state round leaves for the set-up.
    struct Kept {
        enum class What { nothing, dark, run } what = What::nothing;
        RunSizes sizes;
        std::int32_t nexp = 0;
        std::array<float, 7> reals{};  // length, window (4), power, noise amplitude
        std::int32_t seed_word = 0;
    };

private:
    Status design_with_light(const RunContext& ctx, StateClaims& state);
    void keep_for_setup(const RunContext& ctx, const RunSizes& sizes, const FibreDesignRecords& d);
    void save_setup();

    // What the filter-writing round designed, for the state rounds and the run.
    FibreDesignRecords designed_;
    Kept kept_;
    bool running_ = false;  // set up for the run
};

}  // namespace nodrix
