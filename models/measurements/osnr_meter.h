// The OSNR meter (models/measurements/osnr_meter.cpp): the optical
// signal-to-noise ratio of every channel at its input, in a reference
// bandwidth, from the spectral description the blocks before it derive
// (their signal lines and the ASE the amplifiers add to it), and the
// reader of its report for the run's summary.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace nodrix {

// One channel's result. The noise is that of both polarisations (the ASE
// the amplifiers add in the polarisations they fill), in the reference
// bandwidth; an OSNR of +inf: no noise.
struct OsnrChannel {
    double frequency_thz = 0.0;
    double signal_mw = 0.0;
    double noise_mw = 0.0;  // in the reference bandwidth
    double osnr_db = 0.0;
};

// The reference bandwidth [THz] of `nm` at frequency f [THz]: f^2 nm / c.
double reference_bandwidth_thz(double frequency_thz, double nm);

// The OSNR per channel of a 1024-bin spectrum ps [mW per bin] on the grid
// [grid_low, grid_high] [THz]. The channels are the bins of the given
// frequencies, or else every line that stands at least 3 dB above the bins
// two away on both sides within the band [band_low, band_high]. The noise
// density at a channel is interpolated between the bins halfway to its
// neighbouring channels (at the outer side of the outermost ones as far out
// as the inner side, 50 GHz for a lone channel); the signal is the power of
// the bins between those two, less the interpolated noise in them.
std::vector<OsnrChannel> osnr_of_spectrum(const float* ps, double grid_low, double grid_high, double band_low,
                                          double band_high, const std::vector<double>& frequencies_thz,
                                          double reference_nm);

// The frequencies of a comma-separated list ("193.1, 193.2") [THz];
// nothing for an empty text; an error text for anything else.
struct FrequencyList {
    std::vector<double> values;
    std::string error;
};
FrequencyList parse_frequency_list(const std::string& text);

// A report as the meter wrote it ("NAME_OSN0093.DAT"): the reference
// bandwidth and the channels; nothing when the file is missing or holds no
// such report.
struct OsnrReport {
    double reference_nm = 0.0;
    std::vector<OsnrChannel> channels;
};
std::optional<OsnrReport> read_osnr_report(const std::string& path);

}  // namespace nodrix
