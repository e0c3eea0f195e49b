#!/usr/bin/env python3
"""Passes only when crash_after_thread died of its access violation after joining its thread.

Usage: expect_crash.py PROGRAM

The program must print its "thread joined" line and then end with the access violation's status: the
low byte of 0xC0000005, which is 5. Only where 32-bit code runs under qemu-user may a 32-bit program
die from SIGSEGV instead, since a crash after a thread has run often takes the emulator down with it;
the exit status then goes on the list of what was not checked.
Any other outcome (a runner or loader failure, a plain non-zero exit, no line) fails, and says what
was seen.
"""
import os
import signal
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
import wine_run  # noqa: E402

JOINED = "thread joined"
ACCESS_VIOLATION_STATUS = 0xC0000005 & 0xFF


def main(argv):
    if len(argv) != 2:
        sys.exit(__doc__)
    program = argv[1]
    done = subprocess.run([wine_run.loader_for(program), program], stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    stdout = wine_run.as_text(done.stdout)
    sys.stdout.write(stdout)
    sys.stderr.write(wine_run.as_text(done.stderr))
    expected = {ACCESS_VIOLATION_STATUS}
    emulated = wine_run.runs_under_emulator(program)
    if emulated:
        expected.add(-signal.SIGSEGV)
    joined = any(line.startswith(JOINED) for line in stdout.splitlines())
    seen = wine_run.describe_status(done.returncode)
    if joined and done.returncode in expected:
        print(f"ok: the thread was joined, then the access violation ended the program ({seen})")
        if done.returncode < 0:
            note = "crash_after_thread: exit status: the emulator died from SIGSEGV before Wine could end it"
            print(f"not checked: {note}")
            wine_run.log_not_checked([note])
        return 0
    wanted = "exit status 5" + (" or a death from SIGSEGV (32-bit code under qemu-user)" if emulated else "")
    print(f"FAIL: expected the \"{JOINED}\" line, then {wanted}; saw "
          f"{'the line' if joined else 'no such line'} and {seen}")
    return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
