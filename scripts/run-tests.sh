#!/usr/bin/env bash
# The layer check (scripts/check-layers.sh), the function length check
# (scripts/check-function-length.sh), set-up, then builds and runs the
# whole test suite twice: a normal build and a build with AddressSanitizer and
# UndefinedBehaviorSanitizer. The normal run
# includes the Slurm test (label slurm): CTest starts a single-node Slurm
# cluster on localhost for it (scripts/slurm-cluster.sh, as root) and stops it
# afterwards; when the cluster cannot start, the test fails with the reason.
set -euo pipefail
cd "$(dirname "$0")/.."
# Includes point down the layers before anything is built.
bash scripts/check-layers.sh
# No function over 80 lines in any layer.
bash scripts/check-function-length.sh
bash scripts/setup.sh --slurm

jobs=$(nproc 2>/dev/null || echo 2)

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs"
(cd build && ctest --output-on-failure -j "$jobs" -LE long)
(cd build && ctest --output-on-failure -L long)

# The Python package: its tests, the example notebook executed cell by cell
# (a failing cell fails the command) and the example scripts, all with
# Debian's Python, on the programs just built.
/usr/bin/python3 -m pytest -q python/tests
examples_out=$(mktemp -d)
trap 'rm -rf "$examples_out"' EXIT
PYDEVD_DISABLE_FILE_VALIDATION=1 /usr/bin/python3 -m nbconvert --to notebook --execute --ExecutePreprocessor.kernel_name=python3 \
  --output-dir "$examples_out" examples/first_link.ipynb
for script in examples/*.py; do
  (cd "$examples_out" && MPLBACKEND=Agg /usr/bin/python3 "$OLDPWD/$script" >/dev/null)
done

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DNODRIX_SANITIZE=ON -DNODRIX_BUILD_BENCH=OFF >/dev/null
cmake --build build-asan -j "$jobs"
# The regression net and the sweeps' whole runs (labels sweep and slurm)
# simulate many points: they run the optimised programs of the normal build
# only; the sweep's own logic runs here in its unit tests.
(cd build-asan && ASAN_OPTIONS=detect_leaks=0 ctest --output-on-failure -j "$jobs" -LE 'long|regression|sweep|slurm')
