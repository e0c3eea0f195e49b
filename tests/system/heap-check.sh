#!/usr/bin/env bash
# Runs test programs once more with Wine's heap checking on and fails on any heap warning or error,
# as well as on a failing program.
# Usage: heap-check.sh EMULATOR PROGRAM [PROGRAM...]
set -uo pipefail
emulator=$1; shift
status=0
for program in "$@"; do
  errors=$(mktemp)
  WINEDEBUG=warn+heap "$emulator" "$program" --gtest_brief=1 </dev/null 2>"$errors"
  rc=$?
  warnings=$(grep -aE ':(warn|err):heap' "$errors" | sort | uniq -c | sort -rn)
  if [ $rc -ne 0 ]; then
    echo "FAIL $(basename "$program") exited with $rc under heap checking"; status=1
  fi
  if [ -n "$warnings" ]; then
    echo "FAIL $(basename "$program") made Wine's heap checking complain:"; echo "$warnings" | head -20; status=1
  else
    echo "ok   $(basename "$program"): no heap warning"
  fi
  rm -f "$errors"
done
exit $status
