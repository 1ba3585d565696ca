#!/usr/bin/env bash
# The demo: builds kvn, starts an instance with a small sample configuration
# under a private KVN_ROOT, shows what it reports through the control pipe,
# then stops it and removes everything it made.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target kvn >/dev/null
kvn=$PWD/build/src/kvn

root=$(mktemp -d /tmp/kvn-demo-XXXXXX)
export KVN_ROOT=$root
mkdir -p "$root/etc" "$root/var/run"
cleanup() { "$kvn" stop 7 >/dev/null 2>&1 || true; rm -rf "$root"; }
trap cleanup EXIT

cat > "$root/etc/kvn7.conf" <<'CONF'
hostname demo
set sessiontimeout 900
CONF

echo "== starting instance 7 under $root"
"$kvn" -r
"$kvn" start 7
# The daemon detaches at once and writes its pid file a moment later.
for _ in $(seq 50); do
  "$kvn" status 7 | grep -q 'running with PID' && break
  sleep 0.1
done
"$kvn" status 7
"$kvn" -I
echo "== asking the daemon"
printf 'show version\nshow instance\nshow uptime\nshow parameters\nshow log\n' | "$kvn" control 7 \
  || echo "(the control session is not available in this build)"
echo
echo "== stopping"
"$kvn" stop 7
