// The registry of block kinds: every kind of the block library, with its
// parameters (name with unit, type, default, allowed range, one line of
// help), its inputs and outputs, and how a block of it is made. The link
// loader, its validation, `-set`, `nodrix blocks` and the schedule built from
// a link all read these declarations; nothing repeats them.
//
// A kind declared as one struct registers itself from its model's file
// (kernel/block_declaration.h); the kinds of the older form are declared by
// family in project/kinds_*.cpp, each with a closure over its routine.
#pragma once

#include <vector>

#include "kernel/block_kind.h"
#include "xu/xu_string.h"  // closest_word, for the names of a description

namespace nodrix {

// Every kind, in the order the help lists them: the kinds of the older form
// as their families declare them, then the kinds that declare themselves, by
// family and name.
const std::vector<KindSpec>& block_kinds();
const KindSpec* find_kind(std::string_view name);

// The declarations of each family's kinds of the older form (project/kinds_*.cpp).
void declare_transmitters(std::vector<KindSpec>& kinds);
void declare_line(std::vector<KindSpec>& kinds);
void declare_filters(std::vector<KindSpec>& kinds);
void declare_receivers(std::vector<KindSpec>& kinds);

}  // namespace nodrix
