#!/usr/bin/env bash
# cm3probe's view of attached adapters, against the virtual FT2232 on USB:
# the listing, and an adapter that is present but unusable is an error, never
# the simulator in its place. Usage: cli_adapters_test.sh CM3PROBE PRELOAD
set -uo pipefail
cli=$1
preload=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
unset CM3PROBE_DRIVER CM3PROBE_SIM_CONFIG
printf '{"descriptions": ["Bench Box A", "Bench Box B"]}' >"$scratch/unsupported.json"
failures=0

# name | config (or -, or "denied": the device node may not be opened) | expected exit code | text stdout+stderr must hold | text it must not | arguments
cases=(
  "list|-|0|FT2232D (0403:6010) on bus 1 device 2%  USB Debug Bridge A%  USB Debug Bridge B|simulator|list"
  "open|-|0|adapter      \"USB Debug Bridge A\", SWD|simulator|info"
  "list unsupported|unsupported.json|1|  Bench Box B%  cannot be used: channel A's description \"Bench Box A\" is none the library supports|simulator|list"
  "open unsupported|unsupported.json|1|no usable adapter \"Bench Box A\"|simulator|-a%Bench Box A%info"
  "list denied|denied|1|FT2232D (0403:6010) on bus 1 device 2%  cannot be used: permission denied on /dev/bus/usb/001/002: install the udev rule|simulator|list"
  "open denied|denied|1|FT2232D on bus 1 device 2: permission denied on /dev/bus/usb/001/002|simulator|info"
  "open unlisted|-|1|(cm3probe list shows what is attached):%  FT2232D on bus 1 device 2: lists \"USB Debug Bridge A\"|simulator|-a%Amber Probe A%info"
)
for row in "${cases[@]}"; do
  IFS='|' read -r name config code want refuse args <<<"$row"
  IFS='%' read -r -a argv <<<"$args"
  want=${want//%/$'\n'}
  env=(LD_PRELOAD="$preload")
  case $config in
    -) ;;
    denied) env+=(CM3PROBE_VUSB_ACCESS=denied) ;;
    *) env+=(CM3PROBE_SIM_CONFIG="$scratch/$config") ;;
  esac
  output=$(env "${env[@]}" "$cli" "${argv[@]}" 2>&1)
  rc=$?
  if [ "$rc" != "$code" ] || [[ "$output" != *"$want"* ]] || [[ "$output" == *"$refuse"* ]]; then
    echo "FAIL $name: exit $rc (want $code), output:"$'\n'"$output"$'\n'"wanted:"$'\n'"$want"$'\n'"and not: $refuse"
    failures=$((failures + 1))
  else
    echo "ok   $name"
  fi
done
exit $((failures > 0))
