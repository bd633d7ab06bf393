#!/bin/sh
# Builds kivex.exe and runs the end-to-end suite against it under Wine.
set -eu
cd "$(dirname "$0")/.."
sh scripts/build-windows.sh >/dev/null
# kivex.exe must need no DLL that Windows does not ship.
dlls=$(x86_64-w64-mingw32-objdump -p build/windows/kivex.exe | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z')
for dll in $dlls; do
  case "$dll" in
    kernel32.dll|msvcrt.dll|user32.dll|advapi32.dll|ws2_32.dll|ucrtbase.dll|api-ms-win-*) ;;
    *) echo "kivex.exe needs $dll" >&2; exit 1 ;;
  esac
done
echo "kivex.exe needs only: $(echo $dlls)"
WINEPREFIX="$PWD/build/windows/wineprefix" WINEDEBUG=-all \
  python3 tests/e2e/run_e2e.py --kivex build/windows/kivex.exe --wine
