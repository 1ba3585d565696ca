#!/usr/bin/env bash
# Installs what building and testing Korvane needs. Idempotent: packages
# already present are not fetched again.
#
# On a fresh machine another process (an unattended upgrade, a first boot
# script) often holds apt's locks for a while: every apt-get call here
# waits for them instead of failing. The fuzzer runtime of clang is in a
# package named after clang's version, so it is chosen from the clang that
# is installed.
set -euo pipefail
packages=(build-essential cmake g++ clang libgtest-dev libgmock-dev libbenchmark-dev libpcap-dev
          iproute2 iputils-ping arping ndisc6 netcat-openbsd curl ethtool tmux python3 tcpdump sip-tester)
lock_wait=900   # seconds to wait for apt's locks in all

missing_of() {  # missing_of <package...>: prints those not installed
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || echo "$p"
  done
}

# apt_get <arguments...>: apt-get that waits while another process holds a
# lock. DPkg::Lock::Timeout covers dpkg's lock; the package lists' lock of
# `apt-get update` and the archive lock are not covered by it, so a failure
# that names a lock is retried until the deadline.
apt_deadline=$((SECONDS + lock_wait))
apt_get() {
  local err rc
  err=$(mktemp /tmp/kvn-apt-XXXXXX)
  while :; do
    rc=0
    apt-get -o DPkg::Lock::Timeout=60 "$@" 2>"$err" || rc=$?
    cat "$err" >&2
    if [ $rc -eq 0 ]; then
      rm -f "$err"
      return 0
    fi
    if ! grep -qiE 'could not get lock|unable to lock|unable to acquire' "$err" || [ $SECONDS -ge $apt_deadline ]; then
      rm -f "$err"
      return $rc
    fi
    echo "install-deps: another process holds apt's lock; waiting" >&2
    sleep 5
  done
}

# The package holding clang's fuzzer runtime (libclang_rt.fuzzer): its own
# package from clang 14 on, part of the common package before.
clang_runtime_package() {
  local major
  major=$(clang --version | sed -n 's/.*clang version \([0-9][0-9]*\)\..*/\1/p' | head -n 1)
  if [ -z "$major" ]; then
    echo "install-deps: cannot tell the version of the installed clang" >&2
    return 1
  fi
  local p
  for p in "libclang-rt-$major-dev" "libclang-common-$major-dev"; do
    if apt-cache show "$p" >/dev/null 2>&1; then
      echo "$p"
      return 0
    fi
  done
  echo "install-deps: no fuzzer runtime package for clang $major" >&2
  return 1
}

fuzzer_runtime_present() {
  local dir
  dir=$(clang --print-runtime-dir 2>/dev/null) || return 1
  [ -f "$dir/libclang_rt.fuzzer-$(uname -m).a" ] || [ -f "$dir/libclang_rt.fuzzer.a" ]
}

need_root() {  # need_root <what is missing>
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing: $* (run as root to install)" >&2
    exit 1
  fi
}

apt_updated=
update_once() {
  [ -n "$apt_updated" ] && return 0
  export DEBIAN_FRONTEND=noninteractive
  apt_get update -qq
  apt_updated=1
}

install_missing() {  # install_missing <package...>
  local missing
  mapfile -t missing < <(missing_of "$@")
  [ ${#missing[@]} -gt 0 ] || return 0
  need_root "packages ${missing[*]}"
  update_once
  apt_get install -y -qq "${missing[@]}"
}

install_missing "${packages[@]}"
if ! fuzzer_runtime_present; then
  need_root "clang's fuzzer runtime"
  update_once
  runtime=$(clang_runtime_package)
  install_missing "$runtime"
  if ! fuzzer_runtime_present; then
    echo "install-deps: $runtime is installed but clang's fuzzer runtime is not there" >&2
    exit 1
  fi
fi
