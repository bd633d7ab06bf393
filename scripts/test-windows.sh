#!/bin/sh
# Builds the shipped 32-bit kivex.exe, checks that it runs on every Windows
# from XP on, and runs the Windows unit tests and the end-to-end suite under
# Wine: the 32-bit builds under Wine's 32-bit side where it runs here;
# where it does not (a kernel without 32-bit emulation), or with
# KIVEX_WIN64=1, the same sources built for 64-bit Windows under 64-bit
# Wine, and the 32-bit kivex.exe checked without running it.
set -eu
cd "$(dirname "$0")/.."
sh scripts/build-windows.sh --exe-only >/dev/null
EXE=build/windows/kivex.exe
OBJDUMP=i686-w64-mingw32-objdump
# A 32-bit console program for Windows NT 5.01 (XP) or older.
$OBJDUMP -f "$EXE" | grep -q "file format pei-i386" || { echo "$EXE is not PE32 (i686)" >&2; exit 1; }
sub=$($OBJDUMP -p "$EXE" | awk '/^MajorSubsystemVersion/ { a = $2 } /^MinorSubsystemVersion/ { b = $2 } END { print a * 100 + b }')
[ "$sub" -le 501 ] || { echo "$EXE needs subsystem version $sub" >&2; exit 1; }
# Only DLLs that every Windows ships, and none of the functions that came
# after XP which MinGW's runtime libraries are known to pull in.
imports=$($OBJDUMP -p "$EXE" | awk '/DLL Name:/ { dll = tolower($3); print dll } /^\t[0-9a-f]+[ \t]+[0-9]+ +[A-Za-z_]/ { print $3 }')
for dll in $(echo "$imports" | grep '\.dll$'); do
  case "$dll" in
    kernel32.dll|msvcrt.dll|advapi32.dll|user32.dll) ;;
    *) echo "$EXE needs $dll" >&2; exit 1 ;;
  esac
done
newer=$(echo "$imports" | grep -x -E 'GetTickCount64|(Initialize|Acquire|Release|TryAcquire)SRWLock.*|.*ConditionVariable.*|InitOnce.*|Fls(Alloc|Free|GetValue|SetValue)|GetFinalPathNameByHandle[AW]|CreateSymbolicLink[AW]|(Get|Set)FileInformationByHandleEx|GetSystemTimePreciseAsFileTime|InitializeCriticalSectionEx|Create(Event|Mutex|Semaphore)Ex[AW]|.*LocaleName.*|.*Ex2' || true)
[ -z "$newer" ] || { echo "$EXE imports functions newer than XP: $newer" >&2; exit 1; }
echo "kivex.exe: PE32, subsystem $sub, needs only $(echo "$imports" | grep '\.dll$' | tr '\n' ' ')"

export WINEDEBUG=-all
# Which side of Wine runs here is found out by running the 32-bit kivex.exe
# itself: its usage text proves the whole 32-bit side (kernel, loader,
# prefix). Debian's `wine` takes the 32-bit loader whenever it is installed,
# so the 64-bit way names its loader.
if [ "${KIVEX_WIN64:-0}" = 1 ]; then
  way=64 why="KIVEX_WIN64=1 asks for it"
else
  export WINEPREFIX="$PWD/build/wineprefix" WINEARCH=win32
  [ -d "$WINEPREFIX" ] || wine wineboot -i >/dev/null 2>&1 || true
  if probe=$(wine "$EXE" 2>&1 </dev/null; true) && echo "$probe" | grep -q "^usage:"; then
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
