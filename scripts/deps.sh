#!/usr/bin/env bash
# Installs what building and testing Orvane needs on a fresh Debian machine.
set -euo pipefail
pkgs=(cmake ninja-build g++ clang libclang-rt-14-dev pkg-config
      libgtest-dev libgmock-dev libbenchmark-dev
      libcli11-dev nlohmann-json3-dev libpng-dev zlib1g-dev binutils
      python3 python3-numpy python3-pytest python3-matplotlib chromium
      python3-dask python3-distributed python3-sqlalchemy python3-psycopg2 postgresql)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
