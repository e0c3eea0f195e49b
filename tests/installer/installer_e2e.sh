#!/usr/bin/env bash
# The built installer run by the 32-bit Wine loader in a fresh 64-bit prefix, so that it meets
# WOW64 as on 64-bit Windows: c:\windows\system32 is the prefix's syswow64 folder and
# c:\windows\sysnative its system32 folder.
# Usage: installer_e2e.sh REPO_ROOT Installer.exe QuorvKSP.dll QUORVKSP64.dll
set -uo pipefail
root=$1 installer=$2 dll32=$3 dll64=$4

prefix=$(mktemp -d /tmp/wp-installer-e2e.XXXXXX)
kit=$prefix/kit
mkdir -p "$kit"
cp "$installer" "$kit/Installer.exe"
cp "$dll32" "$kit/QuorvKSP.dll"
cp "$dll64" "$kit/QUORVKSP64.dll"

# Without a display MessageBoxW returns at once instead of waiting for a click.
unset DISPLAY WAYLAND_DISPLAY
export WINEPREFIX=$prefix/wine
# shellcheck source=../../scripts/wine-env.sh
. "$root/scripts/wine-env.sh" || exit 1
trap 'wine_stop; rm -rf "$prefix"' EXIT

target32=$WINEPREFIX/drive_c/windows/syswow64/QuorvKSP.dll
target64=$WINEPREFIX/drive_c/windows/system32/QuorvKSP.dll

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# Runs the installer with the given arguments; leaves the console text (CR stripped) in $out and the
# exit code as the shell sees it in $code.
run() {
  (cd "$kit" && /usr/lib/wine/wine ./Installer.exe "$@" </dev/null >"$prefix/stdout" 2>"$prefix/stderr")
  code=$?
  out=$(tr -d '\r' <"$prefix/stdout")
}

expect_run() {  # description, expected exit code, expected console text
  if [ "$code" -ne "$2" ]; then fail "$1: exit code $code, expected $2"; fi
  if [ "$out" != "$3" ]; then
    fail "$1: console differs"; diff <(echo "$3") <(echo "$out") | sed 's/^/    /'
  fi
}

expect_installed() {  # description
  cmp -s "$dll32" "$target32" || fail "$1: 32-bit DLL not in syswow64 byte for byte"
  cmp -s "$dll64" "$target64" || fail "$1: 64-bit DLL not in system32 byte for byte"
}

expect_absent() {  # description, file...
  local what=$1; shift
  for f in "$@"; do [ ! -e "$f" ] || fail "$what: $f still present"; done
}

installed=$'Installing Quorv KSP...\nInstallation successful.'
uninstalled=$'Uninstalling Quorv KSP...\nUninstallation successful.'
usage=$'Quorv KSP Installer 1.5.
Copies the Quorv KSP DLLs into the system directories and registers the provider with CNG.

Usage:
Installer -install        | Installs KSP
Installer -uninstall      | Uninstalls KSP
If no parameter is specified, the KSP will prompt for installation'

run -install
expect_run "-install" 0 "$installed"
expect_installed "-install"

# The question box cannot be shown here, which counts as No: nothing is touched.
run
expect_run "no argument" 255 $'ERR014: Installation aborted.\nERR009: Installation failed'
expect_installed "no argument"

# Stale copies in place, so that only a reinstall that really copies passes.
printf stale >"$target32"; printf stale >"$target64"
run -INSTALL extra
expect_run "reinstall, capitals, second argument" 0 "$installed"
expect_installed "reinstall"

run -UnInstall -install
expect_run "-UnInstall with a second argument" 0 "$uninstalled"
expect_absent "-UnInstall" "$target32" "$target64"

run -uninstall
expect_run "-uninstall with nothing installed" 0 "$uninstalled"

run /install
expect_run "/install" 1 "Unrecognized command \"/install\""$'\n'"$usage"
expect_absent "/install" "$target32" "$target64"

run ""
expect_run "empty argument" 1 "Unrecognized command \"\""$'\n'"$usage"

# A target that cannot be deleted stays in place and uninstalling reports it.
mkdir "$target32"
run -uninstall
expect_run "undeletable target" 255 \
  $'Uninstalling Quorv KSP...\nERR015: Couldn\'t delete file c:\\windows\\system32\\QuorvKSP.dll: 5'
rmdir "$target32"

mv "$kit/QUORVKSP64.dll" "$kit/hidden64"
run -install
expect_run "64-bit DLL missing" 255 $'Installing Quorv KSP...\nERR013: Couldn\'t copy file: 2\nERR009: Installation failed'
cmp -s "$dll32" "$target32" || fail "64-bit DLL missing: the 32-bit copy should stay"
expect_absent "64-bit DLL missing" "$target64"
mv "$kit/hidden64" "$kit/QUORVKSP64.dll"

mv "$kit/QuorvKSP.dll" "$kit/hidden32"
run -install
expect_run "32-bit DLL missing" 255 $'Installing Quorv KSP...\nERR005: Couldn\'t copy file: 2\nERR009: Installation failed'
expect_absent "32-bit DLL missing" "$target32" "$target64"

[ -s "$prefix/stderr" ] && { echo "stderr of the last run:"; cat "$prefix/stderr"; }
if [ $failures -ne 0 ]; then echo "$failures check(s) failed"; exit 1; fi
echo "installer end to end: all checks passed"
