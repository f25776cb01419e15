// The words of a link's messages and texts: a name the link does not know,
// with the closest one it does, and the placeholders a text may hold.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "project/link.h"

namespace nodrix {

std::string in_quotes(std::string_view s);

// "unknown parameter or connection "powr_mw"; did you mean "power_mw"?"
std::string unknown_key(const KindSpec& k, std::string_view key, bool with_ports);
std::string unknown_kind(std::string_view kind);

// A text with its placeholders replaced: {link} the link's name, {id} the
// instance number (four digits), {n} the ordinal among the blocks of its
// kind, {input} the first input (four digits). `problem` names a
// placeholder it does not know.
std::string expand(const std::string& text, const std::string& link, const LinkBlock* b, std::string& problem);

}  // namespace nodrix
