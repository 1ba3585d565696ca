#!/usr/bin/env bash
# Whole-system test of frames taken as they were on the wire, in the
# select loop: the daemon in its own namespace with two raw interfaces on
# veth pairs, chain "arp,ping,switch", its real address 192.0.2.10 on the
# untagged LAN 192.0.2.0/24; VLAN 100 (198.51.100.0/24) runs on the same
# links. kvn_wire sends and sees the tagged frames, so the test needs no
# VLAN devices in the kernel.
#
# - VLAN-tagged frames stay tagged: a tagged broadcast from client 1 is
#   switched to client 2 with its tag, and an ARP request for the daemon's
#   address sent on VLAN 100 gets no answer, tagged or untagged, while the
#   same request untagged is answered.
# - A frame longer than the read buffer (MTU 16000, ping -s 12000) is
#   dropped, counted and warned about instead of answered cut to 9995
#   bytes; a 9000-byte ping on the same link is answered.
# - Deleting the daemon's device and creating it again under the same name
#   brings the interface back without disable/enable.
#
# Offload settings are the veth defaults, left as they are: transmit
# checksum offload on (the daemon finishes such checksums itself), TSO/GSO
# on (ICMP is not segmented), GRO off, VLAN offload on in both directions,
# so the kernel hands the daemon VLAN tags in the packet's auxiliary data.
#
# Usage: packet_wire.sh <kvn binary> <kvnagent binary> <kvn_wire binary>;
# needs root.
set -u
KVN=$(readlink -f "$1")
WIRE=$(readlink -f "${3:-}")
source "$(dirname "$0")/lab_lib.bash"
lab_require ip ping
[ -x "$WIRE" ] || skip "kvn_wire not given"

id=$$
NSD=kvnwd$id NS1=kvnw1$id NS2=kvnw2$id
INST=5
ROOT=$(mktemp -d /tmp/kvn-e2e-wire-XXXXXX)
trap lab_cleanup EXIT

ip netns add "$NSD" && ip netns add "$NS1" && ip netns add "$NS2" || exit 1
ip -n "$NSD" link set lo up
ip netns exec "$NSD" sysctl -qw net.ipv6.conf.all.disable_ipv6=1
lab_link 1 "$NS1" && lab_link 2 "$NS2" || exit 1
# The clients' own IPv6 chatter stays out of the captures.
for ns in "$NS1" "$NS2"; do ip netns exec "$ns" sysctl -qw net.ipv6.conf.all.disable_ipv6=1; done

mkdir -p "$ROOT/etc" "$ROOT/var/run"
cat > "$ROOT/etc/kvn$INST.conf" <<CONF
modules arp,ping,switch
interface 1 {
  name lb1
}
interface 2 {
  name lb2
}
commit interface 1,2
network 1 {
  addr 192.0.2.0
  mask 255.255.255.0
  real 192.0.2.10
  interface 1,2
}
commit network 1
CONF

KVN_ROOT=$ROOT ip netns exec "$NSD" "$KVN" -f start $INST >"$ROOT/daemon.out" 2>&1 &
DPID=$!

if ! poll 15 ip netns exec "$NS1" ping -c 1 -W 1 192.0.2.10 >/dev/null; then
  echo "FAIL: the daemon does not answer on the untagged LAN"
  cat "$ROOT/daemon.out"
  ctl "show log"
  exit 1
fi

# --- VLAN 100 -------------------------------------------------------------

mac1=$(ip -n "$NS1" -br link show eth0 | awk '{print $3}' | tr -d :)
# A tagged broadcast (VLAN 100, priority 5, a local experimental
# EtherType) from client 1, seen on client 2's link while it is sent.
probe="ffffffffffff${mac1}8100a06488b56b766e2d766c616e2d31303000000000000000000000000000000000000000000000000000"
seen=$(ip netns exec "$NS2" "$WIRE" eth0 1500 -- ip netns exec "$NS1" "$WIRE" eth0 200 "$probe")
check "a VLAN 100 frame is switched to the other client with its tag" grep -q " $probe\$" <<<"$seen"
# arp_request <sender IPv4 in hex> [<802.1Q tag in hex>]: a broadcast ARP
# request from client 1 for 192.0.2.10, padded to the Ethernet minimum.
arp_request() {
  local f="ffffffffffff${mac1}${2:-}08060001080006040001${mac1}$1000000000000c000020a"
  while [ ${#f} -lt 120 ]; do f+=00; done
  echo "$f"
}
# replies_to <hex of the requester's IPv4> <kvn_wire output>: how many ARP
# replies from 192.0.2.10 to that address arrived, tagged or not.
replies_to() {
  grep -cE "08060001080006040002[0-9a-f]{12}c000020a[0-9a-f]{12}$1" <<<"$2"
}
seen=$(ip netns exec "$NS1" "$WIRE" eth0 1500 "$(arp_request c0000201)")
check "an untagged ARP request for the daemon's address is answered" test "$(replies_to c0000201 "$seen")" -ge 1
seen=$(ip netns exec "$NS1" "$WIRE" eth0 1500 "$(arp_request c6336401 81000064)")
check "an ARP request on VLAN 100 for the daemon's address gets no answer, tagged or untagged" \
  test "$(replies_to c6336401 "$seen")" = 0

# --- frames longer than the read buffer -----------------------------------

ip -n "$NSD" link set lb1 mtu 16000
ip -n "$NS1" link set eth0 mtu 16000
check "a 9000-byte echo request on the MTU 16000 link is answered" \
  poll 10 ip netns exec "$NS1" ping -c 1 -W 1 -s 9000 192.0.2.10
seen=$(ip netns exec "$NS1" "$WIRE" eth0 2500 -- ping -c 2 -i 0.5 -W 1 -s 12000 192.0.2.10)
check "a 12000-byte echo request gets no reply at all" \
  test "$(awk 'substr($2, 13, 12) == "0600c000020a" && substr($2, 25, 4) == "0800"' <<<"$seen" | wc -l)" = 0
ifstat=$(ctl "show ifstat")
dropped=$(awk '/^interface 1 /{on=1} /^interface 2 /{on=0} on && /^  dropped:/{getline; print $2}' <<<"$ifstat")
check "show ifstat counts the frames dropped on interface 1" test "${dropped:-0}" -ge 2
check "the daemon warns about the too-long frame" \
  log_has 'WARNING: dropped frame of len 12042 on lb1, longer than 9999 bytes'

# --- the device deleted and created again ---------------------------------

lab_relink 1 "$NS1" || exit 1
check "the re-created device is served again without disable/enable" \
  poll 15 ip netns exec "$NS1" ping -c 1 -W 1 192.0.2.10
check "the daemon logs that it opened the new device" \
  log_has 'interface 1 (lb1) opened again on its new device'
check "switching between the clients works across the new device" \
  poll 10 ip netns exec "$NS1" ping -c 1 -W 1 192.0.2.2

lab_report
exit $fail
