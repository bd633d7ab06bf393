#!/bin/sh
# Builds kivex.exe and the Windows unit tests, checks that kivex.exe runs on
# every Windows from XP on, and runs both suites under Wine's 32-bit side.
set -eu
cd "$(dirname "$0")/.."
sh scripts/build-windows.sh >/dev/null
EXE=build/windows/kivex.exe
OBJDUMP=i686-w64-mingw32-objdump
# A 32-bit console program for Windows NT 5.01 (XP) or older.
$OBJDUMP -f "$EXE" | grep -q "file format pei-i386" || { echo "$EXE is not PE32 (i686)" >&2; exit 1; }
sub=$($OBJDUMP -p "$EXE" | awk '/^MajorSubsystemVersion/ { a = $2 } /^MinorSubsystemVersion/ { b = $2 } END { print a * 100 + b }')
[ "$sub" -le 501 ] || { echo "$EXE needs subsystem version $sub" >&2; exit 1; }
# Only DLLs that every Windows ships, and none of the functions that came
# after XP which MinGW's runtime libraries are known to pull in.
imports=$($OBJDUMP -p "$EXE" | awk '/DLL Name:/ { dll = tolower($3); print dll } /^\t[0-9a-f]+ +[0-9]+ +[A-Za-z_]/ { print $3 }')
for dll in $(echo "$imports" | grep '\.dll$'); do
  case "$dll" in
    kernel32.dll|msvcrt.dll|advapi32.dll|user32.dll) ;;
    *) echo "$EXE needs $dll" >&2; exit 1 ;;
  esac
done
newer=$(echo "$imports" | grep -x -E 'GetTickCount64|(Initialize|Acquire|Release|TryAcquire)SRWLock.*|.*ConditionVariable.*|InitOnce.*|Fls(Alloc|Free|GetValue|SetValue)|GetFinalPathNameByHandle[AW]|CreateSymbolicLink[AW]|(Get|Set)FileInformationByHandleEx|GetSystemTimePreciseAsFileTime|InitializeCriticalSectionEx|Create(Event|Mutex|Semaphore)Ex[AW]|.*LocaleName.*|.*Ex2' || true)
[ -z "$newer" ] || { echo "$EXE imports functions newer than XP: $newer" >&2; exit 1; }
echo "kivex.exe: PE32, subsystem $sub, needs only $(echo "$imports" | grep '\.dll$' | tr '\n' ' ')"

export WINEPREFIX="$PWD/build/wineprefix" WINEARCH=win32 WINEDEBUG=-all
[ -d "$WINEPREFIX" ] || wine wineboot -i >/dev/null 2>&1 || true
# Wine takes TMP and TEMP from its registry: the prefix's own, not a test's.
for var in TMP TEMP; do wine reg delete 'HKCU\Environment' /v $var /f >/dev/null 2>&1 || true; done
for dir in build/windows-unit build/windows; do
  echo "== $dir under Wine =="
  (cd "$dir" && ctest --output-on-failure --no-tests=error)
done
