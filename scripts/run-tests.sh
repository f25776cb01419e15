#!/usr/bin/env bash
# Set-up, then builds and runs the whole test suite twice: a normal build and a
# build with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=$(nproc 2>/dev/null || echo 2)

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs"
(cd build && ctest --output-on-failure -j "$jobs" -LE long)
(cd build && ctest --output-on-failure -L long)

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DNODRIX_SANITIZE=ON -DNODRIX_BUILD_BENCH=OFF >/dev/null
cmake --build build-asan -j "$jobs"
# The regression net runs the optimised programs of the normal build only.
(cd build-asan && ASAN_OPTIONS=detect_leaks=0 ctest --output-on-failure -j "$jobs" -LE 'long|regression')
