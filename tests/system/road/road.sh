#!/usr/bin/env bash
# The production road in a scratch 64-bit prefix of its own: install from dist-like copies, make the
# CAPI aliases real, run a 64-bit and a 32-bit client at once against the installed DLL with the trace
# log on, check the log, uninstall and check that the installed files are gone.
# Usage: road.sh INSTALLER DLL32 DLL64 CLIENT64 CLIENT32
set -uo pipefail
installer=$1 dll32=$2 dll64=$3 client64=$4 client32=$5
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../.." && pwd)
for f in "$installer" "$dll32" "$dll64" "$client64" "$client32"; do
  [ -f "$f" ] || { echo "missing input: $f"; exit 1; }
done

# Own prefix and own server: the trace log folder of this prefix belongs to this test alone.
export WINEPREFIX="${WINEPREFIX:-/tmp/ksp-wineprefix}-system-road"
rm -rf "$WINEPREFIX"
work=$(mktemp -d)
# shellcheck source=../../../scripts/wine-env.sh
. "$root/scripts/wine-env.sh" || exit 1
cleanup() { wine_stop; rm -rf "$work" "$WINEPREFIX"; }
trap cleanup EXIT

failures=0
check() {  # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then echo "ok   $what"; else echo "FAIL $what"; failures=$((failures + 1)); fi
}

mkdir -p "$work/dist" "$work/c64" "$work/c32"
cp "$installer" "$work/dist/Installer.exe"
cp "$dll32" "$work/dist/QuorvKSP.dll"
cp "$dll64" "$work/dist/QUORVKSP64.dll"
cp "$client64" "$work/c64/client.exe"
cp "$client32" "$work/c32/client.exe"
sys64="$WINEPREFIX/drive_c/windows/system32/QuorvKSP.dll"
sys32="$WINEPREFIX/drive_c/windows/syswow64/QuorvKSP.dll"
user=$(id -un)
logdir="$WINEPREFIX/drive_c/users/$user/AppData/Local/QuorvKSP"
cd "$work"

out=$(/usr/lib/wine/wine dist/Installer.exe -install </dev/null 2>&1 | tr -d '\r'); rc=$?
echo "$out"
check "Installer.exe -install exits 0" [ "$rc" -eq 0 ]
check "installer reports success" grep -qx "Installation successful." <<<"$out"
check "64-bit build installed in the native system directory" cmp -s "$dll64" "$sys64"
check "32-bit build installed in the 32-bit system directory" cmp -s "$dll32" "$sys32"

/usr/lib/wine/wine64 c64/client.exe setup QuorvRoadKey </dev/null | tr -d '\r'
check "CAPI aliases registered and container created" [ "${PIPESTATUS[0]}" -eq 0 ]

mkdir -p "$logdir"
rm -f "$logdir/trace.txt"
/usr/lib/wine/wine64 c64/client.exe client QuorvRoadKey c64 c32 </dev/null >c64.out 2>&1 &
pid64=$!
/usr/lib/wine/wine c32/client.exe client QuorvRoadKey c32 c64 </dev/null >c32.out 2>&1 &
pid32=$!
wait $pid64; rc64=$?
wait $pid32; rc32=$?
echo "-- 64-bit client"; tr -d '\r' <c64.out
echo "-- 32-bit client"; tr -d '\r' <c32.out
check "64-bit client walks the road" [ $rc64 -eq 0 ]
check "32-bit client walks the road" [ $rc32 -eq 0 ]
check "both clients load the copy in their system directory" \
  [ "$(grep -ci '^loaded C:\\windows\\system32\\QuorvKSP.dll' c64.out c32.out | awk -F: '{s+=$2} END {print s}')" -eq 2 ]
check "trace log holds each process's sequence, whole lines" python3 "$here/check_trace.py" \
  "$logdir/trace.txt" "Z:${work//\//\\}\\c64\\client.exe:QuorvRoadKey" "Z:${work//\//\\}\\c32\\client.exe:QuorvRoadKey"

out=$(/usr/lib/wine/wine dist/Installer.exe -uninstall </dev/null 2>&1 | tr -d '\r'); rc=$?
echo "$out"
check "Installer.exe -uninstall exits 0" [ "$rc" -eq 0 ]
check "uninstaller reports success" grep -qx "Uninstallation successful." <<<"$out"
check "no 64-bit installed file remains" [ ! -e "$sys64" ]
check "no 32-bit installed file remains" [ ! -e "$sys32" ]
/usr/lib/wine/wine64 c64/client.exe absent </dev/null | tr -d '\r'
check "64-bit client no longer finds QuorvKSP.dll" [ "${PIPESTATUS[0]}" -eq 0 ]
/usr/lib/wine/wine c32/client.exe absent </dev/null | tr -d '\r'
check "32-bit client no longer finds QuorvKSP.dll" [ "${PIPESTATUS[0]}" -eq 0 ]
# Wine 8 stores no CNG registration, so the road cannot see it: installer_unit_tests check those calls on a fake machine.

echo "$failures failure(s)"
[ $failures -eq 0 ]
