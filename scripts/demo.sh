#!/usr/bin/env bash
# The demo lab: builds kvn and runs it in a network namespace of its own
# with two raw interfaces on veth pairs, each the link of one network with
# real, virt and real6 addresses. A client namespace on each link gets ARP
# replies and IPv4/IPv6 echo replies from the balancer's own addresses;
# then the daemon's view ("show ifstat", "show arphash", "show vips",
# "show conf") is printed through `kvn control`, the daemon is stopped by
# its pid, and every namespace and file the demo made is removed.
#
# Documentation addresses only; the namespaces have no route off the
# machine. Names carry the pid, so a second run (or one beside a test)
# never meets the first one's leftovers. Needs root.
set -euo pipefail
cd "$(dirname "$0")/.."
[ "$(id -u)" = 0 ] || { echo "run as root: sudo bash scripts/demo.sh" >&2; exit 1; }
bash scripts/install-deps.sh
echo "== building kvn"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target kvn >/dev/null
kvn=$PWD/build/src/kvn

inst=5
tag=kvndemo$$
lb=$tag-lb c1=$tag-c1 c2=$tag-c2
root=$(mktemp -d /tmp/kvn-demo-XXXXXX)
pidfile=$root/var/run/kvn$inst.pid
mkdir -p "$root/etc" "$root/var/run"

cleanup() {
  if [ -s "$pidfile" ]; then
    pid=$(cat "$pidfile")
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
  fi
  for ns in "$lb" "$c1" "$c2"; do ip netns del "$ns" 2>/dev/null || true; done
  rm -rf "$root"
}
trap cleanup EXIT

# nsx <namespace> <command...>: runs the command in the namespace
nsx() { local ns=$1; shift; ip netns exec "$ns" "$@"; }
ctl() { echo "$1" | KVN_ROOT=$root timeout 10 "$kvn" control $inst; }

echo "== namespaces $lb (kvn), $c1 and $c2 (clients)"
for ns in "$lb" "$c1" "$c2"; do ip netns add "$ns"; ip -n "$ns" link set lo up; done
ip link add lb1 netns "$lb" type veth peer name eth0 netns "$c1"
ip link add lb2 netns "$lb" type veth peer name eth0 netns "$c2"
# kvn owns its addresses: the kernel of its namespace has none, no IPv6,
# and must not answer for them.
nsx "$lb" sysctl -qw net.ipv6.conf.all.disable_ipv6=1
ip -n "$c1" addr add 192.0.2.50/24 dev eth0
ip -n "$c1" addr add 2001:db8:1::50/64 dev eth0 nodad
ip -n "$c2" addr add 198.51.100.50/24 dev eth0
ip -n "$c2" addr add 2001:db8:2::50/64 dev eth0 nodad
for ns in "$c1" "$c2"; do ip -n "$ns" link set eth0 up; done

cat >"$root/etc/kvn$inst.conf" <<'EOF'
hostname demo
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
  name clients
  addr 192.0.2.0
  mask 255.255.255.0
  real 192.0.2.10
  virt 192.0.2.11
  mask6 64
  real6 2001:db8:1::10
  interface 1
}
network 2 {
  name servers
  addr 198.51.100.0
  mask 255.255.255.0
  real 198.51.100.10
  virt 198.51.100.11
  mask6 64
  real6 2001:db8:2::10
  interface 2
}
commit network 1
commit network 2
EOF

echo "== starting kvn instance $inst in $lb (KVN_ROOT=$root)"
nsx "$lb" env KVN_ROOT="$root" "$kvn" start $inst
for _ in $(seq 50); do [ -s "$pidfile" ] && break; sleep 0.1; done
[ -s "$pidfile" ] || { echo "kvn did not start" >&2; exit 1; }
echo "kvn runs with pid $(cat "$pidfile")"

# The first answer may take a moment while the daemon opens its sockets.
for _ in $(seq 20); do nsx "$c1" arping -q -c 1 -w 1 -I eth0 192.0.2.10 && break; done

echo "== ARP and echo replies from the balancer's addresses"
nsx "$c1" arping -c 1 -w 2 -I eth0 192.0.2.10
nsx "$c1" arping -c 1 -w 2 -I eth0 192.0.2.11
nsx "$c2" arping -c 1 -w 2 -I eth0 198.51.100.10
nsx "$c1" ping -c 2 -i 0.2 -W 2 192.0.2.10
nsx "$c1" ping -c 2 -i 0.2 -W 2 192.0.2.11
nsx "$c2" ping -c 2 -i 0.2 -W 2 198.51.100.10
nsx "$c1" ping -6 -c 2 -i 0.2 -W 2 2001:db8:1::10
nsx "$c2" ping -6 -c 2 -i 0.2 -W 2 2001:db8:2::10

for item in ifstat arphash vips conf; do
  echo "== kvn control: show $item"
  ctl "show $item"
  echo
done

echo "== stopping kvn (pid $(cat "$pidfile")) and removing the lab"
