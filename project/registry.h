// The registry of block kinds: every kind of the block library, with its
// parameters (name with unit, type, default, allowed range, one line of
// help), its inputs and outputs, and how a block of it is made. The link
// loader, its validation, `-set`, `nodrix blocks` and the schedule built from
// a link all read these declarations; nothing repeats them.
//
// Every kind registers itself from its family's folder (kernel/block_kind.h):
// a kind declared as one struct from its own file
// (kernel/block_declaration.h), a kind of the older form from the family's
// file of such kinds (models/FAMILY/*_kinds.cpp).
#pragma once

#include <vector>

#include "kernel/block_kind.h"
#include "xu/xu_string.h"  // closest_word, for the names of a description

namespace nodrix {

// Every kind, in the order the help lists them: by family, along the signal's
// way from the transmitters to the measurements, and by name within one.
const std::vector<KindSpec>& block_kinds();
const KindSpec* find_kind(std::string_view name);

}  // namespace nodrix
