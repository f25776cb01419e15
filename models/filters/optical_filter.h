// The user-defined optical filter block `usdfil`: a tabulated transfer
// function (filter description file) is synthesised into a finite impulse
// response in the block set-up, handed to the initialisation pass through the
// working file "kn" + six digits, and applied sample by sample to both
// polarisations by FFT overlap-add. The raised-cosine and Lorentzian filters
// write a description file and call this block.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "kernel/control_blocks.h"
#include "kernel/signals.h"

namespace nodrix {

// The synthesis options of the block being set up (copied in at the start of
// the set-up; synthesis_status is its result).
struct UsdfilArea {
    std::int32_t polar_interpolation = 0;  // 1 modulus and phase interpolated separately, 0 real and imaginary parts
    std::int32_t smoothing_window = 0;     // above 1: moving average over this many points
    std::int32_t quiet_checks = 0;         // -1 suppresses the data-variation warnings and the option listing
    std::int32_t synthesis_status = 0;     // out: 1 synthesised, -1 failed
};
extern UsdfilArea usdfil_area;

// Words of the file options (index = word - 1).
enum UsdfilFileOption : int {
    kOptInstance = 0,            // block instance number (names the working files)
    kOptPolarisations = 1,       // 1 or 2
    kOptAbscissaIsFrequency = 2, // 1 frequency [THz], 0 wavelength [nm]
    kOptDataKind = 3,            // 0 modulus and phase, 1 modulus and group delay, 2 modulus only
    kOptRelativeAbscissa = 4,    // 1 relative to centre_frequency, 0 absolute
    kOptModulusInDb = 5,         // 1 power transmission in dB, 0 linear
    kOptWriteCharts = 6,         // 1 keep the requested data and write the chart file
    kOptComplement = 7,          // 1 the filter transmits 1 - P where the description transmits P
};

struct UsdfilParams {
    std::array<std::int32_t, 4> synthesis_options{1, 0, -1, 0};  // as UsdfilArea; word 4 is ignored on input
    std::array<std::int32_t, 8> file_options{};                  // UsdfilFileOption words
    float abscissa_offset = 0.0f;   // [THz], added to every converted frequency
    float abscissa_scale = 1.0f;    // multiplies the abscissa before conversion
    float centre_frequency = 0.0f;  // [THz], reference of relative abscissas
    std::string_view data_file;     // description file name without ".DAT", blank-padded (50)
    std::string_view block_name;    // shown in messages (48)
    std::string_view file_base;     // base of the chart file name (50)
};

// One sample of a filter that is set up: what usdfil does in the later
// passes, for which its parameters play no part (the filter runs from its
// storage alone).
void filter_sample(const InputWindow& in, const TimeWindow& out, const OpticalSignal& sig_in, OpticalSignal& sig_out);

// The block. Pass 0: the set-up when blkmode is 1, then the initialisation
// from the hand-over file (outputs, charts, window, storage). Pass non-zero:
// one sample.
void usdfil(const UsdfilParams& p, const InputWindow& in, TimeWindow& out, const OpticalSignal& sig_in,
            OpticalSignal& sig_out);

// What makes a filter's description file unusable for the synthesis, which
// would turn the filter and the branch after it off (in words; empty when
// nothing): no file, one that cannot be read, no "##" line, fewer than two
// points, abscissas that do not give increasing frequencies. The band centre
// [THz] is that of the link.
std::string description_problem(const UsdfilParams& p, float band_centre_thz);

// The block set-up: reads, checks and synthesises, fills the spectral outputs
// and writes the hand-over file. n and log2n receive the FFT length used at
// run time (1 and 1 when the filter is off).
void elab_filter(const UsdfilParams& p, std::int32_t& n, std::int32_t& log2n, const OpticalSignal& sig_in,
                 OpticalSignal& sig_out);

// One overlap-add block on the kernel's double complex storage: the first n/2
// entries of the X (and, with two polarisations, Y) areas hold new input; on
// return they hold filtered output and the tails hold the overlap.
void filtri_runtime(std::int32_t h_area, std::int32_t x_area, std::int32_t y_area, std::int32_t x_tail,
                    std::int32_t y_tail, std::int32_t n, std::int32_t log2n);

// Writes the four filter charts from the requested-data file to file_base +
// ".qxy" (appending to an existing chart file) and deletes the data file.
void graph_out(std::string_view block_name, std::string_view file_base, std::int32_t instance,
               std::int32_t data_kind, double band_centre);

// The text without its trailing blanks (names come blank-padded).
std::string trim_right(std::string_view s);

// Next tabulated frequency of a description file: f + step, but always moving
// the single-precision value forward, even where the step is below half a
// unit of its last place.
float next_frequency(float f, float step);

// Working-file name: the two-letter prefix and the number as six digits
// (77 and "rc" give "rc000077"); numbers are taken modulo 10^6.
std::string filename_generation(std::int32_t number, std::string_view prefix);

// Deletes a working file (name + ".DAT") through the unit registry, when it exists.
void delete_working_file(const std::string& name);

// A filter block defined by a closed-form transfer function, run as the user
// defined filter on a description file it writes itself: the working file
// `prefix` + instance. In the set-up (blkmode 1) `describe` writes it; the
// initialisation with nohist 0 deletes it after use. Samples go straight to
// usdfil. `u` carries everything else; its data file is set here.
template <class Describe>
void described_filter(UsdfilParams u, std::int32_t instance, std::string_view prefix, Describe&& describe,
                      const InputWindow& in, TimeWindow& out, const OpticalSignal& sig_in, OpticalSignal& sig_out);

template <class Describe>
void described_filter(UsdfilParams u, std::int32_t instance, std::string_view prefix, Describe&& describe,
                      const InputWindow& in, TimeWindow& out, const OpticalSignal& sig_in, OpticalSignal& sig_out) {
    if (zzctrl.pass != 0) {
        filter_sample(in, out, sig_in, sig_out);
        return;
    }
    const std::string name = filename_generation(instance, prefix);
    const std::string data_file = name + std::string(42, ' ');
    u.data_file = data_file;
    if (optcl_ctrl.blkmode == 1) describe(name);
    usdfil(u, in, out, sig_in, sig_out);
    if (optcl_ctrl.blkmode == 0 && zzflmn.nohist == 0) delete_working_file(name);
}

}  // namespace nodrix
