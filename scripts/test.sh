#!/usr/bin/env bash
# The whole test suite: installs dependencies; builds the normal tree, the
# sanitizer (ASan+UBSan) tree, the thread-sanitizer tree and the clang fuzz
# tree; fuzzes the frame path, the command interpreter and the
# configuration loader for a bounded time each; runs every test in the
# normal tree, the unit tests under ASan+UBSan, and the unit tests and the
# multithreaded reader tests (switching, and translation) under TSan.
#
# A test that cannot run is reported skipped. In CI (the variable CI set)
# everything the tests need is installed and they run as root, so there a
# skipped test fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc)
src=$(pwd)

work=$(mktemp -d /tmp/kvn-test-run-XXXXXX)
trap 'rm -rf "$work"' EXIT

in_ci() { [ -n "${CI:-}" ] && [ "${CI}" != false ] && [ "${CI}" != 0 ]; }

# run_ctest <tree> <ctest arguments...>: runs CTest in a build tree; in CI
# a whole-system test that did not run (skipped, disabled) fails the run.
run_ctest() {
  local tree=$1 log
  shift
  log=$(mktemp "$work/ctest-XXXXXX")
  (cd "$tree" && ctest --output-on-failure -j"$jobs" --timeout 300 "$@") 2>&1 | tee "$log"
  # A unit test may skip where a build cannot run it (a sanitizer that
  # reserves the address space it would limit); a whole-system test that
  # skips in CI means the machine lacks what it needs, and fails the run.
  if in_ci && grep -q '^The following tests did not run:' "$log"; then
    local skipped e2e
    skipped=$(sed -n '/^The following tests did not run:/,/^$/s/^[[:space:]]*[0-9]* - \(.*\) (.*)$/\1/p' "$log")
    e2e=$(cd "$tree" && ctest -N -L e2e | sed -n 's/^ *Test *#[0-9]*: //p')
    if [ -n "$(comm -12 <(sort <<<"$skipped") <(sort <<<"$e2e"))" ]; then
      echo "FAIL: whole-system tests did not run in $tree; in CI every one must run" >&2
      exit 1
    fi
  fi
}

echo "== build: normal, ASan+UBSan, TSan"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
# The sanitizer trees run only the unit tests (and, under TSan, the reader
# threads' whole-system test), so they build only those.
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DKVN_SANITIZE=ON -DKVN_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs" --target kvn_unit_tests
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKVN_TSAN=ON -DKVN_BENCH=OFF >/dev/null
cmake --build build-tsan -j"$jobs" --target kvn_unit_tests

# Bounded fuzzing: a clang build of the fuzz targets in their own tree
# (install-deps put clang and its fuzzer runtime there; a failing build
# fails the run), a fixed time per target, new inputs kept out of the seed
# corpora, crash inputs left in build-fuzz/.
echo "== fuzz build"
cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKVN_FUZZ=ON -DKVN_BENCH=OFF \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build-fuzz -j"$jobs" --target chain_fuzz command_fuzz config_fuzz

# fuzz <target> <seconds> <max input length>
fuzz() {
  local target=$1 seconds=$2 max_len=$3
  echo "== $target ($seconds s)"
  mkdir -p "$work/$target"
  ASAN_OPTIONS=detect_leaks=0 "./build-fuzz/fuzz/$target" -max_total_time="$seconds" -max_len="$max_len" \
    -rss_limit_mb=2048 -artifact_prefix=build-fuzz/ "$work/$target" "fuzz/${target%_fuzz}_corpus"
}
fuzz chain_fuzz 60 10000
fuzz command_fuzz 45 40000   # room for lines cut across reads and over the line limit
fuzz config_fuzz 45 20000

echo "== unit and whole-system tests"
run_ctest build
echo "== unit tests under ASan+UBSan"
ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 run_ctest build-asan -L unit

# Reports of every TSan process (the daemons of the whole-system test
# included, whose standard error no test reads) go to files; any report
# fails the run. The interactive client's signal test cannot pass under
# TSan, which runs a signal handler only at the next call it intercepts,
# after the client's pselect has already gone back to waiting.
echo "== unit tests and the reader threads' test under TSan"
mkdir -p "$work/tsan"
export TSAN_OPTIONS="log_path=$work/tsan/report suppressions=$src/tests/tsan.supp"
run_ctest build-tsan -L unit -E '^ControlPipes\.InteractiveEndsBySignal$'
run_ctest build-tsan -R '^e2e_(packet_threads|nat_threads)$'
unset TSAN_OPTIONS
if compgen -G "$work/tsan/report*" >/dev/null; then
  cat "$work/tsan"/report* >&2
  echo "FAIL: the thread sanitizer reported races (above)" >&2
  exit 1
fi
echo "== all tests passed"
