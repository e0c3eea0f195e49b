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
# With Wine's default debugger a program that has started a thread and then dies from an unhandled
# exception exits with status 0, and 32-bit ones under qemu-user can hang in it. A debugger that does
# not exist ends the process with the exception's code instead. Both registry views: each bitness
# reads its own.
for _ksp_view in /reg:64 /reg:32; do
  if ! /usr/lib/wine/wine64 reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger \
      /t REG_SZ /d 'C:\windows\no-debugger-for-tests.exe %ld %ld' /f "$_ksp_view" </dev/null >/dev/null 2>&1; then
    echo "wine-env.sh: could not replace the debugger of $WINEPREFIX ($_ksp_view)" >&2
    wine_stop
    return 1
  fi
done
