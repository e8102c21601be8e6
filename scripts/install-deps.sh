#!/usr/bin/env bash
# Installs what building and testing cm3probe needs, from Debian 12 packages.
set -euo pipefail
packages=(
  build-essential cmake ninja-build pkg-config
  libftdi1-dev libusb-1.0-0-dev libunicorn-dev libelf-dev nlohmann-json3-dev libcli11-dev libedit-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  gcc-arm-none-eabi libnewlib-arm-none-eabi binutils-arm-none-eabi gdb-multiarch sigrok-cli
  openocd
  gnuplot-nox valgrind
  clang-14 libclang-rt-14-dev
)
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
