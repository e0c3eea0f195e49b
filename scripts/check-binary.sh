#!/usr/bin/env bash
# Checks a built PE file: it imports system DLLs only; a provider DLL imports no ncrypt.dll (that would
# move its BCrypt imports there) nor AddVectoredExceptionHandler, and exports exactly
# GetKeyStorageInterface, undecorated, at ordinal 1.
set -euo pipefail
file=$1
kind=${2:-dll}
dump=$(x86_64-w64-mingw32-objdump -p "$file")

system='kernel32|advapi32|bcrypt|shell32|shlwapi|user32|msvcrt|api-ms-win-[a-z0-9-]+'
# The installer binds BCryptAddContextFunction through ncrypt.dll on purpose.
[ "$kind" = exe ] && system+='|ncrypt'
allowed="^($system)\.dll$"
bad=0
while read -r dll; do
  lower=$(tr 'A-Z' 'a-z' <<<"$dll")
  if ! [[ $lower =~ $allowed ]]; then
    echo "unexpected import: $dll"
    bad=1
  fi
done < <(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$dump")

if [ "$kind" = dll ]; then
  # A guest in other people's processes installs no exception handler there; the static threads
  # library would, at process attach.
  if grep -Eq '^[[:space:]]+[0-9a-f]+[[:space:]]+[0-9]+[[:space:]]+AddVectoredExceptionHandler$' <<<"$dump"; then
    echo "imports AddVectoredExceptionHandler"; bad=1
  fi
  exports=$(awk '/Ordinal\/Name Pointer\] Table/{f=1; next} f && /^[[:space:]]*\[/{print} f && /^$/{f=0}' <<<"$dump")
  if [ "$(wc -l <<<"$exports")" -ne 1 ] || ! grep -Eq '^[[:space:]]*\[[[:space:]]*0\] GetKeyStorageInterface$' <<<"$exports"; then
    echo "unexpected export table:"; echo "$exports"; bad=1
  fi
  if ! grep -Eq '^Ordinal Base[[:space:]]+1$' <<<"$dump"; then
    echo "ordinal base is not 1"; bad=1
  fi
fi
[ $bad -eq 0 ] && echo "$(basename "$file"): imports and exports as expected"
exit $bad
