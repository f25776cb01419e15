// Parts of the fibre block shared by its design and its run: names, the
// parameter check, the report, the actual length, the carrier count and the
// loss profile and spectrum.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>

#include "models/fibre/fibre.h"

namespace nodrix::fibre_parts {

// Words of the set-up saved for the run.
constexpr std::int32_t kSavedInts = 13;   // steps, buffers, coefficients, N, n, memory length, 6 Raman sizes, seed
constexpr std::int32_t kSavedReals = 7 + 2 * kBins;  // length, window, ppkout, noise amplitude, dlyout, psdout
// The saved step count of a fibre that stays dark in the run.
constexpr std::int32_t kDisabled = -1;
constexpr std::int32_t kMaxProfilePoints = 4096;

std::string trimmed(const std::string& s);

// The caption's first 48 characters, as errors and warnings show it.
inline std::string caption48(const Fibre& f) { return f.title.substr(0, std::min<std::size_t>(48, f.title.size())); }

// "Fiber at CAPTION\n" and the problem's line.
inline std::string fibre_error(const Fibre& f, const std::string& what) { return "Fiber at " + caption48(f) + "\n" + what; }

// Report file base: the file name with characters that could leave the
// working directory or upset a file system replaced by '_' ("fr" and the
// six-digit instance when nothing is left).
std::string report_name(const Fibre& f);

// A description of what is wrong with the parameters or the run's
// settings, or null.
const char* parameter_problem(const Fibre& f, const RunContext& ctx);

void empty_outputs(const RunContext& ctx, OpticalSignal& output);

// The set-up report of a fibre, open in the state rounds when asked for.
class Report {
public:
    void open(const RunContext& ctx, const Fibre& f) { file_ = ctx.files().create_report(report_name(f)); }
    bool active() const { return static_cast<bool>(file_); }
    void line(const std::string& text) {
        if (file_) file_.write_line(text);
    }
    // A list-directed record: one blank, the text, the value.
    void item(const char* text, const std::string& value) { line(std::string(" ") + text + value); }
    void close() { file_.close(); }
    // An unfinished report does not stay.
    void discard() { file_.remove(); }

private:
    UnitFile file_;
};

// Draws the actual length of the fibre from stream ((k mod 10) + 7) mod 10 + 1
// after 10k + 60 warm-up draws (the nominal length when the stream's seed is 0).
float evalen(FibreStreams& streams, const Seeds& seeds, std::int32_t k, float length, float tolerance);

// Running mean of a 1024-bin spectrum over the resolution bandwidth [THz].
void spemed(const RunContext& ctx, float resolution, const float* spectrum, float* smoothed);

// Carrier detection in a smoothed spectrum: count and total power [mW]; with
// `spread_thz`, also the distance between the outermost carriers [THz].
void numcha(const RunContext& ctx, float resolution, const float* smoothed, std::int32_t& count, float& total_power,
            float* spread_thz = nullptr);

// Reads the fibre's loss profile (opened under its trimmed name): the records
// after the one whose first item begins with "##", pairs of abscissa and
// loss [dB/km], at most 4096; wavelengths converted to frequencies. Returns
// false (profile empty) when the file cannot be used.
bool read_loss_profile(const RunContext& ctx, const Fibre& f, LossProfile& profile);
// What keeps a loss profile file from being used (in words; empty when
// nothing): a file that cannot be read, or fewer than two distinct points
// after its "##" line. Abscissas in nm when `wavelength`, else THz.
std::string loss_profile_problem(const std::string& path, bool wavelength);

// Spectral face: the loss of every bin of psdin over the nominal length, and
// ppkout from the loss at the centre frequency.
void fibre_spectrum(const RunContext& ctx, const Fibre& f, const LossProfile* profile, const float* psdin, float ppkin,
                    float* psdout, float& ppkout);

// The output of a fibre without light in its design: the attenuated
// spectrum, the input's delays.
void spectral_face(const RunContext& ctx, const Fibre& f, const OpticalSignal& input, OpticalSignal& output);

}  // namespace nodrix::fibre_parts
