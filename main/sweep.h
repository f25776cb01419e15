// nodrix sweep: a link run over many values of its parameters.
//
//   nodrix sweep LINK.toml --vary ID.PARAM=VALUES [--vary ...] [--zip] [--seeds N]
//                [-o DIR] [-j N] [-set ID.PARAM=VALUE ...] [-window PS] [-quiet]
//                [--slurm | --slurm-dry-run] [--slurm-args "ARGS"]
//   nodrix sweep --collect DIR
//   nodrix sweep --point DIR/points/NNNN
//
// Every point runs the simulation in its own directory DIR/points/NNNN
// (sweep_point.h); the table and the plots are built from those directories
// (sweep_table.h). Points run here, -j at a time, or as a Slurm job array
// followed by a collect job. A rerun of the same sweep runs only the points
// that are not complete. Exit status: 0 every point done, 1 an error or a
// failed or incomplete point, 2 a usage error.
#pragma once

#include <string>
#include <vector>

namespace nodrix {

int verb_sweep(const std::vector<std::string>& args);

}  // namespace nodrix
