#!/usr/bin/env bash
# Whole-system test of the `nat` module (laboratory: nat_lab.bash). An
# inside client 198.51.100.10 behind the daemon fetches a page from an
# HTTP server on the outside network and pings it: both get through, the
# server sees only the outside address 203.0.113.1, and "show nat" lists
# the TCP and echo associations in its layout.
#
# Every case runs twice: with transmit checksum offload on at the client's
# and the server's veth ends (frames reach the daemon with only the
# pseudo-header sum in their checksum field, and the reader finishes
# them), and with it off (finished checksums, adjusted incrementally).
# The receivers' kernels verify every checksum of the translated frames.
#
# Usage: nat.sh <kvn binary> [<kvnagent binary> <kvn_wire binary>]; needs
# root, ip, ping, arping, curl, ethtool, python3 and tcpdump.
set -u
KVN=$(readlink -f "$1")
TAG="kvnnat$$"
INST=11
INSIDE_HOST=10
EXTRA_CONFIG=""
source "$(dirname "$0")/nat_lab.bash"
nat_lab_start

for offload in on off; do
  echo "== transmit checksum offload $offload"
  check "offload $offload set on the client and server links" nat_lab_offload "$offload"
  : >"$ROOT/http.log"
  check "offload $offload: curl reaches the outside server" poll 20 http_from "$INSIDE"
  check "offload $offload: the server saw the outside address" server_saw 203.0.113.1
  check "offload $offload: the server saw no inside address" server_saw_none 198.51.100.
  check "offload $offload: ping reaches the server from the outside address" ping_seen_from 203.0.113.1
done

ctl "show nat" >"$ROOT/nat.txt"
check "show nat counts the associations" grep -qE '^ GNAT: [0-9]+ entr(y|ies)$' "$ROOT/nat.txt"
check "show nat lists the TCP association" \
  grep -qE "^  $INSIDE TCP4 [0-9]+ 203\.0\.113\.1 TCP4 2[0-9]{4} [0-9]+$" "$ROOT/nat.txt"
check "show nat lists the echo association" \
  grep -qE "^  $INSIDE ECH4 [0-9]+ 203\.0\.113\.1 ECH4 2[0-9]{4} [0-9]+$" "$ROOT/nat.txt"

if [ $fail != 0 ]; then
  cat "$ROOT/nat.txt" "$ROOT/http.log"
  lab_report
  exit 1
fi
echo "all nat checks passed"
exit 0
