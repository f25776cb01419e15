// The check of a measurement's result file name, shared by the measurement
// kinds: a name the block would cut short or write nothing under is refused
// before the run.
#pragma once

#include <string_view>

#include "kernel/block_kind.h"

namespace nodrix {

// The power meter and the estimator's report cut the name at its first
// blank (cut_at_blank), the others drop trailing blanks; an empty name writes
// no file, or a file with no name but its extension.
void check_result_file_name(const BlockSettings& s, std::string_view param, bool cut_at_blank, Findings& found);

}  // namespace nodrix
