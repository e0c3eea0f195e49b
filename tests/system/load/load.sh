#!/usr/bin/env bash
# Runs the load test in its own prefix. Where the kernel hands 32-bit code to qemu-user (binfmt_misc),
# Wine threads that start at the same moment, as the test's do, crash the emulator, so there the same
# thirty seconds run on one thread; natively, and for the 64-bit build, sixteen threads share the handles.
# Usage: load.sh NAME ARCH EMULATOR PROGRAM [ARGS...]   (ARCH: x64 or x86)
set -uo pipefail
name=$1; arch=$2; shift 2
here=$(cd "$(dirname "$0")" && pwd)
if [ "$arch" = x86 ] && grep -qs '^enabled' /proc/sys/fs/binfmt_misc/qemu-i386; then
  echo "32-bit code runs under qemu-user here: one thread"
  export QUORV_LOAD_THREADS=1
fi
exec "$here/../scratch-prefix.sh" "$name" "$@"
