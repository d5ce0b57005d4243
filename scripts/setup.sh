#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build, test and run brix.
# Idempotent: installs nothing and prints nothing when everything is present.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libsqlite3-dev sqlite3
  libcjson-dev
  libgtest-dev libgmock-dev googletest
  libbenchmark-dev
  libssl-dev
  libsystemd-dev
  clang libclang-rt-14-dev
  libbpf-dev bpftool
  help2man dpkg-dev lintian
  python3
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
