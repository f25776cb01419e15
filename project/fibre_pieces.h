// Fibres cut into consecutive pieces. A fibre whose step plan needs more steps
// than one fibre block holds asks in the dimensioning pass to be cut into
// pieces of given lengths (its split request) and is set up as a stub of
// 1e-6 km meanwhile. A link runs such a fibre as those pieces, one fibre block
// each, in place of the whole. A fibre whose storage passes its block limit
// asks too, but is set up whole and runs whole: the kernel storage of a link
// is sized to what it needs, so that request stays in the memory map only.
#pragma once

#include <set>
#include <span>
#include <string>
#include <vector>

#include "models/fibre/split_step.h"
#include "project/link.h"

namespace nodrix {

// Most pieces one fibre of a link may become, all splits together: beyond,
// the fibre is not simulated (several thousand kilometres of standard fibre
// take a few hundred).
inline constexpr std::int32_t kMaxFibrePieces = 2000;

// Most rounds of splits of one link: a piece of a split fibre may ask to be
// split again (its input power differs from the whole's), but not without end.
inline constexpr int kMaxSplitRounds = 6;

// The splits of one link, round after round of dimensioning passes.
class FibreSplits {
public:
    // Re-forms the link with every fibre a request on steps names replaced
    // by its pieces, in order, each with the fibre's parameters and its
    // piece's length:
    //  - the last piece keeps the fibre's instance number and output signal,
    //    so every block after it reads and is read as before; the pieces
    //    before it take new instance numbers, counting up from above the
    //    largest instance and signal number of the link (fibres in schedule
    //    order, their pieces in order), and each writes the signal of its own
    //    number; their reports are named after the fibre's, with "_" and their
    //    own four-digit number added;
    //  - the fibre's actual length was drawn once for the whole and the pieces
    //    share it out, so a piece has no length tolerance; every piece draws
    //    its random dispersion from the whole fibre's streams, continuing its
    //    sections (FibrePiece).
    // A piece of a piece stays a piece of the first whole fibre.
    //
    // Where no split gives the fibre pieces it can simulate, the error names
    // the block and why, once per fibre, and false is returned: a Kerr phase
    // that would broaden the light past the whole spectral grid (splitting
    // shares out the steps, not the phase), a length or pieces of no finite
    // positive length, a piece as long as the fibre it was cut from, more
    // than kMaxFibrePieces pieces, instance numbers beyond 999999; in round
    // kMaxSplitRounds, any request.
    bool apply(Link& link, std::span<const SplitRequest> requests, int round);

    // One line per fibre of the link that was split, for the console: into
    // how many pieces, which blocks they are, and why.
    std::vector<std::string> report(const Link& link) const;

private:
    std::set<std::int32_t> split_;  // the whole fibres split
};

}  // namespace nodrix
