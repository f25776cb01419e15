// The limits file "x0_<project>.hst": one record per storage kind, the key
// left-justified in 10 columns and the count right-justified in 11
// ("MAXZD        34818180"). The driver writes the counts a project needs
// into it when they exceed the capacities; a later run reads it back as its
// capacities.
#pragma once

#include <string>

#include "kernel/storage.h"

namespace nodrix {

// Writes the nine records; a file that cannot be written is an error.
void write_limits_file(const std::string& path, const StorageCounts& counts);

// Reads the records of a limits file into `counts` (kinds the file does not
// name keep their values). Keys are matched in any letter case, blanks and
// tabs separate the fields, blank lines are skipped. A file that cannot be
// read, holds no record, or has a line that is not a known kind with a whole
// count from 0 to kLargestCapacity (each kind once) is an error naming the
// file and the line; `counts` is then left as it was and the result is false.
bool read_limits_file(const std::string& path, StorageCounts& counts);

}  // namespace nodrix
