#!/usr/bin/env python3
"""Checks a trace log written by several client processes at once.

Usage: check_trace.py TRACE IMAGE:CONTAINER [IMAGE:CONTAINER ...]

Every line must be whole ("[YYYY-MM-DD HH:MM:SS] message\\n"), and the messages must be an
interleaving of one expected road sequence per client, each in its own order."""
import re
import sys
from functools import lru_cache

LINE = re.compile(rb"^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] (.*)\n$")


def road(image, container):
    sign_query = ["Received a signing request"] + [f"Validation {i}" for i in range(1, 7)] + ["Validation 7: 256"]
    sign = sign_query + [f"Validation {i}" for i in range(8, 15)]
    return ([f"Starting log session - image name: {image}", "DllMain called", "Attaching to DLL",
             "Key storage interface", "Open provider", "OpenKey called", "Validated provider handle",
             f"Key name: {container}", "Successful", "GetKeyProperty", "GetKeyProperty", "GetKeyProperty"]
            + sign_query + sign
            + ["Call to decrypt", "Validation 1 OK", "Validation 2 OK - cbInput: 256, cbOutput: 256",
               "Validation 3 OK - block length: 256", "Free key", "Free provider",
               "DllMain called", "Detaching from DLL", "Stopping logging."])


def is_interleaving(lines, sequences):
    sys.setrecursionlimit(100000)
    sequences = [tuple(s) for s in sequences]

    @lru_cache(maxsize=None)
    def fits(positions):
        done = sum(positions)
        if done == len(lines):
            return all(p == len(s) for p, s in zip(positions, sequences))
        for k, seq in enumerate(sequences):
            p = positions[k]
            if p < len(seq) and seq[p] == lines[done]:
                if fits(positions[:k] + (p + 1,) + positions[k + 1:]):
                    return True
        return False

    return fits(tuple(0 for _ in sequences))


def main():
    trace = open(sys.argv[1], "rb").read()
    raw = trace.splitlines(keepends=True)
    messages = []
    for number, line in enumerate(raw, 1):
        match = LINE.match(line)
        if not match:
            print(f"line {number} is not a whole trace line: {line!r}")
            return 1
        messages.append(match.group(1).decode("utf-8"))
    clients = [arg.rsplit(":", 1) for arg in sys.argv[2:]]
    expected = [road(image, container) for image, container in clients]
    if len(messages) != sum(len(e) for e in expected):
        print(f"{len(messages)} lines, expected {sum(len(e) for e in expected)}")
        print("\n".join(messages))
        return 1
    if not is_interleaving(messages, expected):
        print("the lines are not an interleaving of the clients' expected sequences:")
        print("\n".join(messages))
        return 1
    last_start = max(i for i, m in enumerate(messages) if m.startswith("Starting log session"))
    first_stop = messages.index("Stopping logging.")
    overlap = "overlapping" if last_start < first_stop else "one after the other"
    print(f"trace ok: {len(messages)} whole lines from {len(clients)} processes, {overlap}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
