// The profile model of the amplifiers: gain and noise figure that depend on
// the wavelength, read from data files (or flat defaults), shaping the output
// spectrum directly and, for the field, two finite impulse responses (gain
// filter and ASE-shaping filter) synthesised by frequency sampling and applied
// by FFT overlap-add.
#pragma once

#include <complex>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "kernel/signals.h"

namespace nodrix {

// Data-file name of a file-name parameter: leading blanks and trailing blanks
// and underscores removed, ".DAT" appended ("" for an all-blank name).
std::string converti_nome(const std::string& name);

// Single-precision cubic spline: second derivatives y2[0..n) with end slopes
// yp1 and ypn (1e30 or more: natural end). A repeated abscissa acts as a
// break: the nodes beside it get no curvature term, nothing is divided by 0.
void spline(const float* x, const float* y, std::int32_t n, float yp1, float ypn, float* y2);

// Largest abs(z)^2 over a[0..n).
void maxvet_complex(const std::complex<double>* a, std::int32_t n, float& max);

// Smooth form of max(G, 1) - 1: (1 + G^8)^(1/8) - 1 (G below 0 taken as 0).
float smooth_excess_gain(float g);

// A profile data file as read: (wavelength [nm], value) pairs in file order.
struct ProfileData {
    enum class Status { kRead, kCannotOpen, kNoMarker };
    Status status = Status::kCannotOpen;
    std::vector<float> wavelength;
    std::vector<float> value;
    bool truncated = false;  // more pairs than kMaxProfilePoints; the rest are left out
};
inline constexpr std::int32_t kMaxProfilePoints = 2000;

// Reads the pairs after the "##" marker line (at most 2000, with the
// too-many-points warning). A file that cannot be opened is reported as an
// error, one without a marker line as a warning; both give no pairs.
ProfileData read_profile_file(const std::string& path);
// The same without a word on the console.
ProfileData read_profile_data(const std::string& path);

// A spline table against frequency [THz], in increasing frequency.
struct ProfileTable {
    std::vector<float> f;
    std::vector<float> v;
    std::vector<float> v2;  // second derivatives
    float at(float freq) const;  // spline value, 0 outside the table
    std::int32_t size() const { return static_cast<std::int32_t>(f.size()); }
};

// What the profile model takes of the run's settings: the spectral grid the
// flat defaults and the spectrum span, the band the tables must cover, the
// band centre, the polarisations the ASE fills, the time step and the
// definition of the noise figure.
struct EdfaRun {
    float grid_low_thz = 0.0f, grid_high_thz = 0.0f, band_low_thz = 0.0f, band_high_thz = 0.0f;
    float band_centre_thz = 0.0f;
    std::int32_t polarisations = 1;
    double time_step_ps = 0.0;
    bool exact_noise_figure = false;  // F G - 1 rather than (G - 1) F (see edfa_shape)
};

// Table of a data file: wavelengths converted to frequencies, values in dB
// (10^(0.1 x)) or linear as they stand.
ProfileTable profile_table(const ProfileData& data, bool linear);
// Defaults: gain, 30 points over the grid at 10^(0.1 gain_db); noise figure,
// 123 points over the grid at the given linear value.
ProfileTable default_gain_table(float gain_db, const EdfaRun& run);
ProfileTable default_noise_figure_table(float noise_figure, const EdfaRun& run);

// Gain table and noise-factor table F at the noise-figure points, the ASE
// density per polarisation being F h fc / 2: in the high-gain approximation
// F = (G - 1) NF with linear values, ((1 + G^8)^(1/8) - 1) NF otherwise;
// with the exact noise figure F = NF G - 1 above unit gain and 0 at or below.
struct EdfaShape {
    ProfileTable gain;
    ProfileTable factor;
};
EdfaShape edfa_shape(ProfileTable gain, const ProfileTable& noise_figure, bool linear, bool exact = false);

// Output spectrum: G_i ps_in + npol h fc 5e14 F_i w per bin (the ASE term only
// where G_i > 1 and the noise is on).
void edfa_spectrum(const EdfaShape& shape, std::int32_t noise_off, const float* ps_in, float* ps_out,
                   const EdfaRun& run);

// True when both tables reach below and above the simulated band, or both
// have at least 10 points inside it.
bool edfa_coverage(const ProfileTable& gain, const ProfileTable& noise_figure, const EdfaRun& run);

// The grid the flat defaults span and the band the tables must cover [THz].
struct ProfileFrame {
    float grid_low = 0.0f, grid_high = 0.0f, band_low = 0.0f, band_high = 0.0f;
};
// What keeps the profile model from shaping an amplifier, which then turns
// itself and the branch after it off: a profile file that is not named,
// cannot be read or has no "##" marker line, or tables that do not cover the
// band. A parameter of 0 or more takes its flat default, a negative one its
// file (the gain file's values linear at a gain parameter of -99 or below).
// `param` names the file parameter at fault.
struct ProfileProblem {
    const char* param;
    std::string text;
};
std::optional<ProfileProblem> profile_model_problem(float gain_parameter, const std::string& gain_file,
                                                    float noise_figure, const std::string& noise_figure_file,
                                                    const ProfileFrame& frame);

// Largest response length the synthesis can hold: 2N points at N = 2^12.
inline constexpr std::int32_t kEdfaResponseSize = 8192;

// Synthesis of the gain filter (target sqrt(G)) and the ASE-shaping filter
// (target sqrt(F)) for a time step dt [ps] around the band centre fc [THz].
// Returns log2 of the run-time FFT length 2N (N taps), or -1 after the length
// error; hg, hn receive the realised responses on 2N points (FFT order) and
// delay the group delay the filters add, (N + N/2 - d) dt [ps].
std::int32_t coedfa(const EdfaShape& shape, double dt, float fc, std::complex<double>* hg,
                    std::complex<double>* hn, float& delay, const EdfaRun& run);
// The same with the run's time step and band centre.
std::int32_t calcola_filtri_edfa(const EdfaShape& shape, std::complex<double>* hg, std::complex<double>* hn,
                                 float& delay, const EdfaRun& run);

// Tables, spectrum, coverage check and synthesis of the profile model. On
// return n is the run-time FFT length (0: no filter), log2n its log2; iv_out
// is 0 when the tables do not cover the band or the synthesis failed.
void elabora_vet(float gain, const ProfileTable& gain_table, std::int32_t noise_off,
                 const ProfileTable& noise_figure_table, const float* ps_in, float* ps_out, std::int32_t iv_in,
                 std::int32_t& iv_out, std::int32_t& n, std::int32_t& log2n, std::complex<double>* hg,
                 std::complex<double>* hn, float& delay, const EdfaRun& run);

// One overlap-add block of n points on arrays: the first half of `block`
// (and of `noise`) holds the last n/2 samples; afterwards it holds the
// filtered output (the gain-filtered signal plus, with add_noise, the noise
// shaped by hn), `tail` the overlap for the next block.
void edfa_filter_block(std::complex<double>* block, std::complex<double>* noise, std::complex<double>* tail,
                       const std::complex<double>* hg, const std::complex<double>* hn, std::int32_t n,
                       std::int32_t log2n, bool add_noise);

// The temporary gain file of the fixed-output-power amplifier's profile model.
inline constexpr const char* kEdfaGainTemporary = "K3TMPGN";

// Writes the temporary gain file "K3TMPGN" (as K3TMPGN.DAT) for the
// fixed-output-power amplifier: the gain pairs of `gain_data` (or, without a
// file, the flat gain_db over the grid) lowered by offset_db. Linear values
// are scaled by 10^(-0.1 offset_db). Returns false when it cannot be written.
bool copia_file(const ProfileData* gain_data, bool linear, float gain_db, float offset_db, const EdfaRun& run);

// Deletes the temporary files "K3TMPGN", "K3TMPFN", "K3TMPPN".
void delete_edfa_temporary_files();

}  // namespace nodrix
