#!/usr/bin/env bash
# Whole-system test of server load balancing (laboratory: slb_lab.bash): a
# client 198.51.100.50 reaches servers on 198.51.100.101-113 and
# 2001:db8:1::113, and three identity backends 203.0.113.11-13 answer with
# their names ("backend-1" ...) and log the addresses they saw. Real
# clients: curl, nc, sipp, and the identity tool's client for UDP (it
# shows where an answer came from) and for a TCP close by RST. The cases, one server each:
#   rr        curl four times with sessionid src+port: backend-1, 2, 1, 2
#   sticky    the same four requests with sessionid src stay on backend-1,
#             one session; 1 MiB through it arrives whole
#   null      stimeout null: four datagrams go 1, 2, 1, 2 and no session
#             is made
#   ftimeout  an open TCP connection's session has stimeout 300; the FIN of
#             its close shortens it to ftimeout 5 and it expires; an RST
#             instead of the FIN shortens it too
#   port 0    a port-0 server beside a port-8005 server on one address
#   xlate     server port 80 to target port 8080
#   dsr       the backend holds the server address on lo, gets the frames
#             with the destination unchanged and answers the client
#             directly over a link of its own (policy route from that
#             address), which tcpdump watches
#   proxy     the backend sees the server address as the client
#   ports     ports 5060,5061: answers from 5060 and 5061 come back with
#             their ports, one from 5062 is consumed (a 5061 answer sent
#             right after it is the first to arrive)
#   sip       sessionid sip: INVITEs with Call-IDs A, A, B, A from four
#             source ports (sipp) go to backend-2, 2, 3, 2
#   disable   `disable target N` moves a sticky client to the next target
#             on its next datagram
#   ipv6      an IPv6 server over IPv6 targets, rr per connection
# Every check names the exact backend, order, addresses and ports, from
# the answers and from the backends' logs.
#
# Every case runs twice: with transmit checksum offload on at the client's
# and the backends' veth ends (`ethtool -K eth0 tx on`: TCP and UDP frames
# reach the daemon with unfinished checksums, which it finishes) and with
# it off. TCP segmentation and generic segmentation offload (TSO, GSO) are
# off on those ends in both runs: a segmented frame is bigger than the
# link MTU and the daemon forwards frames of at most the MTU, which the
# 1 MiB transfer needs. Both states are printed.
#
# Usage: slb.sh <kvn binary> [...]; needs root, ip, curl, nc, ethtool,
# python3, tcpdump and sipp (without sipp the SIP case is skipped, and the
# test with it). Documentation addresses only; namespaces and processes
# are removed by exact name and pid.
set -u
KVN=$(readlink -f "$1")
TAG=kvnslb$$
INST=13
SLB_HTTP=8001,8002,8005,8013,8080
SLB_TCP=7004,7006,7008,7009
SLB_UDP=7003,7012,5060,5061,5062
SLB_RETURN_LINK=1
source "$(dirname "$0")/slb_lab.bash"
lab_require tcpdump

# tgt <n> <address> <port> [<subcommand> <value>]...: a target block.
tgt() {
  local n=$1 addr=$2 port=$3
  shift 3
  echo "target $n {"
  if [[ $addr == *:* ]]; then echo "  ipaddr6 $addr"; else echo "  ipaddr $addr"; fi
  echo "  port $port"
  while [ $# -ge 2 ]; do echo "  $1 $2"; shift 2; done
  echo "}"
}
# srv <n> <address> <ports> [<subcommand> <value>]...: a server block
# (ports 0: every port).
srv() {
  local n=$1 addr=$2 ports=$3
  shift 3
  echo "server $n {"
  if [[ $addr == *:* ]]; then echo "  ipaddr6 $addr"; else echo "  ipaddr $addr"; fi
  [ "$ports" != 0 ] && echo "  ports $ports"
  while [ $# -ge 2 ]; do echo "  $1 $2"; shift 2; done
  echo "}"
}
B1=203.0.113.11 B2=203.0.113.12 B3=203.0.113.13
SLB_CONFIG=$(
  tgt 1 $B1 8001 sessionid dst+port
  tgt 2 $B2 8001 sessionid dst+port
  tgt 3 $B1 8002
  tgt 4 $B2 8002
  tgt 5 $B1 7003 protocol udp
  tgt 6 $B2 7003 protocol udp
  tgt 7 $B1 7004 sessionid dst+port
  tgt 8 $B1 8005
  tgt 9 $B2 0
  tgt 10 $B3 8080
  tgt 11 $B3 7008 dsr enable
  tgt 12 $B2 7009
  tgt 13 $B1 0 protocol udp
  tgt 14 $B2 5060 protocol udp sessionid sip
  tgt 15 $B3 5060 protocol udp sessionid sip
  tgt 16 $B1 7012 protocol udp
  tgt 17 $B2 7012 protocol udp
  tgt 18 $B3 7012 protocol udp
  tgt 19 2001:db8:2::11 8013 sessionid dst+port
  tgt 20 2001:db8:2::12 8013 sessionid dst+port
  echo "commit targets $(seq -s, 1 20)"
  srv 1 198.51.100.101 8001 protocol tcp sessionid src+port targets 1,2
  srv 2 198.51.100.102 8002 protocol tcp targets 3,4
  srv 3 198.51.100.103 7003 protocol udp stimeout null targets 5,6
  srv 4 198.51.100.104 7004 protocol tcp sessionid src+port stimeout 300 ftimeout 5 target 7
  srv 5 198.51.100.105 8005 protocol tcp target 8
  srv 6 198.51.100.105 0 target 9
  srv 7 198.51.100.107 80 protocol tcp target 10
  srv 8 198.51.100.108 7008 protocol tcp target 11
  srv 9 198.51.100.109 7009 protocol tcp proxy enable target 12
  srv 10 198.51.100.110 5060,5061 protocol udp target 13
  srv 11 198.51.100.111 5060 protocol udp sessionid sip targets 14,15
  srv 12 198.51.100.112 7012 protocol udp targets 16,17,18
  srv 13 2001:db8:1::113 8013 protocol tcp sessionid src+port targets 19,20
  echo "commit servers $(seq -s, 1 13)"
)
slb_lab_start

# The DSR backend holds server 8's address and answers from it over its
# own link to the client; everything else it sends goes through the daemon.
B3NS=$(backend_ns 3)
ip -n "$B3NS" addr add 198.51.100.108/32 dev lo &&
  ip -n "$B3NS" rule add from 198.51.100.108 table 108 &&
  ip -n "$B3NS" route add 198.51.100.0/24 via 192.0.2.1 dev ret0 table 108 || exit 1
ip netns exec "$NS1" sysctl -qw net.ipv6.conf.ret0.disable_ipv6=1
ip netns exec "$B3NS" sysctl -qw net.ipv6.conf.ret0.disable_ipv6=1

cat >"$ROOT/invite.xml" <<'EOF'
<?xml version="1.0" encoding="ISO-8859-1" ?>
<scenario name="one INVITE with the Call-ID given as the key cid">
  <send>
    <![CDATA[
      INVITE sip:lab@[remote_ip]:[remote_port] SIP/2.0
      Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=[branch]
      From: <sip:client@[local_ip]:[local_port]>;tag=[call_number]
      To: <sip:lab@[remote_ip]:[remote_port]>
      Call-ID: [cid]
      CSeq: 1 INVITE
      Contact: <sip:client@[local_ip]:[local_port]>
      Max-Forwards: 70
      Content-Length: 0

    ]]>
  </send>
</scenario>
EOF

skipped=()
CAP_PID=
stop_capture() { [ -n "$CAP_PID" ] && kill "$CAP_PID" 2>/dev/null && wait "$CAP_PID" 2>/dev/null; CAP_PID=; }
trap 'stop_capture; slb_lab_cleanup' EXIT

# Client ports: each request gets its own, never used twice in a run, so
# no session of an earlier request can meet a later one.
P=41000
take_port() { P=$((P + 1)); }

get() {  # get <url>: curl from port $P, prints the body
  in_client curl -s -g --max-time 2 --local-port "$P" "$1"
}
tcp_ask() {  # tcp_ask <address> <port> <text>: one line with nc from port $P
  echo "$3" | in_client timeout 5 nc -N -p "$P" "$1" "$2"
}
udp_ask() {  # udp_ask <address> <port> <text> [<wait>]: from port $P
  in_client timeout 5 python3 "$IDENT" ask udp "$1" "$2" "$3" --sport "$P" --wait "${4:-2}"
}
# saw <k> <line>: backend k logged exactly this line.
saw() { poll 2 grep -qxF -- "$2" "$(backend_log "$1")"; }
# saw_re <k> <regex>: backend k logged a line matching it.
saw_re() { poll 2 grep -qxE -- "$2" "$(backend_log "$1")"; }
not() { ! "$@"; }
# expect <got> <want>: equal, else says what came.
expect() { [ "$1" = "$2" ] || { echo "    got '$1', expected '$2'"; return 1; }; }
expect_re() { [[ $1 =~ $2 ]] || { echo "    got '$1', expected /$2/"; return 1; }; }
quote_re() { sed 's#[].[*^$()+?{}|\\]#\\&#g' <<<"$1"; }
# session <server> <target> <id> [<timeout> [<ftimeout>]]: show sessions
# lists that session.
session() {
  ctl "show sessions" | grep -qE "^ +$1 +$2 +-?[0-9]+ +${4:-[0-9]+} +${5:-[0-9]+} +(SYNC)? +$(quote_re "$3")$"
}
sessions_of() { ctl "show sessions" | awk -v s="$1" '$1 == s && NF >= 6' | wc -l; }
created() { ctl "show stinfo" | sed -n 's/^  sessions created since startup \.* : *//p'; }

# Each case runs for the offload state $T, in run $R (1 for on, 2 for off).

case_null() {  # four datagrams to a server without sessions: 1, 2, 1, 2
  local i k before ok=0
  before=$(created)
  for i in 1 2 3 4; do
    take_port
    k=$(( (i + 1) % 2 + 1 ))
    udp_ask 198.51.100.103 7003 "null-$T-$i" 0 || ok=1
    saw "$k" "udp $(backend_ip "$k") 7003 $CLIENT $P null-$T-$i" || { echo "    datagram $i not on backend-$k"; ok=1; }
  done
  ! grep -q "null-$T" "$(backend_log 3)" || ok=1
  expect "$(sessions_of 3)" 0 && expect "$(created)" "$before" && [ $ok = 0 ]
}

case_rr() {  # sessionid src+port: each connection is a new session
  local i k ok=0
  for i in 1 2 3 4; do
    take_port
    k=$(( (i + 1) % 2 + 1 ))
    expect "$(get http://198.51.100.101:8001/name.txt)" "backend-$k" &&
      saw "$k" "http $(backend_ip "$k") 8001 $CLIENT $P GET /name.txt" &&
      { session 1 "$k" "$CLIENT:$P" || { echo "    no session 1/$k for port $P"; false; }; } || ok=1
  done
  [ $ok = 0 ]
}

case_sticky() {  # sessionid src: one session for the client address
  local i ok=0
  for i in 1 2 3 4; do
    take_port
    expect "$(get http://198.51.100.102:8002/name.txt)" backend-1 && saw 1 "http $B1 8002 $CLIENT $P GET /name.txt" || ok=1
  done
  ! grep -q "^http $B2 8002 " "$(backend_log 2)" || ok=1
  session 2 3 "$CLIENT:0" && expect "$(sessions_of 2)" 1 && [ $ok = 0 ]
}

case_bulk() {  # 1 MiB from backend-1 through the sticky server
  take_port
  expect "$(get http://198.51.100.102:8002/big.bin | sha256sum)" "$(sha256sum <"$ROOT/big.bin")"
}

case_ftimeout() {  # FIN shortens the session of server 4 to its ftimeout
  local fifo="$ROOT/fin-$T" out="$ROOT/fin-$T.out" ncpid ok=0
  take_port
  mkfifo "$fifo"
  ip netns exec "$NS1" timeout 30 nc -N -p "$P" 198.51.100.104 7004 <"$fifo" >"$out" &
  ncpid=$!
  exec 7>"$fifo"
  echo "fin-$T" >&7
  poll 5 grep -qxF "backend-1 $CLIENT $P $B1 7004" "$out" || { echo "    no answer on the open connection"; ok=1; }
  session 4 7 "$CLIENT:$P" 300 5 || { echo "    open connection: no session with timeout 300"; ok=1; }
  exec 7>&-  # end of input: nc sends its FIN, the backend answers with its own
  wait "$ncpid"
  [ $ok = 0 ] || return 1
  session 4 7 "$CLIENT:$P" 5 5 || { echo "    after the FIN: no session with timeout 5"; ok=1; }
  poll 20 not session 4 7 "$CLIENT:$P" || { echo "    the session did not expire"; ok=1; }
  ctl "show sessions" | grep -F "$CLIENT:$P"
  [ $ok = 0 ]
}

case_rst() {  # so does an RST from the client (no FIN is sent)
  take_port
  expect "$(in_client timeout 5 python3 "$IDENT" ask tcp 198.51.100.104 7004 "rst-$T" --sport "$P" --reset)" \
    "backend-1 $CLIENT $P $B1 7004" && poll 3 session 4 7 "$CLIENT:$P" 5 5
}

case_port0() {  # port 8005 to its own server, any other port to server 6
  local ok=0
  take_port
  expect "$(get http://198.51.100.105:8005/name.txt)" backend-1 && saw 1 "http $B1 8005 $CLIENT $P GET /name.txt" || ok=1
  take_port
  expect "$(tcp_ask 198.51.100.105 7006 "port0-$T")" "backend-2 $CLIENT $P $B2 7006" &&
    saw 2 "tcp $B2 7006 $CLIENT $P port0-$T" || ok=1
  [ $ok = 0 ]
}

case_xlate() {  # server port 80, target port 8080
  take_port
  expect "$(get http://198.51.100.107/name.txt)" backend-3 && saw 3 "http $B3 8080 $CLIENT $P GET /name.txt"
}

case_dsr() {  # the destination stays the server address; the answer comes direct
  local cap="$ROOT/dsr-$T.cap" ok=0
  take_port
  ip netns exec "$NS1" timeout 15 tcpdump -n -l -i ret0 -c 1 \
    "tcp and src host 198.51.100.108 and src port 7008 and dst port $P" >"$cap" 2>"$cap.err" &
  CAP_PID=$!
  poll 5 grep -qs "listening on" "$cap.err" || { stop_capture; echo "    tcpdump did not start"; return 1; }
  expect "$(tcp_ask 198.51.100.108 7008 "dsr-$T")" "backend-3 $CLIENT $P 198.51.100.108 7008" &&
    saw 3 "tcp 198.51.100.108 7008 $CLIENT $P dsr-$T" || { stop_capture; return 1; }
  wait "$CAP_PID"
  CAP_PID=
  grep -q "198.51.100.108.7008 > $CLIENT.$P:" "$cap" || { echo "    no answer on the return link"; ok=1; }
  [ $ok = 0 ]
}

case_proxy() {  # the backend sees the server address as its client
  local ok=0
  take_port
  expect_re "$(tcp_ask 198.51.100.109 7009 "proxy-$T")" "^backend-2 198\.51\.100\.109 [0-9]+ $(quote_re $B2) 7009$" || return 1
  saw_re 2 "tcp $(quote_re $B2) 7009 198\.51\.100\.109 [0-9]+ proxy-$T" || ok=1
  ! grep -q "^tcp $B2 7009 $CLIENT " "$(backend_log 2)" || { echo "    the backend saw the client's address"; ok=1; }
  [ $ok = 0 ]
}

case_ports() {  # ports 5060,5061: answers from both come back, from 5062 not
  local ok=0
  take_port
  expect "$(udp_ask 198.51.100.110 5060 "plain-$T")" "backend-1 $CLIENT $P $B1 5060 from 198.51.100.110:5060" || ok=1
  take_port
  expect "$(udp_ask 198.51.100.110 5061 "second-$T")" "backend-1 $CLIENT $P $B1 5061 from 198.51.100.110:5061" || ok=1
  take_port
  expect "$(udp_ask 198.51.100.110 5060 "via 5061")" "backend-1 $CLIENT $P $B1 5060 from 198.51.100.110:5061" || ok=1
  # The answer from 5062 leaves the backend first; the first to arrive
  # must still be the one from 5061.
  take_port
  expect "$(udp_ask 198.51.100.110 5060 "via 5062,5061")" "backend-1 $CLIENT $P $B1 5060 from 198.51.100.110:5061" || return 1
  saw 1 "udp-sent 5062 $CLIENT $P" || ok=1
  [ "$(grep -n "^udp-sent 506[12] $CLIENT $P$" "$(backend_log 1)" | cut -d' ' -f2 | tr '\n' ' ')" = "5062 5061 " ] ||
    { echo "    the backend did not answer from 5062 and then 5061"; ok=1; }
  [ $ok = 0 ]
}

case_sip() {  # Call-ID stickiness: A, A, B, A from four ports go 2, 2, 3, 2
  local i ok=0 ports=() ids=("A-$T" "A-$T" "B-$T" "A-$T") to=(2 2 3 2)
  for i in 0 1 2 3; do
    take_port
    ports+=("$P")
    (cd "$ROOT" && ip netns exec "$NS1" timeout 10 sipp -sf invite.xml -m 1 -p "$P" -i "$CLIENT" -key cid "${ids[i]}" \
      -nostdin 198.51.100.111:5060 </dev/null >>"$ROOT/sipp.out" 2>&1) || { echo "    sipp failed"; ok=1; }
  done
  for i in 0 1 2 3; do
    saw "${to[i]}" "udp $(backend_ip "${to[i]}") 5060 $CLIENT ${ports[i]} Call-ID: ${ids[i]}" ||
      { echo "    INVITE $((i + 1)) (${ids[i]}) not on backend-${to[i]}"; ok=1; }
  done
  ! grep -q "Call-ID: B-$T" "$(backend_log 2)" && ! grep -q "Call-ID: A-$T" "$(backend_log 3)" || ok=1
  session 11 14 "Call-ID: A-$T" && session 11 15 "Call-ID: B-$T" && [ $ok = 0 ]
}

case_disable() {  # run R: the client sits on target 15+R, which is disabled
  local from=$R to=$((R + 1)) ok=0
  take_port
  expect_re "$(udp_ask 198.51.100.112 7012 "before-$T")" "^backend-$from .* from 198\.51\.100\.112:7012$" || return 1
  session 12 $((15 + from)) "$CLIENT:0" || ok=1
  ctl "disable target $((15 + from))" | grep ERROR && ok=1
  take_port
  expect "$(udp_ask 198.51.100.112 7012 "after-$T")" \
    "backend-$to $CLIENT $P $(backend_ip $to) 7012 from 198.51.100.112:7012" &&
    saw "$to" "udp $(backend_ip $to) 7012 $CLIENT $P after-$T" || ok=1
  session 12 $((15 + to)) "$CLIENT:0" && [ $ok = 0 ]
}

case_ipv6() {  # an IPv6 server over IPv6 targets, a session per connection
  local i k ok=0
  for i in 1 2; do
    take_port
    expect "$(get "http://[2001:db8:1::113]:8013/name.txt")" "backend-$i" &&
      saw "$i" "http $(backend_ip6 "$i") 8013 $CLIENT6 $P GET /name.txt" &&
      session 13 $((18 + i)) "$CLIENT6.$P" || ok=1
  done
  [ $ok = 0 ]
}

run() {  # run <on|off> <run number>
  T=$1 R=$2
  echo "== transmit checksum offload $T, TSO and GSO off (client and backend eth0):"
  slb_offload "$T" || { echo "FAIL: ethtool could not set tx $T"; fail=1; return; }
  check "[tx $T] stimeout null: datagrams go to backend-1, 2, 1, 2 and make no session" case_null
  check "[tx $T] rr, sessionid src+port: backend-1, 2, 1, 2, a session each" case_rr
  check "[tx $T] sessionid src: four connections stay on backend-1, one session" case_sticky
  check "[tx $T] 1 MiB through the sticky server arrives whole" case_bulk
  check "[tx $T] the FIN shortens the session to ftimeout 5, then it expires" case_ftimeout
  check "[tx $T] an RST shortens the session to ftimeout 5" case_rst
  check "[tx $T] port 8005 to its server, port 7006 to the port-0 server" case_port0
  check "[tx $T] server port 80 reaches target port 8080" case_xlate
  check "[tx $T] dsr: destination unchanged, answer over the backend's own link" case_dsr
  check "[tx $T] proxy: the backend sees 198.51.100.109" case_proxy
  check "[tx $T] ports 5060,5061: answers from 5060 and 5061 pass, from 5062 not" case_ports
  if command -v sipp >/dev/null; then
    check "[tx $T] sessionid sip: Call-IDs A, A, B, A go to backend-2, 2, 3, 2" case_sip
  else
    echo "SKIP: [tx $T] sessionid sip: sipp is not installed"
    skipped+=("sip $T")
  fi
  check "[tx $T] disable target $((15 + R)): the client moves to backend-$((R + 1))" case_disable
  check "[tx $T] IPv6 server, IPv6 targets: backend-1, 2" case_ipv6
}

run on 1
run off 2

if [ $fail != 0 ]; then
  ctl "show sessions"
  for k in "${BACKENDS[@]}"; do echo "-- backend-$k log"; cat "$(backend_log "$k")"; done
  lab_report
  exit 1
fi
[ ${#skipped[@]} = 0 ] || skip "cases not run: ${skipped[*]}"
echo "all balancing checks passed (tx checksum offload on and off, TSO and GSO off)"
exit 0
