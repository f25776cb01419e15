// The program nodrix: any link from its description file.
//
//   nodrix run LINK.toml [-simulate] [-set ID.PARAM=VALUE ...] [-o DIR] [-window PS]
//                        [-verbose] [-log FILE] [-quiet]
//   nodrix check LINK.toml [-set ...] [-window PS] [-verbose] [-log FILE]
//   nodrix blocks [KIND]
//
// Exit status: 0 done, 1 an error was reported, 2 a usage error, 3 the
// kernel storage was too small.
#pragma once

namespace nodrix {

int nodrix_main(int argc, char** argv);

}  // namespace nodrix
