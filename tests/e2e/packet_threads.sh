#!/usr/bin/env bash
# Whole-system test of the multithreaded I/O mode: `set multithreading 1`,
# the daemon in its own network namespace with raw interfaces on veth
# pairs, two reader threads on interface 1 and one on interface 2, chain
# "arp,ping,switch". Two client namespaces ping each other through the
# daemon (switched by the reader threads) and ping the balancer's real
# address (answered by the ping module), and "show threads" lists the
# three reader threads with the frames they processed. Then, while the
# daemon runs:
# - a third interface, registered but not enabled at start, is enabled
#   and gets readers that serve it;
# - the daemon's side of link 2 is set down: its reader clears the socket
#   error and waits instead of spinning (the daemon's CPU time over a
#   two-second window stays well under half a CPU), and serves the link
#   again once it is up (one reader: with two, one of them may happen to
#   wait inside a read, which takes the error, and nothing would spin);
# - an interface is disabled and enabled again;
# - the daemon's device of a link is deleted and created again under the
#   same name, and is served again without disable/enable.
# The test runs clean under the thread sanitizer.
#
# Offload settings are the veth defaults, left as they are: transmit
# checksum offload and TSO/GSO on, GRO off.
#
# Usage: packet_threads.sh <kvn binary> [<kvnagent binary>]; needs root.
set -u
KVN=$(readlink -f "$1")
source "$(dirname "$0")/lab_lib.bash"
lab_require ip ping

id=$$
NSD=kvnmtd$id NS1=kvnmt1$id NS2=kvnmt2$id NS3=kvnmt3$id
INST=4
ROOT=$(mktemp -d /tmp/kvn-e2e-threads-XXXXXX)
trap 'lab_cleanup; ip netns del "$NS3" 2>/dev/null' EXIT

ip netns add "$NSD" && ip netns add "$NS1" && ip netns add "$NS2" && ip netns add "$NS3" || exit 1
ip -n "$NSD" link set lo up
# The daemon answers for its addresses itself; its namespace's stack stays
# quiet.
ip netns exec "$NSD" sysctl -qw net.ipv6.conf.all.disable_ipv6=1
lab_link 1 "$NS1" && lab_link 2 "$NS2" && lab_link 3 "$NS3" || exit 1

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
  threads 1
}
interface 3 {
  name lb3
  threads 2
}
commit interface 1,2
register interface 3
network 1 {
  addr 192.0.2.0
  mask 255.255.255.0
  real 192.0.2.10
  interface 1,2,3
}
commit network 1
CONF

KVN_ROOT=$ROOT ip netns exec "$NSD" "$KVN" -f start $INST >"$ROOT/daemon.out" 2>&1 &
DPID=$!

if ! poll 15 bash -c "echo 'show threads' | KVN_ROOT=$ROOT timeout 5 $KVN control $INST 2>/dev/null | grep -q 'thread no 3'"; then
  echo "FAIL: daemon did not start three reader threads"
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
for n in 1 2 3; do
  check "show threads lists thread $n" grep -q "^ thread no $n\$" <<<"$threads"
done
check "two threads read interface 1" test "$(grep -c '^   interface 1 (lb1)$' <<<"$threads")" = 2
check "one thread reads interface 2" test "$(grep -c '^   interface 2 (lb2)$' <<<"$threads")" = 1
# Every frame an interface received was processed by one of its threads.
processed() {  # processed <slot>: sum of its threads' counts
  awk -v s="$1" '/^   interface /{cur=$2} /packets processed/{if (cur==s) sum+=$3} END{print sum+0}' <<<"$threads"
}
check "the threads of interface 1 processed frames" test "$(processed 1)" -ge 10
check "the threads of interface 2 processed frames" test "$(processed 2)" -ge 10

# An interface enabled after start-up gets its readers then.
ctl "enable interface 3" >/dev/null
check "an interface enabled after start is answered by its readers" \
  poll 15 ip netns exec "$NS3" ping -c 1 -W 1 192.0.2.10
check "its readers switch its frames to the other clients" \
  ip netns exec "$NS3" ping -c 3 -i 0.2 -W 2 192.0.2.1
check "show threads lists its two readers" \
  test "$(ctl "show threads" | grep -c '^   interface 3 (lb3)$')" = 2

# cpu_ticks: user plus system time the daemon has used, in clock ticks.
cpu_ticks() { awk '{print $14 + $15}' "/proc/$DPID/stat"; }
# idle_cpu <what>: the daemon uses well under half a CPU over a
# two-second window (a spinning reader uses a whole one).
idle_cpu() {
  local hz t0 t1 w0 w1 used
  hz=$(getconf CLK_TCK)
  t0=$(cpu_ticks); w0=$(date +%s%N)
  sleep 2  # the measurement window
  t1=$(cpu_ticks); w1=$(date +%s%N)
  used=$(( (t1 - t0) * 1000000000 / hz ))
  echo "cpu used while $1: $((used / 1000000)) ms of $(((w1 - w0) / 1000000)) ms"
  [ $((used * 4)) -lt $((w1 - w0)) ]
}
check "the daemon runs as process $DPID" grep -qx kvn "/proc/$DPID/comm"

# The daemon's side of link 2 goes down: its readers see the socket error.
ip -n "$NSD" link set lb2 down
check "link detection sees link 2 down" poll 10 log_has 'link lost on interface 2 (lb2)'
check "readers of a downed link do not spin" idle_cpu "link 2 is down"
ip -n "$NSD" link set lb2 up
check "the readers serve the link again once it is up" \
  poll 15 ip netns exec "$NS2" ping -c 1 -W 1 192.0.2.10

# A disabled interface has no descriptor: its readers idle instead of
# reading standard input in a loop. A reader waits at most one second (its
# poll timeout) before it looks at its interface again, so once the
# daemon's clock has moved on three seconds past the disable every reader
# has been back to that check at least twice. (The downed link above
# logged its socket error once; nothing may be added to that.)
uptime_now() { ctl "show uptime" | awk '/current uptime is/{print $4}'; }
uptime_past() { local now; now=$(uptime_now); [ -n "$now" ] && [ "$now" -ge "$1" ]; }
read_complaints() { ctl "show log" | grep -cE 'read\(\) (returns 0|error in thread)'; }
complaints=$(read_complaints)
disabled_at=$(uptime_now)
ctl "disable interface 2" >/dev/null
# Frames arriving on the link now wake any reader still waiting on it.
ip netns exec "$NS2" ping -c 3 -i 0.2 -W 1 192.0.2.10 >/dev/null 2>&1
check "readers of a disabled interface do not spin" idle_cpu "interface 2 is disabled"
check "the daemon's clock runs on after the disable" poll 15 uptime_past $((${disabled_at:-0} + 3))
check "readers of a disabled interface do not spin on read()" test "$(read_complaints)" = "$complaints"
ctl "enable interface 2" >/dev/null
check "the interface's readers serve it again once it is enabled" \
  poll 15 ip netns exec "$NS2" ping -c 1 -W 1 192.0.2.10
check "enabling it again started no further readers" \
  test "$(ctl "show threads" | grep -c '^   interface 2 (lb2)$')" = 1

# The daemon's device of link 1 is deleted and created again.
lab_relink 1 "$NS1" || exit 1
check "the re-created device is served again without disable/enable" \
  poll 15 ip netns exec "$NS1" ping -c 1 -W 1 192.0.2.10
check "its readers switch again between the clients" \
  poll 10 ip netns exec "$NS1" ping -c 1 -W 1 192.0.2.2

lab_report

exit $fail
