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

# lab_require <tool...>: skips the test unless it runs as root and every
# tool is on the PATH.
lab_require() {
  [ "$(id -u)" = 0 ] || skip "needs root"
  local tool
  for tool in "$@"; do
    command -v "$tool" >/dev/null || skip "$tool not installed"
  done
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

# log_has <text>: the daemon's recent log holds the text.
log_has() { ctl "show log" | grep -qF -- "$1"; }

# lab_link <k> <client namespace>: a veth pair from lb<k> in the daemon's
# namespace to eth0 in the client's, the client's end up with address
# 192.0.2.<k>/24; the daemon's end is left for the daemon to open.
lab_link() {
  ip link add "lb$1" netns "$NSD" type veth peer name eth0 netns "$2" &&
    ip -n "$2" link set lo up &&
    ip -n "$2" addr add "192.0.2.$1/24" dev eth0 &&
    ip -n "$2" link set eth0 up
}

# lab_relink <k> <client namespace>: deletes the daemon's device lb<k>
# (which takes the client's eth0 with it) and makes the link again under
# the same names.
lab_relink() {
  ip -n "$NSD" link del "lb$1" && lab_link "$1" "$2"
}

# lab_report: after a failed check, what the daemon printed and logged.
lab_report() {
  if [ $fail != 0 ]; then
    cat "$ROOT/daemon.out"
    ctl "show log"
  fi
}
