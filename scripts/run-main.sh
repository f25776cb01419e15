#!/usr/bin/env bash
# Set-up, build, and the main job in run/:
#  1. the project sim_160G as generated: the dimensioning pass and the set-up
#     of every block (memory map, delay file);
#  2. the link simulated sample by sample (-simulate), with a sources' window of
#     30720 ps so that the receivers observe the channels behind the fibre; the
#     program prints a summary of the results.
# Both runs size the kernel storage from their own dimensioning pass
# (-autosize): no rebuild, whatever the project needs.
# Both take their FFT plans from the wisdom file in $BNLIB (build/wisdom
# unless BNLIB is set), made once with nodrix-wisdom when it is missing.
# Extra arguments go to both runs of sim_160G (for example: -verbose).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs" --target sim_160G nodrix_program nodrix-chart nodrix-wisdom

# FFT plan wisdom, measured once: the runs take their plans from it, the same
# plans every time, so that a run repeated gives the same results to the bit.
if [ -z "${BNLIB:-}" ]; then
  export BNLIB="$(pwd)/build/wisdom"
fi
if [ ! -f "$BNLIB/opwis.pln" ]; then
  echo "== nodrix-wisdom: measuring the FFT plans once into $BNLIB/opwis.pln"
  { mkdir -p "$BNLIB" && build/tools/nodrix-wisdom -max 13 "$BNLIB" >/dev/null; } ||
    echo "nodrix-wisdom could not write $BNLIB/opwis.pln; the runs measure their plans"
fi

mkdir -p run
cd run
start=$SECONDS

echo "== sim_160G: set-up of the link"
set +e
../build/main/sim_160G -autosize "$@"
status=$?
set -e
echo "sim_160G finished with exit status $status: memory map x1_sim_160g.mem, delay file x1_sim_160g.dly"
[ "$status" -eq 0 ] || exit "$status"

echo "== sim_160G -simulate: the link simulated sample by sample"
set +e
../build/main/sim_160G -simulate -window 30720 -autosize "$@"
status=$?
set -e
echo "sim_160G -simulate finished with exit status $status; results in $(pwd)"
echo "Main job: $((SECONDS - start)) s wall time (build excluded)"
echo "Draw them with build/tools/nodrix-chart plot FILE -o FILE.png (eyes *.qsg, spectra *.qsp, BER charts *.qxy)."
exit "$status"
