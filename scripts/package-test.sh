#!/usr/bin/env bash
# Builds the Debian packages from a built tree (default: build), installs
# them, runs the installed cm3probe and a program built against the installed
# header and library through pkg-config on the simulator, then removes them.
# Needs root or sudo; leaves the machine's packages as it found them.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
packages=(cm3probe cm3probe-sim libcm3probe-dev libcm3probe0)
scratch=$(mktemp -d)
cleanup() {
  $SUDO dpkg --purge "${packages[@]}" >/dev/null 2>&1 || true
  rm -rf "$scratch"
}
trap cleanup EXIT

(cd "$scratch" && cpack -G DEB -B "$scratch/debs" --config "$build/CPackConfig.cmake" >/dev/null)
debs=("$scratch"/debs/*.deb)
[ ${#debs[@]} -eq 4 ] || { echo "package-test: expected 4 packages, got: ${debs[*]}"; exit 1; }
for deb in "${debs[@]}"; do
  echo "$(dpkg-deb -f "$deb" Package): $(dpkg-deb -f "$deb" Depends)"
done
# The library alone must not pull in the simulator's dependencies.
lib_depends=$(dpkg-deb -f "$scratch"/debs/libcm3probe0_*.deb Depends)
if [[ "$lib_depends" == *unicorn* || "$lib_depends" == *libelf* ]]; then
  echo "package-test: libcm3probe0 depends on the simulator's libraries: $lib_depends"
  exit 1
fi
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${debs[@]}" >/dev/null

# Run from elsewhere, with nothing of this tree in the environment: the
# installed tool must find the installed library and its simulator module.
cd "$scratch"
unset CM3PROBE_DRIVER CM3PROBE_SIM_CONFIG CM3PROBE_SIM_MODULE
LD_DEBUG=files /usr/bin/cm3probe --sim info >info.txt 2>loader.txt
grep -q '^IDCODE       0x2BA01477' info.txt
grep -qE 'file=/usr/(bin/\.\./)?lib/libcm3probe_sim\.so \[0\];  generating link map' loader.txt || {
  echo "package-test: the installed library did not map /usr/lib/libcm3probe_sim.so"; exit 1; }
cc "$OLDPWD/examples/probe_report.c" $(pkg-config --cflags --libs cm3probe) -o probe-report
CM3PROBE_DRIVER=sim ./probe-report | grep -q '^IDCODE       0x2BA01477'
[ -f /usr/lib/udev/rules.d/60-cm3probe.rules ]
echo "package-test: installed, ran cm3probe --sim info and a pkg-config consumer, removed"
