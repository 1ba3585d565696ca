#!/usr/bin/env bash
# Whole-system test of target NAT (laboratory: nat_lab.bash). The rule
# "tnat 198.51.100.20 203.0.113.50 tcp any" gives the inside target
# 198.51.100.20 the fixed outside address 203.0.113.50: a TCP connection
# the target opens to the outside HTTP server arrives there from
# 203.0.113.50 and the answer comes back, and the daemon answers ARP for
# 203.0.113.50 on the outside network with the VRRP virtual MAC.
#
# Every case runs twice: with transmit checksum offload on at the target's
# and the server's veth ends (the reader finishes the checksums) and with
# it off (finished checksums, adjusted incrementally). The receivers'
# kernels verify every checksum of the translated frames.
#
# Usage: tnat.sh <kvn binary> [<kvnagent binary> <kvn_wire binary>]; needs
# root, ip, ping, arping, curl, ethtool, python3 and tcpdump.
set -u
KVN=$(readlink -f "$1")
TAG="kvntnat$$"
INST=12
INSIDE_HOST=20
FIXED=203.0.113.50
EXTRA_CONFIG="tnat {
  198.51.100.$INSIDE_HOST $FIXED tcp any
}"
source "$(dirname "$0")/nat_lab.bash"
nat_lab_start

arp_answer() {
  ip netns exec "$NS2" arping -c 1 -w 2 -I out0 "$FIXED" | grep -qi "$VMAC"
}

check "the outside address $FIXED answers ARP with the virtual MAC" poll 10 arp_answer
for offload in on off; do
  echo "== transmit checksum offload $offload"
  check "offload $offload set on the target and server links" nat_lab_offload "$offload"
  : >"$ROOT/http.log"
  check "offload $offload: the target's connection gets its answer" poll 20 http_from "$INSIDE"
  check "offload $offload: the server saw the target's fixed address" server_saw "$FIXED"
  check "offload $offload: the server saw no inside address" server_saw_none 198.51.100.
done
conf_has_rule() { ctl "show conf" | grep -qE "^ +198\.51\.100\.$INSIDE_HOST $FIXED tcp any *$"; }
check "the configuration shown holds the rule" conf_has_rule

if [ $fail != 0 ]; then
  cat "$ROOT/http.log"
  lab_report
  exit 1
fi
echo "all tnat checks passed"
exit 0
