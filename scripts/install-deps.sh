#!/usr/bin/env bash
# Installs what building and testing Korvane needs. Idempotent: packages
# already present are not fetched again.
set -euo pipefail
packages=(build-essential cmake g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev libpcap-dev
          iproute2 iputils-ping arping ndisc6 netcat-openbsd curl ethtool tmux python3)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]} (run as root to install them)" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}"
fi
