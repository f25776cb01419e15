// Files the tools and the sweep write whole (a chart's CSV or image, the plan
// wisdom, a sweep's table and plots): written under a new temporary name
// beside their final name, flushed to the disk and renamed into place only
// once complete, so that a failure leaves what was under the name before.
//
// Only a regular file, or a name not yet taken, is replaced that way. A rename
// over a device, a pipe or a socket would put that node out of the way with
// the file in its place (run as root, "-o /dev/full" would leave the machine
// a regular file where its device was), and one over a directory fails: such
// an output is refused before anything is written.
#pragma once

#include <string>
#include <string_view>

namespace nodrix {

// Why `output` may not be replaced: "it is a directory" or "it is not a
// regular file (a device, a pipe or a socket)"; empty when it is a regular
// file or does not exist. A symbolic link is judged by what it leads to.
std::string output_refusal(const std::string& output);

// Writes `text` as the whole new content of `output`: into a new file beside
// it, ".NAME.PID-K.part" (NAME the output's file name; K counts names already
// taken), flushed to the disk (a full disk may show only then), and renamed
// to `output` once `output` has been checked once more. The new file takes
// the permission bits of the file it replaces, or 0666 less the umask. False
// with `reason` (a refusal above or the system's text) when it is not
// written; `output` is then as it was and no temporary file is left.
bool write_whole_file(const std::string& output, std::string_view text, std::string& reason);

}  // namespace nodrix
