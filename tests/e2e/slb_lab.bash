# The balancer laboratory of the whole-system balancing test (slb.sh) and
# of the demo (scripts/demo.sh): a client, the daemon, a switch and three
# backends, each in a network namespace of its own.
#
#   client   $NS1   eth0 198.51.100.50/24, 2001:db8:1::50/64; with
#                   SLB_RETURN_LINK=1 also ret0 192.0.2.1/24, a direct link
#                   from backend 3 (answers that bypass the daemon)
#   daemon   $NSD   lb1: network 1, 198.51.100.0/24 and 2001:db8:1::/64,
#                        real .2 / ::2, virt .1 / ::1 (the servers' network)
#                   lb2: network 2, 203.0.113.0/24 and 2001:db8:2::/64,
#                        real .2 / ::2, virt .1 / ::1 (the backends' network)
#   switch   $NS2   bridge br0 joining lb2 and the three backends
#   backend k $TAG-b<k>  eth0 203.0.113.1<k>/24, 2001:db8:2::1<k>/64, MAC
#                   02:00:00:00:00:1<k>; routes to the client's networks via
#                   the daemon's virt addresses; runs tests/tools/kvn_ident.py
#                   as "backend-<k>" on the ports the sourcing script names,
#                   serving name.txt (its name) and big.bin (1 MiB, the same
#                   bytes on every backend) over HTTP, logging every request
#
# VRRP is configured with network 1 (IPv6 servers need it) at priority 255:
# the daemon owns the virtual addresses and answers ARP and neighbour
# solicitations for them and for the servers with the virtual MAC
# 00:00:5e:00:01:07, which is what the strict acceptance of the balancing
# module then asks of every frame it takes. The backends send their
# answers to that MAC as their gateway's.
#
# The sourcing script sets KVN, TAG (unique per run, with $$), INST,
# SLB_CONFIG (targets and servers, in the configuration language),
# SLB_HTTP, SLB_TCP, SLB_UDP (the backends' ports, comma separated) and
# optionally SLB_RETURN_LINK, then calls slb_lab_start. slb_lab_cleanup
# (the EXIT trap) removes every namespace and process by exact name and
# pid.
source "$(dirname "${BASH_SOURCE[0]}")/lab_lib.bash"

NSD="$TAG-lb"
NS1="$TAG-cl"
NS2="$TAG-sw"
BACKENDS=(1 2 3)
CLIENT=198.51.100.50
CLIENT6=2001:db8:1::50
VMAC=00:00:5e:00:01:07
IDENT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../tools" && pwd)/kvn_ident.py"
BACKEND_PIDS=()
ROOT=

backend_ns() { echo "$TAG-b$1"; }
backend_ip() { echo "203.0.113.1$1"; }
backend_ip6() { echo "2001:db8:2::1$1"; }
backend_mac() { echo "02:00:00:00:00:1$1"; }
backend_log() { echo "$ROOT/backend-$1.log"; }
in_client() { ip netns exec "$NS1" "$@"; }
in_backend() { local k=$1; shift; ip netns exec "$(backend_ns "$k")" "$@"; }

slb_lab_cleanup() {
  local p k
  for p in "${BACKEND_PIDS[@]}"; do kill "$p" 2>/dev/null; done
  for p in "${BACKEND_PIDS[@]}"; do wait "$p" 2>/dev/null; done
  for k in "${BACKENDS[@]}"; do ip netns del "$(backend_ns "$k")" 2>/dev/null; done
  [ -n "$ROOT" ] && lab_cleanup
}

# slb_link <namespace> <device> <switch port>: a veth from the namespace
# to a port of the switch's bridge.
slb_link() {
  ip link add "$2" netns "$1" type veth peer name "$3" netns "$NS2" &&
    ip -n "$NS2" link set "$3" master br0 up &&
    ip -n "$1" link set "$2" up
}

slb_backend_up() {  # slb_backend_up <k>
  local k=$1 ns www
  ns=$(backend_ns "$k")
  www="$ROOT/www-$k"
  mkdir -p "$www" && echo "backend-$k" >"$www/name.txt" && cp "$ROOT/big.bin" "$www/big.bin" &&
    ip netns add "$ns" && ip -n "$ns" link set lo up &&
    slb_link "$ns" eth0 "sw-b$k" &&
    ip -n "$ns" link set eth0 address "$(backend_mac "$k")" &&
    ip -n "$ns" addr add "$(backend_ip "$k")/24" dev eth0 &&
    ip -n "$ns" addr add "$(backend_ip6 "$k")/64" dev eth0 nodad &&
    ip -n "$ns" route add 198.51.100.0/24 via 203.0.113.1 &&
    ip -n "$ns" -6 route add 2001:db8:1::/64 via 2001:db8:2::1 || return 1
  ip netns exec "$ns" sysctl -qw net.ipv4.conf.all.rp_filter=0 net.ipv4.conf.eth0.rp_filter=0
  # Started without a function in between, so that $! is the backend.
  ip netns exec "$ns" python3 "$IDENT" serve --name "backend-$k" --log "$(backend_log "$k")" --dir "$www" \
    --http "$SLB_HTTP" --tcp "$SLB_TCP" --udp "$SLB_UDP" 2>>"$ROOT/backend-$k.err" &
  BACKEND_PIDS+=($!)
}

# slb_return_link: a direct link from backend 3 to the client, so that
# backend 3 can answer for an address it holds itself without the daemon.
slb_return_link() {
  local ns
  ns=$(backend_ns 3)
  ip link add ret0 netns "$NS1" type veth peer name ret0 netns "$ns" &&
    ip -n "$NS1" addr add 192.0.2.1/24 dev ret0 && ip -n "$NS1" link set ret0 up &&
    ip -n "$ns" addr add 192.0.2.3/24 dev ret0 && ip -n "$ns" link set ret0 up || return 1
  # The client takes answers from a server address on this link too.
  ip netns exec "$NS1" sysctl -qw net.ipv4.conf.all.rp_filter=0 net.ipv4.conf.ret0.rp_filter=0
}

slb_config() {
  cat <<EOF
set sessiondlimit 1000
interface 1 {
  name lb1
}
interface 2 {
  name lb2
}
commit interface 1,2
vrrp {
  vrid 7
  priority 255
  network 1
}
network 1 {
  name clients
  addr 198.51.100.0
  mask 255.255.255.0
  real 198.51.100.2
  virt 198.51.100.1
  mask6 64
  real6 2001:db8:1::2
  virt6 2001:db8:1::1
  interface 1
}
network 2 {
  name backends
  addr 203.0.113.0
  mask 255.255.255.0
  real 203.0.113.2
  virt 203.0.113.1
  mask6 64
  real6 2001:db8:2::2
  virt6 2001:db8:2::1
  interface 2
}
commit network 1
commit network 2
$SLB_CONFIG
EOF
}

# slb_resolved: the daemon has every backend's MAC for its IPv4 address
# and, where a target has it, for its IPv6 address, so the first frame to
# a target is forwarded, not held up.
slb_resolved() {
  local arp k
  arp=$(ctl "show arphash") || return 1
  for k in "${BACKENDS[@]}"; do
    grep -qE "^  ::ffff:$(backend_ip "$k") +4 $(backend_mac "$k") " <<<"$arp" || return 1
    ! grep -E "^  $(backend_ip6 "$k") " <<<"$arp" | grep -qv " $(backend_mac "$k") " || return 1
  done
}

slb_backends_ready() {
  local k
  for k in "${BACKENDS[@]}"; do grep -q "^ready backend-$k$" "$(backend_log "$k")" 2>/dev/null || return 1; done
}

# slb_lab_start: builds the laboratory, starts the backends and the daemon,
# and returns once the daemon runs its configuration without an error and
# has resolved every backend.
slb_lab_start() {
  local k
  lab_require ip curl nc ethtool python3 timeout
  ROOT=$(mktemp -d "/tmp/$TAG-XXXXXX")
  trap slb_lab_cleanup EXIT
  mkdir -p "$ROOT/etc" "$ROOT/var/run"
  head -c 1048576 /dev/urandom >"$ROOT/big.bin"

  ip netns add "$NSD" && ip netns add "$NS1" && ip netns add "$NS2" || exit 1
  for ns in "$NSD" "$NS1" "$NS2"; do ip -n "$ns" link set lo up; done
  # The daemon owns its addresses itself: its namespace's kernel has none,
  # forwards nothing and stays quiet on IPv6.
  ip netns exec "$NSD" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv4.ip_forward=0
  ip -n "$NS2" link add br0 type bridge forward_delay 0 mcast_snooping 0 && ip -n "$NS2" link set br0 up || exit 1
  ip link add lb1 netns "$NSD" type veth peer name eth0 netns "$NS1" || exit 1
  ip -n "$NSD" link set lb1 up && ip -n "$NS1" link set eth0 up || exit 1
  slb_link "$NSD" lb2 sw-lb || exit 1
  ip -n "$NS1" addr add "$CLIENT/24" dev eth0 && ip -n "$NS1" addr add "$CLIENT6/64" dev eth0 nodad || exit 1
  for k in "${BACKENDS[@]}"; do slb_backend_up "$k" || exit 1; done
  if [ "${SLB_RETURN_LINK:-0}" = 1 ]; then slb_return_link || exit 1; fi

  slb_config >"$ROOT/etc/kvn$INST.conf"
  KVN_ROOT=$ROOT ip netns exec "$NSD" "$KVN" -f start "$INST" >"$ROOT/daemon.out" 2>&1 &
  DPID=$!
  poll 15 slb_backends_ready || { echo "FAIL: the backends did not start"; cat "$ROOT"/backend-*.err; exit 1; }
  poll 15 ctl "show version" >/dev/null ||
    { echo "FAIL: the daemon did not come up"; cat "$ROOT/daemon.out"; exit 1; }
  # The targets carry no health checks (the configuration check says so):
  # they are operational while enabled. Any other complaint is a fault.
  if ctl "show log" | grep "ERROR" | grep -v "loaded with ERRORs" |
    grep -qv "WARNING: target [0-9]* has no associated health check"; then
    echo "FAIL: the configuration did not load cleanly"; ctl "show log"; exit 1
  fi
  poll 20 slb_resolved || { echo "FAIL: the daemon did not resolve the backends"; ctl "show arphash"; exit 1; }
}

# slb_offload on|off: transmit checksum offload of the client's and the
# backends' veth ends, with segmentation offload (TSO, GSO) off on all of
# them either way: a segmented frame is bigger than the link MTU, and the
# daemon forwards frames of at most the MTU. Prints the resulting state.
slb_offload() {
  local ns features
  for ns in "$NS1" $(for k in "${BACKENDS[@]}"; do backend_ns "$k"; done); do
    ip netns exec "$ns" ethtool -K eth0 tx "$1" tso off gso off >/dev/null 2>&1 || return 1
    features=$(ip netns exec "$ns" ethtool -k eth0 |
      grep -E '^(tx-checksumming|tcp-segmentation-offload|generic-segmentation-offload):' | tr '\n' ' ')
    grep -q "tx-checksumming: $1" <<<"$features" || return 1
    echo "  $ns eth0: $features"
  done
  if [ "${SLB_RETURN_LINK:-0}" = 1 ]; then
    in_backend 3 ethtool -K ret0 tx "$1" tso off gso off >/dev/null 2>&1 || return 1
  fi
}
