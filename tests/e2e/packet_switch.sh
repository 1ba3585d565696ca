#!/usr/bin/env bash
# Whole-system test of the packet path: the daemon in its own network
# namespace with two raw interfaces on veth pairs and one TAP interface,
# chain "switch". Two client namespaces ping each other through it, the
# TAP side (the daemon namespace's own stack) answers too, a UDP datagram
# sent with transmit checksum offload left on arrives intact, "show
# ifstat" counts the frames, and link detection logs "link lost" /
# "link detected" when a client takes its end of a veth down and up.
#
# Offload: the veths keep their default settings (tx checksum offload on),
# so the daemon must finish the checksums of the frames it forwards.
#
# Usage: packet_switch.sh <kvn binary> [<kvnagent binary>]; needs root.
set -u
KVN=$(readlink -f "$1")
source "$(dirname "$0")/lab_lib.bash"
lab_require ip ss ping python3

id=$$
NSD=kvnpd$id NS1=kvnp1$id NS2=kvnp2$id
D1=kd1$id D2=kd2$id C1=kc1$id C2=kc2$id TAP=kt$id
INST=3
ROOT=$(mktemp -d /tmp/kvn-e2e-switch-XXXXXX)
trap lab_cleanup EXIT

ip netns add "$NSD" && ip netns add "$NS1" && ip netns add "$NS2" || exit 1
ip link add "$D1" netns "$NSD" type veth peer name "$C1" netns "$NS1" || exit 1
ip link add "$D2" netns "$NSD" type veth peer name "$C2" netns "$NS2" || exit 1
ip -n "$NS1" addr add 192.0.2.1/24 dev "$C1"
ip -n "$NS2" addr add 192.0.2.2/24 dev "$C2"
for ns in "$NS1" "$NS2" "$NSD"; do ip -n "$ns" link set lo up; done
ip -n "$NS1" link set "$C1" up
ip -n "$NS2" link set "$C2" up

mkdir -p "$ROOT/etc" "$ROOT/var/run"
cat > "$ROOT/etc/kvn$INST.conf" <<CONF
modules switch
interface 1 {
          name $D1
}

interface 2 {
          name $D2
}

interface 3 {
          name $TAP
          access tap
}

register interfaces 1,2,3
enable interfaces 1,2,3
CONF

KVN_ROOT=$ROOT ip netns exec "$NSD" "$KVN" -f start $INST >"$ROOT/daemon.out" 2>&1 &
DPID=$!

if ! poll 15 bash -c "echo 'show ifstat' | KVN_ROOT=$ROOT timeout 5 $KVN control $INST 2>/dev/null | grep -q 'interface 3 ($TAP)'"; then
  echo "FAIL: daemon did not come up with three interfaces"
  cat "$ROOT/daemon.out"
  exit 1
fi

# The TAP device exists once the daemon opened it; give the daemon
# namespace's own stack an address on it.
ip -n "$NSD" addr add 192.0.2.3/24 dev "$TAP"
ip -n "$NSD" link set "$TAP" up

check "ping between the two clients through the switch chain" \
  poll 15 ip netns exec "$NS1" ping -c 1 -W 1 192.0.2.2
check "three pings in a row" ip netns exec "$NS1" ping -c 3 -i 0.2 -W 2 192.0.2.2
check "ping to the stack behind the TAP interface" \
  poll 15 ip netns exec "$NS2" ping -c 1 -W 1 192.0.2.3

# UDP with offloaded checksums: the receiver's stack drops a datagram whose
# checksum the daemon did not finish. The datagram goes out once the
# receiver's socket is bound.
udp_listening() { ip netns exec "$NS2" ss -Hlun 'sport = :9999' | grep -q 9999; }
udp_ok() {
  ip netns exec "$NS2" timeout 5 python3 -c '
import socket,sys
s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM); s.bind(("192.0.2.2",9999)); s.settimeout(4)
sys.exit(0 if s.recvfrom(100)[0]==b"offloaded" else 1)' &
  local r=$!
  poll 5 udp_listening || echo "the receiver did not bind its socket"
  ip netns exec "$NS1" python3 -c '
import socket
socket.socket(socket.AF_INET,socket.SOCK_DGRAM).sendto(b"offloaded",("192.0.2.2",9999))'
  wait $r
}
check "UDP datagram with an offloaded checksum arrives" udp_ok

stats=$(ctl "show ifstat")
echo "$stats"
received1=$(echo "$stats" | awk '/^interface 1 /{f=1} f&&/packets/{print $2; exit}')
check "show ifstat counts frames received on interface 1" test "${received1:-0}" -ge 4
check "show ifstat lists interface 2" grep -q "interface 2 ($D2)" <<<"$stats"

# Link detection looks at each interface once a second: the change is only
# seen against a state it has already seen.
check "link of interface 2 is detected" poll 10 bash -c "echo 'show log' | KVN_ROOT=$ROOT timeout 5 $KVN control $INST | grep -q 'link detected on interface 2 ($D2)'"
ip -n "$NS2" link set "$C2" down
check "link lost is logged" poll 10 bash -c "echo 'show log' | KVN_ROOT=$ROOT timeout 5 $KVN control $INST | grep -q 'link lost on interface 2 ($D2)'"
ip -n "$NS2" link set "$C2" up
check "link detected is logged" poll 10 bash -c "echo 'show log' | KVN_ROOT=$ROOT timeout 5 $KVN control $INST | grep -c 'link detected on interface 2 ($D2)' | grep -q '^[2-9]'"

exit $fail
