#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test and benchmark.
# Idempotent; must run as root (or through sudo) on a fresh Debian 12 machine.
set -euo pipefail

packages=(
  build-essential g++ cmake ninja-build pkg-config
  clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libboost1.81-dev libboost-json1.81-dev
  libsqlite3-dev libpugixml-dev libpam0g-dev libpam-modules libcli11-dev
  libssl-dev openssl systemd
  clang-format
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
