#!/usr/bin/env bash
# Runs test programs once more with Wine's heap checking on and fails on any heap warning or error.
#
# Test verdicts are left to the plain runs: with heap checking on Wine delays the release of freed
# blocks, so tests that count live blocks with HeapWalk fail here, and under qemu-user a failing
# 32-bit test can take the emulator down with it. When a program dies, the check resumes it after
# the test that was running, so the remaining tests still run under heap checking.
# Heap checking validates the whole heap on every allocation, which makes long tests take many times
# longer (under qemu-user, hours). A plain timed run first picks the tests that take at most
# SLOW_TEST_SECONDS; the others are named and left to their plain runs.
# Usage: heap-check.sh EMULATOR PROGRAM [PROGRAM...]
set -uo pipefail
emulator=$1; shift
limit=${SLOW_TEST_SECONDS:-1}
status=0
for program in "$@"; do
  name=$(basename "$program")
  if [ ! -f "$program" ]; then
    echo "FAIL $name: not built"; status=1; continue
  fi
  report=$(mktemp --suffix=.xml)
  "$emulator" "$program" "--gtest_output=xml:Z:${report//\//\\}" </dev/null >/dev/null 2>&1
  skip=$(python3 - "$report" "$limit" <<'PY'
import sys
import xml.etree.ElementTree as ET
try:
    cases = list(ET.parse(sys.argv[1]).iter("testcase"))
except (ET.ParseError, OSError):
    sys.exit(0)
print(":".join(c.get("classname") + "." + c.get("name") for c in cases
               if float(c.get("time", "0")) > float(sys.argv[2])))
PY
)
  rm -f "$report"
  [ -n "$skip" ] && echo "note $name: left to the plain run (over ${limit} s): $skip"

  warnings=""
  for attempt in $(seq 1 30); do
    out=$(mktemp); errors=$(mktemp)
    # Without --gtest_brief the 32-bit wrapper hands the program straight to the loader.
    WINEDEBUG=warn+heap "$emulator" "$program" "--gtest_filter=-${skip:-none}" </dev/null >"$out" 2>"$errors"
    rc=$?
    warnings+=$(grep -aE ':(warn|err):heap' "$errors")
    started=$(sed -n 's/^\[ RUN      \] //p' "$out" | tr -d '\r')
    rm -f "$out" "$errors"
    if [ $rc -lt 128 ]; then
      [ $rc -ne 0 ] && echo "note $name: assertions failed under heap checking (judged by its plain run)"
      break
    fi
    crashed=$(tail -n1 <<<"$started")
    if [ -z "$crashed" ]; then
      echo "FAIL $name died (exit $rc) before its first test"; status=1; break
    fi
    echo "note $name: died (exit $rc) in $crashed; resuming after it"
    skip+="${skip:+:}$(tr '\n' ':' <<<"$started" | sed 's/:$//')"
  done
  if [ -n "$warnings" ]; then
    echo "FAIL $name made Wine's heap checking complain:"
    sort <<<"$warnings" | uniq -c | sort -rn | head -20
    status=1
  else
    echo "ok   $name: no heap warning"
  fi
done
exit $status
