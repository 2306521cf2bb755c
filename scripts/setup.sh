#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build and test the project.
set -euo pipefail

packages=(cmake ninja-build g++ libgtest-dev libgmock-dev libssl-dev libgmp-dev libbenchmark-dev ovmf qemu-system-x86 pkg-config libusbredirparser-dev clang-19 lld-19 libclang-rt-19-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update
$sudo apt-get install -y --no-install-recommends "${missing[@]}"
