#!/usr/bin/env python3
"""Runs one Windows program of the build under Wine, with the loader that matches its bitness.

Usage: wine_run.py PROGRAM [ARGS...]   (the build's CMAKE_CROSSCOMPILING_EMULATOR)

A plain program's exit status is passed on, a death from a signal as 128 plus its number. A GoogleTest
program (any --gtest_ argument) runs with an XML report and passes only when it exits 0 and the report
shows every case run to its end and none failed, failures of a global environment included. A
program that stops early writes no report and fails, whatever its exit status.

Where the kernel hands 32-bit code to qemu-user, the emulator itself may die while a 32-bit Wine
process tears down, after every result is known. Only there, and only when the process was killed by
SIGSEGV, SIGABRT, SIGBUS or SIGILL after it wrote a complete and clean report, and Wine announced no
unhandled exception before, does the run count as passed; the line that says so names the signal,
and the process exit counts as not checked. Natively a Windows exception ends the process with an
exit status (the low byte of its code), never with a signal, and fails like any other status.

A case that cannot be checked on this machine records a "not_checked" property (KSP_NOT_CHECKED in
the tests). Each such case is printed and, when KSP_NOT_CHECKED_LOG names a file, appended to it as
"program: case: reason", so that the test command can list them all at its end.
"""
import os
import re
import signal
import struct
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

LOADERS = {0x014C: "/usr/lib/wine/wine", 0x8664: "/usr/lib/wine/wine64"}
I386 = 0x014C
EMULATOR_DEATHS = {signal.SIGSEGV, signal.SIGABRT, signal.SIGBUS, signal.SIGILL}
QEMU_I386 = "/proc/sys/fs/binfmt_misc/qemu-i386"
UNHANDLED_EXCEPTION = re.compile(r"^wine: Unhandled ", re.MULTILINE)


def pe_machine(program):
    """The machine field of a PE file's header."""
    with open(program, "rb") as image:
        header = image.read(4096)
    (pe_offset,) = struct.unpack_from("<I", header, 0x3C)
    if header[pe_offset:pe_offset + 4] != b"PE\0\0":
        raise ValueError(f"{program} is not a PE file")
    (machine,) = struct.unpack_from("<H", header, pe_offset + 4)
    return machine


def loader_for(program):
    return LOADERS[pe_machine(program)]


def emulated_32bit():
    """True where 32-bit x86 code runs under qemu-user through binfmt_misc."""
    try:
        with open(QEMU_I386) as entry:
            return entry.readline().strip() == "enabled"
    except OSError:
        return False


def runs_under_emulator(program):
    """True when program is 32-bit and this machine hands 32-bit code to qemu-user."""
    return pe_machine(program) == I386 and emulated_32bit()


def signal_name(number):
    try:
        return signal.Signals(number).name
    except ValueError:
        return f"signal {number}"


def emulator_death(program, returncode, stderr):
    """The signal's name when the emulator's own death explains returncode, else None."""
    if returncode >= 0 or not runs_under_emulator(program):
        return None
    if UNHANDLED_EXCEPTION.search(stderr):
        return None  # the program crashed first; the emulator died handling it
    return signal_name(-returncode) if -returncode in EMULATOR_DEATHS else None


def shell_status(returncode):
    """The status a shell reports: a death from a signal is 128 plus its number."""
    return 128 - returncode if returncode < 0 else returncode


def describe_status(returncode):
    if returncode < 0:
        return f"killed by {signal_name(-returncode)} (status {shell_status(returncode)})"
    return f"exit status {returncode}"


def wine_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Report:
    """What a GoogleTest XML report shows; complete only if the program finished its run."""

    def __init__(self, path):
        self.problems = []
        self.not_checked = []  # (case, reason)
        self.times = {}  # case -> seconds
        try:
            root = ET.parse(path).getroot()
        except (ET.ParseError, OSError):
            self.problems.append("no report: the program stopped before it finished its run")
            return
        cases = 0
        for suite in root.iter("testsuite"):
            for case in suite.iter("testcase"):
                name = f"{case.get('classname')}.{case.get('name')}"
                if suite.get("name") == "NonTestSuiteFailure":
                    name = "outside any case (a global environment)"
                else:
                    cases += 1
                    self.times[name] = float(case.get("time", "0"))
                status, result = case.get("status"), case.get("result")
                if result == "skipped":
                    self.problems.append(f"{name}: skipped; a case that cannot be checked here says so "
                                         "with KSP_NOT_CHECKED")
                elif status != "run" or result != "completed":
                    self.problems.append(f"{name}: not run to its end ({status}, {result})")
                if case.find("failure") is not None or case.find("error") is not None:
                    self.problems.append(f"{name}: failed")
                for prop in case.iter("property"):
                    if prop.get("name") == "not_checked":
                        self.not_checked.append((name, prop.get("value", "")))
        if cases == 0:
            self.problems.append("no case ran")
        for counter in ("failures", "errors"):
            if root.get(counter, "0") != "0":
                self.problems.append(f"the report counts {root.get(counter)} {counter}")

    @property
    def clean(self):
        return not self.problems


def run_gtest(program, args, env=None, capture=False):
    """Runs a GoogleTest program with a report; returns (returncode, Report, stdout, stderr)."""
    with tempfile.TemporaryDirectory() as scratch:
        report_path = os.path.join(scratch, "report.xml")
        command = [loader_for(program), program, *args, "--gtest_output=xml:" + wine_path(report_path)]
        # stderr is always read: Wine announces an unhandled exception there.
        done = subprocess.run(command, env=env, stdin=subprocess.DEVNULL if capture else None,
                              stdout=subprocess.PIPE if capture else None, stderr=subprocess.PIPE)
        report = Report(report_path)
    stderr = as_text(done.stderr)
    if not capture:
        sys.stderr.write(stderr)
        sys.stderr.flush()
    return done.returncode, report, as_text(done.stdout), stderr


def as_text(data):
    return data.decode("utf-8", "replace").replace("\r", "") if data is not None else ""


def log_not_checked(lines):
    path = os.environ.get("KSP_NOT_CHECKED_LOG")
    if path and lines:
        with open(path, "a", encoding="utf-8") as log:
            log.write("".join(line + "\n" for line in lines))


def main(argv):
    if len(argv) < 2:
        sys.exit(__doc__)
    program, args = argv[1], argv[2:]
    if not any(arg.startswith("--gtest_") for arg in args):
        # A death from a signal becomes a status as a shell gives it, so that ctest sees an exit code.
        return shell_status(subprocess.run([loader_for(program), program, *args]).returncode)

    name = os.path.splitext(os.path.basename(program))[0]
    sys.stdout.flush()
    returncode, report, _, stderr = run_gtest(program, args)
    unchecked = [f"{name}: {case}: {reason}" for case, reason in report.not_checked]
    death = emulator_death(program, returncode, stderr)
    passed = report.clean and (returncode == 0 or death is not None)
    if passed and death is not None:
        print(f"note: the emulator died from {death} (status {shell_status(returncode)}) after the report "
              "showed every case passed; counted as passed")
        unchecked.append(f"{name}: process exit: the emulator died from {death} after every case had passed")
    for line in unchecked:
        print(f"not checked: {line}")
    log_not_checked(unchecked)
    if passed:
        return 0
    print(f"FAIL {name}: {describe_status(returncode)}")
    if UNHANDLED_EXCEPTION.search(stderr):
        print("  Wine announced an unhandled exception (above)")
    for problem in report.problems:
        print(f"  {problem}")
    return shell_status(returncode) or 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
