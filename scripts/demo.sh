#!/usr/bin/env bash
# The balancer demo: builds kvn and runs it in a network namespace of its
# own between a client namespace and three backend namespaces (the
# laboratory of tests/e2e/slb_lab.bash). Each backend answers HTTP with its
# own name ("backend-1", ...). Two servers share the backends:
#   server 1 "web"    198.51.100.100:80, round robin, a session per client
#                     address and port (`sessionid src+port`): each new
#                     connection goes to the next backend;
#   server 2 "sticky" 198.51.100.101:80, round robin, a session per client
#                     address (`sessionid src`, the default): one client
#                     stays on one backend; the backends serve it on port
#                     8080, so the daemon translates the port too.
# The client fetches from both with curl and the answers are printed; then
# the daemon's "show sessions" and "show stinfo" through `kvn control`, the
# backends' own logs (who they saw), an ARP reply and echo replies from the
# balancer's addresses. Everything the demo made is removed at the end
# (namespaces by name, processes by pid).
#
# Documentation addresses only; the namespaces have no route off the
# machine. Names carry the pid, so a second run (or one beside a test)
# never meets the first one's leftovers. Runs as root (no sudo needed).
set -uo pipefail
cd "$(dirname "$0")/.."
[ "$(id -u)" = 0 ] || { echo "run as root: bash scripts/demo.sh (or: sudo bash scripts/demo.sh)" >&2; exit 1; }
bash scripts/install-deps.sh || exit 1
echo "== building kvn"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || exit 1
cmake --build build -j"$(nproc)" --target kvn >/dev/null || exit 1
KVN=$PWD/build/src/kvn

INST=5
TAG=kvndemo$$
SLB_HTTP=80,8080 SLB_TCP="" SLB_UDP=""
SLB_CONFIG=$(
  for k in 1 2 3; do
    printf 'target %d {\n  name web-%d\n  ipaddr 203.0.113.1%d\n  port 80\n  sessionid dst+port\n}\n' $k $k $k
    printf 'target %d {\n  name sticky-%d\n  ipaddr 203.0.113.1%d\n  port 8080\n}\n' $((k + 3)) $k $k
  done
  cat <<'EOF'
commit targets 1,2,3,4,5,6
server 1 {
  name web
  ipaddr 198.51.100.100
  port 80
  protocol tcp
  sessionid src+port
  targets 1,2,3
}
server 2 {
  name sticky
  ipaddr 198.51.100.101
  port 80
  protocol tcp
  targets 4,5,6
}
commit servers 1,2
EOF
)
source tests/e2e/slb_lab.bash

echo "== namespaces: $NS1 (client $CLIENT), $NSD (kvn), $NS2 (switch)," \
  "$(backend_ns 1) $(backend_ns 2) $(backend_ns 3) (backends 203.0.113.11-13)"
slb_lab_start
echo "kvn runs with pid $DPID (KVN_ROOT=$ROOT); it has resolved the three backends"
slb_offload off >/dev/null || echo "(could not set the veth offloads)"

bad=0
# fetch <n> <url> <expected name>: one request, printed with its answer.
fetch() {
  local got
  got=$(in_client curl -s --max-time 3 "$2") || got="(no answer)"
  printf '  request %d -> %s\n' "$1" "$got"
  [ "$got" = "$3" ] || bad=1
}

echo "== server 1 (web, 198.51.100.100:80): round robin, each connection its own session"
for i in 1 2 3 4 5 6; do fetch $i http://198.51.100.100/name.txt "backend-$(( (i - 1) % 3 + 1 ))"; done
echo "== server 2 (sticky, 198.51.100.101:80 -> backends :8080): one client, one backend"
for i in 1 2 3 4; do fetch $i http://198.51.100.101/name.txt backend-1; done

echo "== what the backends saw (their own request logs: local address and port, client address and port)"
for k in 1 2 3; do sed -n "s/^http /  backend-$k: /p" "$(backend_log $k)"; done

for item in sessions stinfo; do
  echo "== kvn control: show $item"
  ctl "show $item" | grep -v '^kvn# $'
done

echo "== ARP and echo replies from the balancer's addresses"
in_client arping -c 1 -w 2 -I eth0 198.51.100.100 | grep 'bytes from' || bad=1
in_client ping -c 2 -i 0.2 -W 2 198.51.100.2 | grep -E 'bytes from|transmitted' || bad=1

echo "== stopping kvn (pid $DPID) and removing the lab"
if [ $bad != 0 ]; then
  echo "the demo did not go as described above"
  cat "$ROOT/daemon.out"
  exit 1
fi
echo "done: requests alternated over the backends on server 1 and stayed on one backend on server 2"
