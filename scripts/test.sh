#!/usr/bin/env bash
# Builds everything (installing what is missing), then runs every test of both architectures under
# Wine in a scratch prefix.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh"

export WINEPREFIX="$root/build/wineprefix"
rm -rf "$WINEPREFIX"
# shellcheck source=wine-env.sh
. "$root/scripts/wine-env.sh"
trap wine_stop EXIT

status=0
echo "== static analysis =="
"$root/scripts/cppcheck.sh" || status=1
for arch in x86_64 i686; do
  echo "== tests: $arch =="
  ctest --test-dir "$root/build/$arch" -j "$(nproc)" --output-on-failure --timeout 1200 || status=1
done
exit $status
