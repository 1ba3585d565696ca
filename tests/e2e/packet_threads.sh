#!/usr/bin/env bash
# Whole-system test of the multithreaded I/O mode: `set multithreading 1`,
# the daemon in its own network namespace with two raw interfaces on veth
# pairs, two reader threads each, chain "arp,ping,switch". Two client
# namespaces ping each other through the daemon (switched by the reader
# threads) and ping the balancer's real address (answered by the ping
# module), and "show threads" lists the four reader threads with the
# frames they processed.
#
# Usage: packet_threads.sh <kvn binary> [<kvnagent binary>]; needs root.
set -u
KVN=$(readlink -f "$1")
source "$(dirname "$0")/lab_lib.bash"
[ "$(id -u)" = 0 ] || skip "needs root"
for tool in ip ping; do
  command -v "$tool" >/dev/null || skip "$tool not installed"
done

id=$$
NSD=kvnmtd$id NS1=kvnmt1$id NS2=kvnmt2$id
INST=4
ROOT=$(mktemp -d /tmp/kvn-e2e-threads-XXXXXX)
trap lab_cleanup EXIT

ip netns add "$NSD" && ip netns add "$NS1" && ip netns add "$NS2" || exit 1
ip link add lb1 netns "$NSD" type veth peer name eth0 netns "$NS1" || exit 1
ip link add lb2 netns "$NSD" type veth peer name eth0 netns "$NS2" || exit 1
for ns in "$NS1" "$NS2" "$NSD"; do ip -n "$ns" link set lo up; done
# The daemon answers for its addresses itself; its namespace's stack stays
# quiet.
ip netns exec "$NSD" sysctl -qw net.ipv6.conf.all.disable_ipv6=1
ip -n "$NS1" addr add 192.0.2.1/24 dev eth0
ip -n "$NS2" addr add 192.0.2.2/24 dev eth0
ip -n "$NS1" link set eth0 up
ip -n "$NS2" link set eth0 up

mkdir -p "$ROOT/etc" "$ROOT/var/run"
cat > "$ROOT/etc/kvn$INST.conf" <<CONF
set multithreading 1
modules arp,ping,switch
interface 1 {
  name lb1
  threads 2
}
interface 2 {
  name lb2
  threads 2
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

if ! poll 15 bash -c "echo 'show threads' | KVN_ROOT=$ROOT timeout 5 $KVN control $INST 2>/dev/null | grep -q 'thread no 4'"; then
  echo "FAIL: daemon did not start four reader threads"
  cat "$ROOT/daemon.out"
  echo 'show log' | KVN_ROOT=$ROOT timeout 5 "$KVN" control $INST
  exit 1
fi

check "ping between the two clients through the reader threads" \
  poll 15 ip netns exec "$NS1" ping -c 1 -W 1 192.0.2.2
check "ten pings in a row between the clients" ip netns exec "$NS2" ping -c 10 -i 0.1 -W 2 192.0.2.1
check "ping to the balancer's real address from client 1" \
  poll 15 ip netns exec "$NS1" ping -c 1 -W 1 192.0.2.10
check "ping to the balancer's real address from client 2" \
  ip netns exec "$NS2" ping -c 3 -i 0.2 -W 2 192.0.2.10

threads=$(ctl "show threads")
echo "$threads"
for n in 1 2 3 4; do
  check "show threads lists thread $n" grep -q "^ thread no $n\$" <<<"$threads"
done
check "two threads read interface 1" test "$(grep -c '^   interface 1 (lb1)$' <<<"$threads")" = 2
check "two threads read interface 2" test "$(grep -c '^   interface 2 (lb2)$' <<<"$threads")" = 2
# Every frame an interface received was processed by one of its threads.
processed() {  # processed <slot>: sum of its threads' counts
  awk -v s="$1" '/^   interface /{cur=$2} /packets processed/{if (cur==s) sum+=$3} END{print sum+0}' <<<"$threads"
}
check "the threads of interface 1 processed frames" test "$(processed 1)" -ge 10
check "the threads of interface 2 processed frames" test "$(processed 2)" -ge 10

# A disabled interface has no descriptor: its readers idle instead of
# reading standard input in a loop. A reader waits at most one second (its
# poll timeout) before it looks at its interface again, so once the
# daemon's clock has moved on three seconds past the disable every reader
# has been back to that check at least twice.
uptime_now() { ctl "show uptime" | awk '/current uptime is/{print $4}'; }
uptime_past() { local now; now=$(uptime_now); [ -n "$now" ] && [ "$now" -ge "$1" ]; }
disabled_at=$(uptime_now)
ctl "disable interface 2" >/dev/null
# Frames arriving on the link now wake any reader still waiting on it.
ip netns exec "$NS2" ping -c 3 -i 0.2 -W 1 192.0.2.10 >/dev/null 2>&1
check "the daemon's clock runs on after the disable" poll 15 uptime_past $((${disabled_at:-0} + 3))
check "readers of a disabled interface do not spin on read()" \
  bash -c "! (echo 'show log' | KVN_ROOT=$ROOT timeout 5 $KVN control $INST | grep -qE 'read\(\) (returns 0|error in thread)')"
ctl "enable interface 2" >/dev/null
check "the interface's readers serve it again once it is enabled" \
  poll 15 ip netns exec "$NS2" ping -c 1 -W 1 192.0.2.10

exit $fail
