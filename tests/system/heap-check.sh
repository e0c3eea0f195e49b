#!/usr/bin/env bash
# Runs test programs once more with Wine's heap checking on and fails on any heap warning or error,
# and on a program that does not end normally. Failed assertions (exit code 1) are reported but do
# not fail the check: with heap checking on, Wine delays the release of freed blocks, so tests that
# count live blocks with HeapWalk see them still in place; the plain run of each program judges its
# assertions.
# Usage: heap-check.sh EMULATOR PROGRAM [PROGRAM...]
set -uo pipefail
emulator=$1; shift
status=0
for program in "$@"; do
  errors=$(mktemp)
  WINEDEBUG=warn+heap "$emulator" "$program" --gtest_brief=1 </dev/null 2>"$errors"
  rc=$?
  warnings=$(grep -aE ':(warn|err):heap' "$errors" | sort | uniq -c | sort -rn)
  if [ $rc -eq 1 ]; then
    echo "note $(basename "$program"): assertions failed under heap checking (judged by its plain run)"
  elif [ $rc -ne 0 ]; then
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
