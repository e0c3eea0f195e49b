#!/usr/bin/env bash
# Installs what is missing, then builds both architectures and gathers the deliverables in dist/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
jobs=$(nproc)
for arch in x86_64 i686; do
  dir="$root/build/$arch"
  cmake -S "$root" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$arch.cmake" \
        -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$dir" -j "$jobs"
done
echo "Deliverables in $root/dist:"
ls -l "$root/dist"
