#!/usr/bin/env bash
# The whole test suite: installs dependencies, builds the normal and the
# sanitizer (ASan+UBSan) trees, fuzzes the frame path for a bounded time,
# runs every test in the normal tree and the unit tests again under the
# sanitizers.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc)

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DKVN_SANITIZE=ON -DKVN_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs"

# Bounded fuzzing of the frame path: a clang build of the fuzz targets in
# their own tree, one minute per target, new inputs kept out of the seed
# corpus, crash inputs left in build-fuzz/.
if command -v clang++ >/dev/null 2>&1; then
  echo "== chain fuzz (60 s)"
  cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=Debug -DKVN_FUZZ=ON -DKVN_BENCH=OFF \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
  cmake --build build-fuzz -j"$jobs" --target chain_fuzz
  fuzz_work=$(mktemp -d /tmp/kvn-chain-fuzz-XXXXXX)
  trap 'rm -rf "$fuzz_work"' EXIT
  ASAN_OPTIONS=detect_leaks=0 ./build-fuzz/fuzz/chain_fuzz -max_total_time=60 -max_len=10000 \
    -rss_limit_mb=2048 -artifact_prefix=build-fuzz/ "$fuzz_work" fuzz/chain_corpus
  rm -rf "$fuzz_work"
fi

echo "== unit and whole-system tests"
(cd build && ctest --output-on-failure -j"$jobs" --timeout 300)
echo "== unit tests under ASan+UBSan"
(cd build-asan && ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
   ctest --output-on-failure -j"$jobs" -L unit --timeout 300)
