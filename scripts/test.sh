#!/usr/bin/env bash
# The whole test suite: installs dependencies, builds the normal and the
# sanitizer (ASan+UBSan) trees, runs every test in the normal tree and the
# unit tests again under the sanitizers.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc)

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DKVN_SANITIZE=ON -DKVN_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs"

echo "== unit and whole-system tests"
(cd build && ctest --output-on-failure -j"$jobs" --timeout 300)
echo "== unit tests under ASan+UBSan"
(cd build-asan && ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
   ctest --output-on-failure -j"$jobs" -L unit --timeout 300)
