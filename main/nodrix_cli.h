// The program nodrix: any link from its description file.
//
//   nodrix run LINK.toml [-simulate] [-set ID.PARAM=VALUE ...] [-o DIR] [-window PS] [-maxmem MIB]
//                        [-verbose] [-log FILE] [-quiet]
//   nodrix check LINK.toml [-set ...] [-window PS] [-verbose] [-log FILE]
//   nodrix blocks [KIND]
//
// Exit status: 0 done, 1 an error was reported, 2 a usage error. The kernel
// storage is sized to what the link needs (within -maxmem).
#pragma once

namespace nodrix {

int nodrix_main(int argc, char** argv);

}  // namespace nodrix
