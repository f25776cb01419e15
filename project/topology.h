// The block diagram of sim_160G: its 132 block instances in schedule order,
// the kind of each, and the numbers of the signals that connect them.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace nodrix::sim160g {

enum class Kind {
    laser,          // laslor
    data_source,    // spnseq
    nrz_driver,     // recnrz
    modulator,      // oamod
    combiner,       // ocmb04
    amplifier_fg,   // oampfg
    amplifier_fp,   // oampfp
    power_meter,    // opowme
    spectrum,       // optspr
    fibre,          // fiber1
    raised_cosine,  // orcfil
    photodiode,     // photod
    bessel,         // filbes
    ber,            // pestim
    scope,          // scope
};

// One block instance: its instance number, kind, the signals it reads and
// writes (four-digit numbers; 0 where none), and the instance whose output
// window it receives (0: the sources' own start and window length).
struct Instance {
    std::int32_t instance;
    Kind kind;
    std::array<std::int32_t, 4> inputs;  // optical inputs, or the electrical/logical input in [0]
    std::int32_t drive;                  // modulator: the NRZ driver's output signal
    std::int32_t output;                 // the block's output signal (optical or electrical)
    std::int32_t window_from;            // the producer whose output window is this block's input window
};

inline constexpr int kBlocks = 132;
inline constexpr std::int32_t kLastInstance = 132;

// The schedule order of the whole link.
std::span<const Instance> schedule();

// True when the block's output is optical.
bool has_optical_output(Kind k);
// True when the block gets the "signal" line of its optical input.
bool shows_its_input(Kind k);
// True when the block writes a delay record (fibre and optical filter).
bool writes_delay_record(Kind k);

}  // namespace nodrix::sim160g
