#!/usr/bin/env bash
# Runs one command in a fresh Wine prefix of its own, with its own server, and removes the prefix
# afterwards. Programs that switch the trace log on own its folder in their prefix this way.
# Usage: scratch-prefix.sh NAME COMMAND [ARGS...]
set -uo pipefail
name=$1; shift
root=$(cd "$(dirname "$0")/../.." && pwd)
export WINEPREFIX="${WINEPREFIX:-/tmp/ksp-wineprefix}-system-$name"
rm -rf "$WINEPREFIX"
# shellcheck source=../../scripts/wine-env.sh
. "$root/scripts/wine-env.sh" || exit 1
"$@" </dev/null
rc=$?
wine_stop
rm -rf "$WINEPREFIX"
exit $rc
