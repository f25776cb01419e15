// Numerics of the optical filter synthesis: a tabulated transfer function
// (offset frequency against two interpolated columns) becomes a finite
// impulse response by frequency sampling, with its length found by measuring
// the impulse response, checked against the table and characterised by its
// group delay per spectral bin. All frequencies are offsets in THz from the
// band centre, times are in ps, dt is the time step of the run [ps].
#pragma once

#include <complex>
#include <cstdint>
#include <cstdio>


namespace nodrix {

// Longest design: a settled length of 2^17 taps is realised on 2^18 points.
inline constexpr std::int32_t kMaxDesignLog2 = 17;
inline constexpr std::int32_t kMaxRealisedLog2 = kMaxDesignLog2 + 1;
inline constexpr std::int32_t kMaxRealisedPoints = std::int32_t{1} << kMaxRealisedLog2;

// A description table ready for interpolation: strictly increasing offset
// frequencies f[0..n), column b and column c with their spline curvatures.
// Polar form: b is the amplitude and c the phase [rad]; cartesian form: b and
// c are the real and imaginary parts of the amplitude response.
struct SplineTable {
    const double* f = nullptr;
    const double* b = nullptr;
    const double* b2 = nullptr;
    const double* c = nullptr;
    const double* c2 = nullptr;
    std::int32_t n = 0;
    bool polar = true;

    // Interpolated complex amplitude response and power transmission.
    std::complex<double> response_at(double freq) const;
    double power_at(double freq) const;
};

// Frequency-sampling synthesis. Designs on lengths 2^L (L from the band
// width, grown, shrunk and delayed by measuring the impulse response) until
// the response with 8 taps of margin fills more than half the length, then
// realises that impulse response of N = 2^L taps on 2N points: `realised`
// receives the 2N values of the frequency response in FFT order. `scratch`
// and `realised` need room for kMaxRealisedPoints values. On return log2n is
// log2(2N) > 0, -1 when the length limit (L > 17) was hit, -2 when the search
// did not settle within 20 grows, shifts or shrinks.
void coefil(const SplineTable& table, double f_min, double band_lo, double band_hi, double f_max,
            std::complex<double>* realised, std::complex<double>* scratch, std::int32_t& log2n, double band_centre,
            double dt);

// True when the realised power response deviates from the table's power
// transmission, over the FFT points inside [band_lo, band_hi], by a mean
// squared error of at least 0.001 times the mean squared table power. A
// response of n = 0 points is always bad.
bool accuracy_check(double band_lo, double band_hi, const std::complex<double>* realised, const SplineTable& table,
                    std::int32_t n, double dt);

// Group delay of the realised response of n points (FFT order) per spectral
// bin [ps], the 0.5 n dt latency of the run-time overlap-add included.
// `scratch` needs room for n doubles. When `chart` is set, appends n and one
// record per point (frequency, power, delay [ps]) to the requested-data file.
void estimate_filter_delay(const std::complex<double>* realised, double* scratch, std::int32_t n, float* bin_delay,
                           double band_centre, double dt, std::FILE* chart, bool chart_on);

// Turns modulus and group delay columns into the interpolation form: the mean
// delay over the simulation band [lo, hi] is removed and the rest integrated
// into a phase. On return `modulus` holds the amplitude (polar) or the real
// part, `delay` the phase (polar) or the imaginary part.
void convert_group_delay(const double* f, double* modulus, double* delay, std::int32_t n, double lo, double hi,
                         bool db, bool polar);

// Moving average of the two data columns over `window` neighbouring points,
// centred, and shortened at the two ends of the table to the points that exist.
void smooth_data(const double* f, double* b, double* c, std::int32_t n, std::int32_t window);

// Warnings about data that are too sparse or vary too fast inside the
// simulation band (lo, hi); `inside` is the number of points strictly inside.
void check_input_data(const double* f, const double* b, const double* c, std::int32_t n, double lo, double hi,
                      std::int32_t inside, bool electrical, bool polar, bool quiet);

}  // namespace nodrix
