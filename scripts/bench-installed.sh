#!/usr/bin/env bash
# Benchmarks the installed system: installs dist-like copies with Installer.exe -install in a scratch
# prefix, registers the CAPI aliases and a key container under "Quorv CSP", then has both builds sign and
# decrypt through QuorvKSP.dll loaded by its bare name, beside the same CAPI calls made directly,
# in 1 and 8 threads. The trace log stays off (its folder is not created).
# Usage: bench-installed.sh [SECONDS] [BUILD_ROOT]   (BUILD_ROOT holds x86_64/ and i686/, default build/)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-3}
builds=${2:-$root/build}
x64=$builds/x86_64 x86=$builds/i686
export WINEPREFIX=${WINEPREFIX:-/tmp/ksp-wineprefix}-bench-installed
rm -rf "$WINEPREFIX"
work=$(mktemp -d)
# shellcheck source=wine-env.sh
. "$root/scripts/wine-env.sh"
trap 'wine_stop; rm -rf "$work" "$WINEPREFIX"' EXIT

mkdir -p "$work/dist" "$work/c64" "$work/c32"
cp "$x86/installer/Installer.exe" "$work/dist/Installer.exe"
cp "$x86/provider/QuorvKSP.dll" "$work/dist/QuorvKSP.dll"
cp "$x64/provider/QUORVKSP64.dll" "$work/dist/QUORVKSP64.dll"
cp "$x64/tests/system/system_road_client.exe" "$x64/tests/system/installed_bench.exe" "$work/c64/"
cp "$x86/tests/system/installed_bench.exe" "$work/c32/"
cd "$work"
/usr/lib/wine/wine dist/Installer.exe -install </dev/null | tr -d '\r'
if ! setup=$(/usr/lib/wine/wine64 c64/system_road_client.exe setup QuorvBenchKey </dev/null); then
  echo "$setup"; exit 1
fi

threads32=8
if grep -qs '^enabled' /proc/sys/fs/binfmt_misc/qemu-i386; then
  threads32=1  # qemu-user crashes when 32-bit Wine threads start at the same moment, as these do
fi
/usr/lib/wine/wine64 c64/installed_bench.exe QuorvBenchKey "$seconds" 8 </dev/null | tr -d '\r'
/usr/lib/wine/wine c32/installed_bench.exe QuorvBenchKey "$seconds" "$threads32" </dev/null | tr -d '\r'
/usr/lib/wine/wine dist/Installer.exe -uninstall </dev/null | tr -d '\r' >/dev/null
