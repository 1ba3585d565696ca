#!/usr/bin/env bash
# Whole-system test of routing: the daemon runs in a namespace of its own
# between a client namespace (198.51.100.0/24, 2001:db8:1::/64) and a
# server namespace (203.0.113.0/24, 2001:db8:2::/64), with `ipforwarding 1`
# and the default module chain. The client routes to the server's networks
# through the daemon's virt address 198.51.100.11 and its real6 address
# 2001:db8:1::10; the server routes back through the daemon's real
# addresses 203.0.113.10 and 2001:db8:2::10. IPv6 networks need the VRRP
# identity (vrid and priority); no VRRP network is set, so VRRP does not
# run and the virt address keeps its own MAC.
#
# Real clients show, over IPv4 and over IPv6:
# - the first frame to the not yet resolved server (a ping) is dropped and
#   the daemon sends exactly one ARP request (one neighbour solicitation),
#   counted with tcpdump in the server's namespace; later frames pass;
# - curl fetches a file from python's http.server in the server namespace;
# - a UDP datagram sent with `nc -u` arrives at an `nc -u -l` there;
# - after `set ipforwarding 0` (through `kvn control`) nothing is
#   forwarded: no echo request and no datagram reaches the server, curl
#   fails; `set ipforwarding 1` restores forwarding.
# Every case runs twice: with transmit checksum offload on the client's and
# the server's veth ends (`ethtool -K eth0 tx on`: the senders leave TCP and
# UDP checksums to the daemon, which finishes them) and with it off
# (`tx off`). TSO/GSO follow the tx setting; the transfers are small
# enough to fit one segment, since the daemon forwards frames of at most
# the link MTU. Before each run the daemon forgets the client and the
# server (`no arp`), so each run starts unresolved.
#
# Usage: routing.sh <kvn binary> [<kvnagent binary>]; needs root, ip, ping,
# curl, nc, tcpdump, ethtool and python3. Documentation addresses only;
# namespaces, daemon and helpers are removed by exact name and pid.
set -u
KVN=$(readlink -f "$1")
source "$(dirname "$0")/lab_lib.bash"
lab_require ip ping curl nc tcpdump ethtool python3 timeout

id=$$
NSD=kvnrtd$id NS1=kvnrt1$id NS2=kvnrt2$id
INST=9
ROOT=$(mktemp -d /tmp/kvn-e2e-routing-XXXXXX)
HELPERS=()     # pids of the server's http and nc listeners
CAP_PID=

cleanup() {
  local p
  [ -n "$CAP_PID" ] && kill "$CAP_PID" 2>/dev/null
  for p in "${HELPERS[@]}"; do kill "$p" 2>/dev/null; done
  for p in "${HELPERS[@]}" $CAP_PID; do wait "$p" 2>/dev/null; done
  lab_cleanup
}
trap cleanup EXIT

in1() { ip netns exec "$NS1" "$@"; }
in2() { ip netns exec "$NS2" "$@"; }

ip netns add "$NSD" && ip netns add "$NS1" && ip netns add "$NS2" || exit 1
for ns in "$NSD" "$NS1" "$NS2"; do ip -n "$ns" link set lo up; done
# The daemon owns its addresses itself: its namespace's stack has none,
# forwards nothing and stays quiet on IPv6.
ip netns exec "$NSD" sysctl -qw net.ipv6.conf.all.disable_ipv6=1
ip netns exec "$NSD" sysctl -qw net.ipv4.ip_forward=0
ip link add lb1 netns "$NSD" type veth peer name eth0 netns "$NS1" || exit 1
ip link add lb2 netns "$NSD" type veth peer name eth0 netns "$NS2" || exit 1
ip -n "$NSD" link set lb1 up && ip -n "$NSD" link set lb2 up || exit 1
ip -n "$NS1" addr add 198.51.100.50/24 dev eth0
ip -n "$NS1" addr add 2001:db8:1::50/64 dev eth0 nodad
ip -n "$NS1" link set eth0 up
ip -n "$NS1" route add 203.0.113.0/24 via 198.51.100.11
ip -n "$NS1" -6 route add 2001:db8:2::/64 via 2001:db8:1::10
ip -n "$NS2" addr add 203.0.113.20/24 dev eth0
ip -n "$NS2" addr add 2001:db8:2::20/64 dev eth0 nodad
ip -n "$NS2" link set eth0 up
ip -n "$NS2" route add 198.51.100.0/24 via 203.0.113.10
ip -n "$NS2" -6 route add 2001:db8:1::/64 via 2001:db8:2::10

mkdir -p "$ROOT/etc" "$ROOT/var/run" "$ROOT/www"
echo "routed through kvn" > "$ROOT/www/hello.txt"
cat > "$ROOT/etc/kvn$INST.conf" <<CONF
set ipforwarding 1
interface 1 {
  name lb1
}
interface 2 {
  name lb2
}
commit interface 1,2
vrrp {
  vrid 42
  priority 100
}
network 1 {
  addr 198.51.100.0
  mask 255.255.255.0
  real 198.51.100.10
  virt 198.51.100.11
  mask6 64
  real6 2001:db8:1::10
  interface 1
}
network 2 {
  addr 203.0.113.0
  mask 255.255.255.0
  real 203.0.113.10
  mask6 64
  real6 2001:db8:2::10
  interface 2
}
commit network 1
commit network 2
CONF

KVN_ROOT=$ROOT ip netns exec "$NSD" "$KVN" -f start $INST >"$ROOT/daemon.out" 2>&1 &
DPID=$!

# The server's listeners: HTTP on both families, UDP per family. Bounded
# by timeout in case the cleanup never runs. Started without a shell
# function in between, so that $! is the process itself.
ip netns exec "$NS2" timeout 280 python3 -m http.server 8080 --bind :: --directory "$ROOT/www" \
  >"$ROOT/http.log" 2>&1 &
HELPERS+=($!)
ip netns exec "$NS2" timeout 280 nc -4 -u -l -k 9999 >"$ROOT/udp4.out" 2>/dev/null &
HELPERS+=($!)
ip netns exec "$NS2" timeout 280 nc -6 -u -l -k 9999 >"$ROOT/udp6.out" 2>/dev/null &
HELPERS+=($!)

if ! poll 15 in1 ping -c 1 -W 1 198.51.100.10 >/dev/null; then
  echo "FAIL: the daemon never answered on network 1"
  cat "$ROOT/daemon.out"
  exit 1
fi
poll 10 in2 curl -s -o /dev/null --max-time 1 http://203.0.113.20:8080/hello.txt || {
  echo "FAIL: the HTTP server did not start"; cat "$ROOT/http.log"; exit 1; }

# capture_start <name>: tcpdump on the server's link, each packet as it comes
# (immediate mode: no buffering that a stop would lose), line by line into a
# file; returns once it listens.
capture_start() {
  CAP_OUT="$ROOT/cap-$1.txt"
  ip netns exec "$NS2" timeout 120 tcpdump --immediate-mode -l -n -i eth0 'arp or icmp or icmp6 or udp' \
    >"$CAP_OUT" 2>"$ROOT/cap-$1.err" &
  CAP_PID=$!
  poll 10 grep -q "listening on" "$ROOT/cap-$1.err" || { echo "FAIL: tcpdump did not start"; exit 1; }
}

# capture_stop: tcpdump prints what it has and ends (SIGTERM: a job of a
# script starts with SIGINT ignored).
capture_stop() {
  kill "$CAP_PID" 2>/dev/null
  wait "$CAP_PID" 2>/dev/null
  CAP_PID=
}

# seen <count> <text>: the capture holds exactly count lines with the text.
seen() {
  local n
  n=$(grep -cF -- "$2" "$CAP_OUT")
  [ "$n" = "$1" ] || { echo "    $n lines with \"$2\", expected $1"; sed 's/^/    /' "$CAP_OUT"; return 1; }
}

not() { ! "$@"; }
quiet() { "$@" >/dev/null 2>&1; }
pings() { quiet in1 ping "$@"; }  # pings <ping options and address>: the client is answered
fetch() {  # fetch <url>: curl gets the file
  [ "$(in1 curl -s -g --max-time 3 "$1")" = "routed through kvn" ]
}
datagram() {  # datagram <address> <text> <file>: nc -u sends, the listener got it
  echo "$2" | in1 timeout 3 nc -u -w 1 -p 40002 "$1" 9999 >/dev/null 2>&1
  poll 3 grep -qx -- "$2" "$3"
}
forget() {  # the daemon drops what it knows of the client and the server
  local a
  for a in 203.0.113.20 198.51.100.50 2001:db8:2::20 2001:db8:1::50; do ctl "no arp $a" >/dev/null; done
}

run() {  # run <on|off>: every case with tx checksum offload on or off
  local tx=$1 ns
  for ns in "$NS1" "$NS2"; do
    ip netns exec "$ns" ethtool -K eth0 tx "$tx" >/dev/null 2>&1 ||
      { echo "FAIL: ethtool -K eth0 tx $tx"; fail=1; return; }
  done
  echo "== veth transmit checksum offload $tx (client and server eth0):" \
    "$(in1 ethtool -k eth0 | grep '^tx-checksumming')"
  forget

  capture_start "$tx-v4"
  check "[tx $tx] first IPv4 frame to the unresolved server is dropped" not pings -c 1 -W 2 203.0.113.20
  check "[tx $tx] later IPv4 frames pass (ping)" poll 10 pings -c 1 -W 1 203.0.113.20
  check "[tx $tx] curl over IPv4" fetch http://203.0.113.20:8080/hello.txt
  check "[tx $tx] UDP datagram over IPv4 arrives" datagram 203.0.113.20 "udp4-$tx" "$ROOT/udp4.out"
  capture_stop
  check "[tx $tx] exactly one ARP request from kvn for the server" \
    seen 1 "Request who-has 203.0.113.20 tell 203.0.113.10"

  capture_start "$tx-v6"
  check "[tx $tx] first IPv6 frame to the unresolved server is dropped" not pings -6 -c 1 -W 2 2001:db8:2::20
  check "[tx $tx] later IPv6 frames pass (ping)" poll 10 pings -6 -c 1 -W 1 2001:db8:2::20
  check "[tx $tx] curl over IPv6" fetch "http://[2001:db8:2::20]:8080/hello.txt"
  check "[tx $tx] UDP datagram over IPv6 arrives" datagram 2001:db8:2::20 "udp6-$tx" "$ROOT/udp6.out"
  capture_stop
  check "[tx $tx] exactly one neighbour solicitation from kvn for the server" \
    seen 1 "2001:db8:2::10 > ff02::1:ff00:20: ICMP6, neighbor solicitation, who has 2001:db8:2::20"

  ctl "set ipforwarding 0" >/dev/null
  capture_start "$tx-off"
  check "[tx $tx] ipforwarding 0: no ping answer" not pings -c 2 -W 1 203.0.113.20
  check "[tx $tx] ipforwarding 0: no ping6 answer" not pings -6 -c 2 -W 1 2001:db8:2::20
  check "[tx $tx] ipforwarding 0: curl fails" not fetch http://203.0.113.20:8080/hello.txt
  check "[tx $tx] ipforwarding 0: no datagram" not datagram 203.0.113.20 "off-$tx" "$ROOT/udp4.out"
  # The capture itself works: the server's own echo request to the daemon.
  check "[tx $tx] ipforwarding 0: the daemon still answers the server" quiet in2 ping -c 1 -W 2 203.0.113.10
  capture_stop
  check "[tx $tx] the capture saw the server's echo request" seen 1 "203.0.113.20 > 203.0.113.10: ICMP echo request"
  check "[tx $tx] ipforwarding 0: no echo request reached the server" \
    seen 0 "198.51.100.50 > 203.0.113.20: ICMP echo request"
  check "[tx $tx] ipforwarding 0: no echo6 request reached the server" \
    seen 0 "2001:db8:1::50 > 2001:db8:2::20: ICMP6, echo request"
  check "[tx $tx] ipforwarding 0: no datagram reached the server" seen 0 "> 203.0.113.20.9999: UDP"
  ctl "set ipforwarding 1" >/dev/null
}

run on
run off

lab_report
[ $fail = 0 ] && echo "all routing checks passed (tx checksum offload on and off)"
exit $fail
