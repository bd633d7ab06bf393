#!/bin/sh
# Builds the shipped 32-bit kivex.exe (the download, stripped), checks that
# it runs on every Windows from XP on, and runs the Windows unit tests and
# the end-to-end suite under Wine: the 32-bit builds under Wine's 32-bit
# side where it runs here; where it does not (a kernel without 32-bit
# emulation), or with KIVEX_WIN64=1, the same sources built for 64-bit
# Windows under 64-bit Wine, and the 32-bit kivex.exe checked without
# running it.
set -eu
cd "$(dirname "$0")/.."
sh scripts/dist.sh >/dev/null
EXE=build/dist/kivex.exe
OBJDUMP=i686-w64-mingw32-objdump
# A 32-bit console program for Windows NT 5.01 (XP) or older.
$OBJDUMP -f "$EXE" | grep -q "file format pei-i386" || { echo "$EXE is not PE32 (i686)" >&2; exit 1; }
sub=$($OBJDUMP -p "$EXE" | awk '/^MajorSubsystemVersion/ { a = $2 } /^MinorSubsystemVersion/ { b = $2 } END { print a * 100 + b }')
[ "$sub" -le 501 ] || { echo "$EXE needs subsystem version $sub" >&2; exit 1; }
# Prints the imports of the program $1 that break the rule, one a line:
# every DLL but the three that every Windows ships (README: not even
# user32.dll), and the functions newer than XP that MinGW's runtime
# libraries are known to pull in. objdump shows a function as a tab, its
# address, blanks or a tab, its hint and its name.
refused_imports() {
  $OBJDUMP -p "$1" |
    awk '/DLL Name:/ { print tolower($3) } /^\t[0-9a-f]+[ \t]+[0-9]+ +[A-Za-z_]/ { print $3 }' |
    grep -x -E '.*\.dll|GetTickCount64|(Initialize|Acquire|Release|TryAcquire)SRWLock.*|.*ConditionVariable.*|InitOnce.*|Fls(Alloc|Free|GetValue|SetValue)|GetFinalPathNameByHandle[AW]|CreateSymbolicLink[AW]|(Get|Set)FileInformationByHandleEx|GetSystemTimePreciseAsFileTime|InitializeCriticalSectionEx|Create(Event|Mutex|Semaphore)Ex[AW]|.*LocaleName.*|.*Ex2' |
    grep -v -x -E 'kernel32\.dll|msvcrt\.dll|advapi32\.dll' || true
}
# The check proves on every run that it can fail: a program that imports
# Vista's GetTickCount64 and user32.dll is refused for both.
mkdir -p build/import-check
cat >build/import-check/vista.cc <<'END'
#define _WIN32_WINNT 0x0600
#include <windows.h>
int main() { return MessageBeep(0) && GetTickCount64() == 0; }
END
i686-w64-mingw32-g++-win32 -static -o build/import-check/vista.exe build/import-check/vista.cc
seen=$(refused_imports build/import-check/vista.exe)
for name in GetTickCount64 user32.dll; do
  echo "$seen" | grep -q -x "$name" || { echo "the import check misses $name" >&2; exit 1; }
done
bad=$(refused_imports "$EXE" | tr '\n' ' ')
[ -z "$bad" ] || { echo "$EXE imports what not every Windows from XP on has: $bad" >&2; exit 1; }
imports=$($OBJDUMP -p "$EXE" | awk '/DLL Name:/ { print tolower($3) }')
echo "kivex.exe: PE32, subsystem $sub, needs only $(echo "$imports" | tr '\n' ' ')(the check refuses GetTickCount64 and user32.dll)"

export WINEDEBUG=-all
# Which side of Wine runs here is found out by running the 32-bit kivex.exe
# itself: its usage text and exit status 1 prove the whole 32-bit side
# (kernel, loader, prefix), however Wine's console begins its lines.
# Debian's `wine` takes the 32-bit loader whenever it is installed, so the
# 64-bit way names its loader.
if [ "${KIVEX_WIN64:-0}" = 1 ]; then
  way=64 why="KIVEX_WIN64=1 asks for it"
else
  export WINEPREFIX="$PWD/build/wineprefix" WINEARCH=win32
  [ -d "$WINEPREFIX" ] || wine wineboot -i >/dev/null 2>&1 || true
  status=0
  probe=$(wine "$EXE" 2>&1 </dev/null) || status=$?
  if [ "$status" = 1 ] && echo "$probe" | grep -q "Kivex -xExtractVerzeichnis Eingangspuffer"; then
    way=32 why="Wine's 32-bit side runs here"
  else
    way=64 why="Wine's 32-bit side cannot run here ($(echo "$probe" | grep -v '^$' | tail -n 1))"
    rm -rf "$WINEPREFIX"  # half made; a later run probes afresh
  fi
fi
if [ "$way" = 32 ]; then
  echo "Windows tests: the 32-bit builds under 32-bit Wine ($why)"
  sh scripts/build-windows.sh >/dev/null
  dirs="build/windows-unit build/windows"
  export WINE=wine
else
  echo "Windows tests: the 64-bit builds under 64-bit Wine ($why); the 32-bit kivex.exe is checked, not run"
  sh scripts/build-windows.sh --64 >/dev/null
  dirs="build/windows64-unit build/windows64"
  export WINEPREFIX="$PWD/build/wineprefix64" WINEARCH=win64 WINE=/usr/lib/wine/wine64
  export WINELOADER="$WINE"
  [ -d "$WINEPREFIX" ] || "$WINE" wineboot -i >/dev/null 2>&1 || true
fi
for dir in $dirs; do
  echo "== $dir under Wine =="
  (cd "$dir" && ctest --output-on-failure --no-tests=error)
done
