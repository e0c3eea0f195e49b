#!/usr/bin/env bash
# Installs the cross compilers, Wine (64- and 32-bit), qemu for 32-bit code where the kernel cannot
# run it, and the GoogleTest sources. Safe to run again: it installs only what is missing.
set -euo pipefail
need=()
have() { dpkg -s "$1" >/dev/null 2>&1; }
for pkg in g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix cmake make wine wine64 wine32:i386 \
           googletest cppcheck python3 qemu-user-static binutils; do
  have "$pkg" || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${need[@]}"
fi
"$(dirname "$0")/enable-i386.sh"
