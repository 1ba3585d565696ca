#!/usr/bin/env bash
# Whole-system test of translation in the multithreaded I/O mode
# (laboratory: nat_lab.bash): two reader threads on each interface, so the
# `nat` module, the association table, the routing step and the ARP and
# MAC tables are used by several readers at once while the main thread
# runs the per-second expiry steps. Several inside clients fetch pages and
# ping the outside server at the same time; every request gets through
# from the outside address and "show nat" lists an association per flow.
# The test suite also runs it in the thread-sanitizer tree.
#
# Offload settings: transmit checksum offload left on (the veth default)
# at the clients' and the server's ends, so the readers finish checksums
# too; the single-threaded nat test covers on and off.
#
# Usage: nat_threads.sh <kvn binary> [<kvnagent binary> <kvn_wire binary>];
# needs root, ip, ping, arping, curl, ethtool, python3 and tcpdump.
set -u
KVN=$(readlink -f "$1")
TAG="kvnnatmt$$"
INST=13
INSIDE_HOST=30
READERS=2
EXTRA_CONFIG=""
source "$(dirname "$0")/nat_lab.bash"
nat_lab_start

# More inside clients on the one inside link: addresses .31 to .34.
for h in 31 32 33 34; do ip -n "$NS1" addr add "198.51.100.$h/24" dev in0; done

readers_up() { ctl "show threads" | grep -q '^ thread no 4$'; }
check "the daemon runs four reader threads" poll 15 readers_up
check "the first request gets through" poll 20 http_from "$INSIDE"

# fetch_many <address> <count>: count requests in a row from the address,
# each must return the page.
fetch_many() {
  local i
  for i in $(seq 1 "$2"); do http_from "$1" || return 1; done
}
: >"$ROOT/http.log"
pids=()
for h in 30 31 32 33 34; do
  fetch_many "198.51.100.$h" 8 &
  pids+=($!)
done
ip netns exec "$NS1" ping -c 20 -i 0.05 -W 2 -q "$SERVER" >"$ROOT/ping.out" 2>&1 &
ping_pid=$!
failed_fetch=0
for p in "${pids[@]}"; do wait "$p" || failed_fetch=$((failed_fetch + 1)); done
check "every parallel request from five clients got the page" test "$failed_fetch" = 0
check "the pings at the same time got their answers" wait "$ping_pid"
check "the server saw forty requests, all from the outside address" \
  test "$(grep -c '^203\.0\.113\.1 - - .*GET /id.txt' "$ROOT/http.log")" = 40
check "the server saw no inside address" server_saw_none 198.51.100.

ctl "set gnatdlimit 100" >/dev/null
ctl "show nat" >"$ROOT/nat.txt"
check "show nat lists TCP associations of all five clients" \
  test "$(grep -oE '^  198\.51\.100\.3[0-4] TCP4' "$ROOT/nat.txt" | sort -u | wc -l)" = 5
check "show nat lists the echo association" grep -qE '^  198\.51\.100\.30 ECH4 [0-9]+ 203\.0\.113\.1 ECH4 ' "$ROOT/nat.txt"

if [ $fail != 0 ]; then
  cat "$ROOT/nat.txt" "$ROOT/ping.out"
  lab_report
  exit 1
fi
echo "all multithreaded nat checks passed"
exit 0
