# Source this file to run test programs by hand: it sets Wine's environment for a prefix (default
# build/wineprefix, or $WINEPREFIX if set), starts one persistent wineserver and boots the prefix's
# background services with their output detached. Without that, the services inherit the output pipe of
# whatever started first and a reader such as ctest waits for them forever. Stop with: wine_stop
_ksp_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX=${WINEPREFIX:-$_ksp_root/build/wineprefix}
export WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# Under qemu-i386 a smaller guest address space keeps 32-bit Wine start-up to seconds.
export QEMU_RESERVED_VA=0x81000000
mkdir -p "$WINEPREFIX"
/usr/lib/wine/wineserver64 -p </dev/null >/dev/null 2>&1
/usr/lib/wine/wine64 wineboot -i </dev/null >/dev/null 2>&1
wine_stop() { /usr/lib/wine/wineserver64 -k >/dev/null 2>&1 || true; }
