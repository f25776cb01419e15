#!/usr/bin/env bash
# Records the regression net's references again (tests/regression/reference)
# from the runs of this tree. Use it only when a change of results is
# intended, and say in the commit why the results changed.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs" --target regression_tests
rm -rf tests/regression/reference
NODRIX_REGRESSION_RECORD=1 build/tests/regression/regression_tests
git status --short tests/regression/reference
