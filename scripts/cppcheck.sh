#!/usr/bin/env bash
# Static analysis of the provider and the installer for both target platforms. Fails on any finding
# that is not suppressed with a reason (scripts/cppcheck-suppressions.txt, or inline
# "// cppcheck-suppress id" comments that say why).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
status=0
for platform in win64 win32W; do
  defines=(-D_WIN32 -DUNICODE -D_UNICODE -DWIN32_LEAN_AND_MEAN -DNOMINMAX)
  [ "$platform" = win64 ] && defines+=(-D_WIN64)
  echo "== cppcheck: $platform =="
  if ! cppcheck --enable=warning,style,performance,portability --platform="$platform" --std=c++17 \
      --language=c++ -I provider -I installer "${defines[@]}" --inline-suppr \
      --suppressions-list=scripts/cppcheck-suppressions.txt --error-exitcode=1 --quiet \
      --template='{file}:{line}: {severity}: {id}: {message}' provider installer; then
    status=1
  fi
done
[ $status -eq 0 ] && echo "cppcheck: no unsuppressed finding"
exit $status
