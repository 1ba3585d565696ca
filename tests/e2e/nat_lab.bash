# The laboratory of the NAT whole-system scripts (nat.sh, tnat.sh): the
# daemon in a namespace of its own between an inside client and an outside
# server.
#
#   inside  $NS1  198.51.100.<INSIDE_HOST>/24 on in0, route to
#                 203.0.113.0/24 via 198.51.100.1
#   daemon  $NSD  lb1: network 1, 198.51.100.0/24, real .2, virt .1,
#                      nat inside, also the VRRP network (vrid 7)
#                 lb2: network 2, 203.0.113.0/24, real .2, virt .1,
#                      nat outside (the outside address is 203.0.113.1)
#   outside $NS2  203.0.113.10/24 on out0, an HTTP server on port 8080
#                 (python3 -m http.server) that logs every client address
#
# VRRP is configured but, since advertisements and mastership are not part
# of the daemon yet, the node stays in state INITIALIZE: it is no backup,
# so it answers ARP for the virt addresses with the VRRP virtual MAC
# 00:00:5e:00:01:07 that their entries carry, and it sends no gratuitous
# ARP for them (only a master would). The inside client reaches the
# virtual MAC by resolving its gateway 198.51.100.1; the server resolves
# 203.0.113.1 the same way. The server's own address is declared with
# `arp` so the daemon resolves it before the first packet.
#
# The sourcing script sets KVN, TAG (unique per run, with $$), INST,
# INSIDE_HOST, EXTRA_CONFIG (configuration lines appended) and optionally
# READERS (reader threads per interface, multithreaded mode), then calls
# nat_lab_start. Everything is removed again by exact name and pid.
source "$(dirname "$0")/lab_lib.bash"

NSD="$TAG-lb"
NS1="$TAG-in"
NS2="$TAG-out"
INSIDE="198.51.100.$INSIDE_HOST"
SERVER=203.0.113.10
VMAC=00:00:5e:00:01:07
HTTP_PID=
ROOT=

nat_lab_cleanup() {
  if [ -n "$HTTP_PID" ]; then
    kill "$HTTP_PID" 2>/dev/null
    wait "$HTTP_PID" 2>/dev/null
  fi
  [ -n "$ROOT" ] && lab_cleanup
}

vrrp_initialized() { ctl "show vrrp" 2>/dev/null | grep -q INITIALIZE; }

nat_lab_start() {
  lab_require ip ping arping curl ethtool python3 tcpdump
  ROOT=$(mktemp -d /tmp/kvn-e2e-nat-XXXXXX)
  trap nat_lab_cleanup EXIT
  mkdir -p "$ROOT/etc" "$ROOT/var/run" "$ROOT/www"
  echo "outside-server" >"$ROOT/www/id.txt"

  ip netns add "$NSD" && ip netns add "$NS1" && ip netns add "$NS2" || exit 1
  ip link add lb1 netns "$NSD" type veth peer name in0 netns "$NS1" || exit 1
  ip link add lb2 netns "$NSD" type veth peer name out0 netns "$NS2" || exit 1
  for ns in "$NSD" "$NS1" "$NS2"; do ip -n "$ns" link set lo up; done
  # The daemon owns its addresses itself: its namespace's kernel has none.
  ip netns exec "$NSD" sysctl -qw net.ipv6.conf.all.disable_ipv6=1
  ip -n "$NSD" link set lb1 up
  ip -n "$NSD" link set lb2 up
  ip -n "$NS1" addr add "$INSIDE/24" dev in0
  ip -n "$NS1" link set in0 up
  ip -n "$NS1" route add 203.0.113.0/24 via 198.51.100.1
  ip -n "$NS2" addr add "$SERVER/24" dev out0
  ip -n "$NS2" link set out0 up

  # READERS (optional): reader threads per interface, in the
  # multithreaded I/O mode.
  local threads="" n
  : >"$ROOT/etc/kvn$INST.conf"
  if [ -n "${READERS:-}" ]; then
    echo "set multithreading 1" >"$ROOT/etc/kvn$INST.conf"
    threads="threads $READERS"
  fi
  for n in 1 2; do
    printf 'interface %d {\n  name lb%d\n%s}\n' $n $n "${threads:+  $threads
}" >>"$ROOT/etc/kvn$INST.conf"
  done
  cat >>"$ROOT/etc/kvn$INST.conf" <<EOF
commit interface 1,2
set ipforwarding 1
vrrp {
  vrid 7
  priority 100
  network 1
}
network 1 {
  addr 198.51.100.0
  mask 255.255.255.0
  real 198.51.100.2
  virt 198.51.100.1
  nat inside
  interface 1
}
network 2 {
  addr 203.0.113.0
  mask 255.255.255.0
  real 203.0.113.2
  virt 203.0.113.1
  nat outside
  interface 2
}
commit network 1
commit network 2
arp $SERVER
$EXTRA_CONFIG
EOF

  ip netns exec "$NS2" python3 -u -m http.server 8080 --bind "$SERVER" --directory "$ROOT/www" \
    >"$ROOT/http.log" 2>&1 &
  HTTP_PID=$!
  KVN_ROOT=$ROOT ip netns exec "$NSD" "$KVN" -f start "$INST" >"$ROOT/daemon.out" 2>&1 &
  DPID=$!

  poll 15 ip netns exec "$NS2" curl -s --max-time 2 -o /dev/null "http://$SERVER:8080/id.txt" ||
    { echo "FAIL: the outside HTTP server did not start"; cat "$ROOT/http.log"; exit 1; }
  poll 15 vrrp_initialized ||
    { echo "FAIL: the daemon did not come up with VRRP configured"; cat "$ROOT/daemon.out"; exit 1; }
}

# nat_lab_offload on|off: transmit checksum offload of the inside client's
# and the server's veth ends, whose frames the daemon translates.
nat_lab_offload() {
  ip netns exec "$NS1" ethtool -K in0 tx "$1" >/dev/null 2>&1 &&
    ip netns exec "$NS2" ethtool -K out0 tx "$1" >/dev/null 2>&1 || return 1
  ip netns exec "$NS1" ethtool -k in0 | grep -q "^tx-checksumming: $1" &&
    ip netns exec "$NS2" ethtool -k out0 | grep -q "^tx-checksumming: $1"
}

# http_from <address>: fetches the server's page from the inside client,
# bound to that address, and checks the content.
http_from() {
  ip netns exec "$NS1" curl -s --max-time 5 --interface "$1" "http://$SERVER:8080/id.txt" | grep -qx outside-server
}

# server_saw <address>: the HTTP server logged a request from the address.
server_saw() { grep -q "^$1 - - .*GET /id.txt" "$ROOT/http.log"; }
# server_saw_none <prefix>: it logged none from the inside network.
server_saw_none() { ! grep -q "^$1" "$ROOT/http.log"; }

# ping_seen_from <address>: an echo request from the inside client reaches
# the server with that source address, and the reply comes back.
ping_seen_from() {
  local cap="$ROOT/icmp.$RANDOM" tpid ok=1
  ip netns exec "$NS2" timeout 15 tcpdump -n -l -i out0 -c 1 \
    "icmp[icmptype] == icmp-echo and src host $1" >"$cap" 2>"$cap.err" &
  tpid=$!
  poll 5 grep -qs "listening on" "$cap.err" || { kill "$tpid" 2>/dev/null; wait "$tpid"; return 1; }
  poll 10 ip netns exec "$NS1" ping -c 1 -W 1 "$SERVER" >/dev/null || ok=0
  wait "$tpid"
  grep -q "$1 > $SERVER: ICMP echo request" "$cap" || ok=0
  [ $ok = 1 ]
}
