#!/usr/bin/env python3
"""Runs test programs once more with Wine's heap checking on.

Usage: heap_check.py PROGRAM [PROGRAM...]

A program passes when its heap-checked run exits 0 with a complete, clean report and Wine's heap
checking printed no warning or error. Left out, by name and with the reason printed:
- the cases that count live heap blocks: heap checking delays the release of freed blocks, so they
  cannot hold here by design;
- the cases that take over SLOW_TEST_SECONDS (default 1) in a plain timed run: heap checking
  validates the whole heap on every allocation, which makes them many times longer (under qemu-user,
  hours).
Both are checked by their programs' plain runs. A program none of whose cases ran under heap checking
gets a note that says so, not an "ok".

Where 32-bit code runs under qemu-user, the emulator may die in the middle of a run. Only then is the
run resumed after the case that was running, which stays unchecked under heap checking; a case that
had printed a failure first still fails the check.
"""
import os
import re
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
import wine_run  # noqa: E402

COUNTS_LIVE_BLOCKS = "counts live heap blocks, which heap checking keeps in use after they are freed"
LEFT_OUT_BY_DESIGN = {
    "HandlesLeak.HundredThousandCyclesLeaveTheProcessHeapAsItWas": COUNTS_LIVE_BLOCKS,
    "LoadedDllHandles.HundredThousandCyclesLeaveTheProcessHeapAsItWas": COUNTS_LIVE_BLOCKS,
    "LoadedDll.UnloadGivesBackEveryByteAndLoadingLeavesTheHostsHandlersAlone": COUNTS_LIVE_BLOCKS,
    "DllProperties.EnumeratedBlocksAreSeparateAndEachFreedByFreeBuffer": COUNTS_LIVE_BLOCKS,
    "DllProperties.ManySetGetEnumFreeCallsLeaveNoHeapBlockBehind": COUNTS_LIVE_BLOCKS,
}
HEAP_COMPLAINT = re.compile(r":(warn|err):heap")
MAX_RESUMES = 30


def case_runs(stdout):
    """(case, outcome) in start order; outcome is "OK", "FAILED" or None for a case still running."""
    runs = []
    for line in stdout.splitlines():
        if line.startswith("[ RUN      ] "):
            runs.append([line[13:].strip(), None])
        elif runs and runs[-1][1] is None and re.match(r"\[ +(OK|FAILED) +\] ", line):
            runs[-1][1] = "OK" if "OK" in line[:12] else "FAILED"
        elif runs and runs[-1][1] is None and re.search(r":\d+: Failure$", line):
            runs[-1][1] = "FAILED"
    return runs


def check(program, limit, matched, notes):
    """Heap-checks one program; returns True when it passes."""
    name = os.path.splitext(os.path.basename(program))[0]
    if not os.path.isfile(program):
        print(f"FAIL {name}: not built")
        return False

    returncode, timing, _, _ = wine_run.run_gtest(program, [], capture=True)
    if not timing.clean:
        print(f"FAIL {name}: its plain timed run was not clean ({wine_run.describe_status(returncode)})")
        for problem in timing.problems:
            print(f"  {problem}")
        return False
    slow = f"over {limit:g} s in a plain run"
    left_out = {}  # reason -> cases
    for case, seconds in timing.times.items():
        if case in LEFT_OUT_BY_DESIGN:
            matched.add(case)
            left_out.setdefault(LEFT_OUT_BY_DESIGN[case], []).append(case)
        elif seconds > limit:
            left_out.setdefault(slow, []).append(case)
    for reason, cases in left_out.items():
        print(f"note {name}: left out ({reason}): {', '.join(cases)}")
        notes.append(f"{name} under heap checking: {', '.join(cases)}: {reason}")

    env = dict(os.environ, WINEDEBUG="warn+heap")
    excluded = [case for cases in left_out.values() for case in cases]
    checked = set()  # cases that ran to their end under heap checking
    complaints = []
    passed = False
    for _ in range(MAX_RESUMES):
        if all(case in excluded for case in timing.times):
            passed = True  # nothing left to run
            break
        filter_arg = "--gtest_filter=-" + (":".join(excluded) or "none")
        returncode, report, stdout, stderr = wine_run.run_gtest(program, [filter_arg], env=env, capture=True)
        complaints += [line for line in stderr.splitlines() if HEAP_COMPLAINT.search(line)]
        if returncode == 0 and report.clean:
            checked.update(report.times)
            passed = True
            break
        death = wine_run.emulator_death(program, returncode, stderr)
        runs = case_runs(stdout)
        failed = [case for case, outcome in runs if outcome == "FAILED"]
        if death is None or failed or not runs:
            print(f"FAIL {name} under heap checking: {wine_run.describe_status(returncode)}")
            for problem in report.problems:
                print(f"  {problem}")
            for case in failed:
                print(f"  {case}: failed")
            if runs and runs[-1][1] is None:
                print(f"  running at the end: {runs[-1][0]}")
            break
        checked.update(case for case, outcome in runs if outcome == "OK")
        if report.clean:
            print(f"note {name}: the emulator died from {death} after every case had passed")
            notes.append(f"{name} under heap checking: process exit: the emulator died from {death} "
                         "after every case had passed")
            passed = True
            break
        crashed = runs[-1][0] if runs[-1][1] is None else None
        if crashed is not None:
            print(f"note {name}: the emulator died from {death} in {crashed}; resuming after it")
            notes.append(f"{name} under heap checking: {crashed}: the emulator died from {death} in it")
        excluded += [case for case, _ in runs]
    else:
        print(f"FAIL {name}: the emulator died more than {MAX_RESUMES} times")

    if complaints:
        print(f"FAIL {name} made Wine's heap checking complain:")
        counts = {}
        for line in complaints:
            counts[line] = counts.get(line, 0) + 1
        for line, count in sorted(counts.items(), key=lambda item: -item[1])[:20]:
            print(f"  {count:5d} {line}")
        return False
    if passed and not checked:
        print(f"note {name}: none of its cases ran under heap checking")
    elif passed:
        print(f"ok   {name}: no heap warning")
    return passed


def main(programs):
    if not programs:
        sys.exit(__doc__)
    limit = float(os.environ.get("SLOW_TEST_SECONDS", "1"))
    matched = set()
    notes = []
    ok = True
    for program in programs:
        ok = check(program, limit, matched, notes) and ok
    for case in sorted(set(LEFT_OUT_BY_DESIGN) - matched):
        print(f"FAIL: {case} is left out by name, but no program has it")
        ok = False
    wine_run.log_not_checked(notes)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
