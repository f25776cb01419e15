// The single-mode fibre block `fiber1`: a 1024-bin spectral description
// attenuated by the fibre loss; a set-up that fixes the actual length, counts
// the carriers, chooses the integration steps, has the step filters designed
// and hands them to the run through working files; and a run that collects the
// field in buffers of N = 2^n samples and propagates each full buffer through
// the steps by the split-step method, N samples later. With no non-linearity,
// no loss and a large dispersion it serves as an ideal dispersion-compensating
// grating.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "kernel/signals.h"
#include "models/fibre/fibre_filters.h"

namespace nodrix {

// Parameters of fiber1 in call order. Integer word k of the block is ipar[k-1],
// real word k is rpar[k-1]:
//  ipar 1 instance number (names the working files, seeds the random length)
//       2 random-dispersion model: 0 uniform levels, 1 Gaussian
//       3 1 non-linear fibre, 0 linear element (grating)
//       4, 6, 7 Raman crosstalk, Raman pump, number of Raman data files
//       12 report: 0 none, 1 normal, 2 detailed
//       21 1: loss from the profile file lossf; 22 its abscissa: 1 wavelength [nm], else frequency [THz]
//       8, 9, 11, 13-20 further Raman options
//  rpar 1 nominal length [km] > 0; 2 length tolerance [%], |.| < 100
//       3, 4, 5 loss at fc [dB/km], slope [dB/km/THz], curvature [dB/km/THz^2]
//       6, 7, 8, 9 beta2..beta5 [ps^k/km]
//       10 random-dispersion spread [ps^2/km]; 11 length of its sections [km]
//       12 non-linear coefficient gamma [1/W/km]
//       27 reference system length [km] of the four-wave-mixing estimate and filter precision
//       13-26 Raman parameters
// Where a fibre block stands in a fibre that was cut into consecutive pieces
// (a fibre whose step plan or storage does not fit one block). The whole
// fibre's actual length was drawn once, before the cut, and the piece lengths
// share it out, so a piece has no length tolerance of its own. Every piece
// draws its random local dispersion from the streams of the whole fibre and
// continues its sections: a piece starting start_km from the whole's start
// takes up the section that point lies in, after the draws of the sections
// before it.
struct FibrePiece {
    std::int32_t whole_instance = 0;  // the whole fibre's instance number; 0: the block is a whole fibre
    double start_km = 0.0;            // distance of the piece's start from the whole's start [km]
};

struct FiberParams {
    std::string title;                   // block caption; its first 48 characters appear in warnings
    std::string name;                    // instance name; base of the report file name
    std::array<std::int32_t, 22> ipar{};  // integer parameters (above)
    std::array<float, 27> rpar{};         // real parameters (above)
    std::string ramf1;                   // Raman data files
    std::string ramf2;
    std::string ramtmp;                  // base of the Raman working files
    std::string pumpf;                   // Raman pump file
    std::string plossf;                  // Raman pump-loss file
    std::string lossf;                   // user loss-profile file (opened under its own name)
    std::int32_t memlim = 128974848;     // storage limit of one block [bytes] for the dimensioning check
    std::int32_t memfile = -1;           // io_* identifier of the open memory map (dimensioning file)
    FibrePiece piece;                    // a piece of a longer fibre, or the whole fibre
};

// The block. Input window: tinon = in.ton, tindur = in.twinin. Output window:
// toon, tooff, tgood1, tgood2. Input: xin = input.x, dlyin = input.gd, psdin =
// input.ps, ppkin = input.pp, sigin = input.iv (input.y is not read). Output:
// xout, yout, dlyout, psdout, ppkout, sigout likewise.
void fiber1(const FiberParams& p, const InputWindow& in, TimeWindow& out, const OpticalSignal& input,
            OpticalSignal& output);

// Draws the actual length of the fibre from stream ((k mod 10) + 7) mod 10 + 1
// after 10k + 60 warm-up draws (the nominal length when the stream's seed is
// 0) and writes it as the first record of the working file on `unit`.
// Returns the length, or a negative value when the record cannot be written.
float evalen(std::int32_t k, std::int32_t unit, float length, float tolerance);

// Running mean of a 1024-bin spectrum over the resolution bandwidth [THz].
void spemed(float resolution, const float* spectrum, float* smoothed);

// Carrier detection in a smoothed spectrum: count and total power [mW].
void numcha(float resolution, const float* smoothed, std::int32_t& count, float& total_power);

// Reads the user loss profile of the block (opened under its trimmed name):
// the records after the one whose first item begins with "##", pairs of
// abscissa and loss [dB/km], at most 4096; wavelengths converted to
// frequencies. Returns false (profile empty) when the file cannot be used.
bool read_loss_profile(const FiberParams& p, LossProfile& profile);
// What keeps a loss profile file from being used (in words; empty when
// nothing): a file that cannot be read, or fewer than two distinct points
// after its "##" line. Abscissas in nm when `wavelength`, else THz.
std::string loss_profile_problem(const std::string& path, bool wavelength);

// Spectral face: the loss of every bin of psdin over the nominal length, and
// ppkout from the loss at the centre frequency.
void fibre_spectrum(const FiberParams& p, const LossProfile* profile, const float* psdin, float ppkin, float* psdout,
                    float& ppkout);

}  // namespace nodrix
