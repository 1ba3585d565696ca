#!/bin/bash
# Whole-system test of ARP and neighbour handling: the daemon runs in its own
# network namespace with two veth links; a client namespace on network 1
# resolves and pings the network's real and virt addresses over IPv4 and
# its real6 address over IPv6, and a client on network 2 gets neither an
# ARP reply nor an echo reply for network 1's address.
#
# Usage: arp_neighbour.sh <kvn binary> <kvnagent binary>
# Needs root, ip, arping, ndisc6 and ping. Uses documentation addresses only
# and removes its namespaces and its daemon by exact name and pid.
set -u

KVN=$1
INST=7
TAG="kvnarp$$"
LB="$TAG-lb"
C1="$TAG-c1"
C2="$TAG-c2"
FAILED=0

source "$(dirname "$0")/lab_lib.bash"
lab_require ip arping ndisc6 ping
ROOT=$(mktemp -d /tmp/kvn-e2e-arp-XXXXXX)

cleanup() {
    ip netns exec "$LB" env KVN_ROOT="$ROOT" "$KVN" stop "$INST" >/dev/null 2>&1
    pidfile="$ROOT/var/run/kvn$INST.pid"
    if [ -s "$pidfile" ]; then
        pid=$(cat "$pidfile")
        for _ in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        kill -0 "$pid" 2>/dev/null && kill -9 "$pid" 2>/dev/null
    fi
    for ns in "$LB" "$C1" "$C2"; do ip netns del "$ns" 2>/dev/null; done
    rm -rf "$ROOT"
}
trap cleanup EXIT

check() {  # check <description> <command...>
    local what=$1
    shift
    if "$@" >"$ROOT/last.out" 2>&1; then
        echo "ok: $what"
    else
        echo "FAILED: $what"
        sed 's/^/    /' "$ROOT/last.out"
        FAILED=$((FAILED + 1))
    fi
}

check_not() {  # the command must fail (no answer)
    local what=$1
    shift
    if "$@" >"$ROOT/last.out" 2>&1; then
        echo "FAILED: $what (got an answer)"
        sed 's/^/    /' "$ROOT/last.out"
        FAILED=$((FAILED + 1))
    else
        echo "ok: $what"
    fi
}

mkdir -p "$ROOT/etc" "$ROOT/var/run"
for ns in "$LB" "$C1" "$C2"; do ip netns add "$ns" || exit 1; done
# Interface names are unique per test run inside each namespace anyway.
ip link add lb1 netns "$LB" type veth peer name c1 netns "$C1" || exit 1
ip link add lb2 netns "$LB" type veth peer name c2 netns "$C2" || exit 1
for ns in "$LB" "$C1" "$C2"; do ip -n "$ns" link set lo up; done
# The daemon owns its addresses itself: its namespace's kernel has none and
# must not answer for them.
ip netns exec "$LB" sysctl -qw net.ipv6.conf.all.disable_ipv6=1
ip -n "$LB" link set lb1 up
ip -n "$LB" link set lb2 up
ip -n "$C1" link set c1 up
ip -n "$C1" addr add 192.0.2.50/24 dev c1
ip -n "$C1" addr add 2001:db8:1::50/64 dev c1 nodad
ip -n "$C2" link set c2 up
ip -n "$C2" addr add 198.51.100.50/24 dev c2
# Client 2 reaches network 1's real address on its own link, with the MAC
# the daemon uses for it, so its echo requests really reach interface 2.
ip -n "$C2" route add 192.0.2.0/24 dev c2
ip -n "$C2" neigh add 192.0.2.10 lladdr 06:00:c0:00:02:0a dev c2 nud permanent

cat >"$ROOT/etc/kvn$INST.conf" <<EOF
interface 1 {
  name lb1
}
interface 2 {
  name lb2
}
commit interface 1,2
vrrp {
  vrid 42
  priority 255
  network 1
}
network 1 {
  addr 192.0.2.0
  mask 255.255.255.0
  real 192.0.2.10
  virt 192.0.2.11
  mask6 64
  real6 2001:db8:1::10
  interface 1
}
network 2 {
  addr 198.51.100.0
  mask 255.255.255.0
  real 198.51.100.10
  interface 2
}
commit network 1
commit network 2
EOF

ip netns exec "$LB" env KVN_ROOT="$ROOT" "$KVN" start "$INST" || { echo "FAILED: kvn start"; exit 1; }

# Poll (bounded) until the daemon answers ARP for its real address.
up=0
for _ in $(seq 1 20); do
    if ip netns exec "$C1" arping -q -c 1 -w 1 -I c1 192.0.2.10 >/dev/null 2>&1; then up=1; break; fi
done
[ "$up" = 1 ] || { echo "FAILED: daemon never answered ARP"; exit 1; }

check "ARP reply for real 192.0.2.10 with MAC 06:00:c0:00:02:0a" \
    bash -c "ip netns exec $C1 arping -c 1 -w 2 -I c1 192.0.2.10 | grep -qi '06:00:c0:00:02:0a'"
check "ARP reply for virt 192.0.2.11" ip netns exec "$C1" arping -c 1 -w 2 -I c1 192.0.2.11
check "ping real 192.0.2.10" ip netns exec "$C1" ping -c 2 -W 2 192.0.2.10
check "ping virt 192.0.2.11" ip netns exec "$C1" ping -c 2 -W 2 192.0.2.11
check "neighbour advertisement for real6" \
    bash -c "ip netns exec $C1 ndisc6 -1 -r 3 -w 1000 2001:db8:1::10 c1 | grep -qi 'Target link-layer address'"
check "ping6 real6 2001:db8:1::10" ip netns exec "$C1" ping -6 -c 2 -W 2 2001:db8:1::10
check_not "no ARP reply for 192.0.2.10 on network 2's interface" \
    ip netns exec "$C2" arping -c 2 -w 2 -I c2 192.0.2.10
check_not "no echo reply for 192.0.2.10 from network 2" ip netns exec "$C2" ping -c 2 -W 1 192.0.2.10

if [ "$FAILED" -ne 0 ]; then
    echo "$FAILED check(s) failed"
    exit 1
fi
echo "all ARP/neighbour checks passed"
exit 0
