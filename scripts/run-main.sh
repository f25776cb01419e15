#!/usr/bin/env bash
# Set-up, build, and the main job: the project sim_160G run in run/. When the
# project needs more kernel storage than the build allows (exit status 3), the
# limits file it wrote is read, the program is rebuilt with those capacities
# and run again. Extra arguments go to sim_160G (for example: verbose).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs" --target sim_160G

mkdir -p run
cd run
set +e
../build/project/sim_160G "$@"
status=$?
set -e
if [ "$status" -eq 3 ]; then
  echo "sim_160G: the kernel storage limits are too small; rebuilding with the counts of x0_sim_160g.hst"
  defs=()
  while read -r key value; do
    defs+=("-DNODRIX_${key}=${value}")
  done < x0_sim_160g.hst
  cmake -S .. -B ../build "${defs[@]}" >/dev/null
  cmake --build ../build -j "$jobs" --target sim_160G
  set +e
  ../build/project/sim_160G "$@"
  status=$?
  set -e
fi
echo "sim_160G finished with exit status $status; files in $(pwd):"
ls -1
exit "$status"
