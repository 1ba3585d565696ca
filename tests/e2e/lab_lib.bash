# Helpers shared by the whole-system scripts that run kvn in a namespace of
# its own between two client namespaces. The sourcing script sets NSD, NS1,
# NS2, ROOT, INST and KVN, and DPID once the daemon runs; `fail` collects
# the result of the checks.
fail=0
DPID=

# skip <reason>: the test cannot run here. Exits with the code CTest
# counts as skipped (SKIP_RETURN_CODE in tests/CMakeLists.txt), never 0.
skip() {
  echo "SKIP: $*"
  exit 77
}

# Stops the daemon by its pid and removes the namespaces and the root.
lab_cleanup() {
  if [ -n "$DPID" ]; then
    kill "$DPID" 2>/dev/null
    for _ in $(seq 50); do kill -0 "$DPID" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$DPID" 2>/dev/null
  fi
  ip netns del "$NSD" 2>/dev/null
  ip netns del "$NS1" 2>/dev/null
  ip netns del "$NS2" 2>/dev/null
  rm -rf "$ROOT"
}

check() {  # check <description> <command...>
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else echo "FAIL: $what"; fail=1; fi
}

# poll <seconds> <command...>: true as soon as the command succeeds.
poll() {
  local deadline=$((SECONDS + $1)); shift
  while [ $SECONDS -lt $deadline ]; do
    "$@" && return 0
    sleep 0.2
  done
  return 1
}

ctl() { echo "$1" | KVN_ROOT=$ROOT timeout 10 "$KVN" control $INST; }
