#!/bin/sh
# Cross-builds kivex.exe for 32-bit Windows (XP and later) with MinGW-w64,
# compiling the compface library from Debian's source package (never kept in
# the project). build/windows: the shipped kivex.exe; build/windows-unit:
# the unit tests for Windows (GoogleTest needs the posix thread model).
set -eu
cd "$(dirname "$0")/.."
sh scripts/install-deps.sh all
sh scripts/compface-source.sh
JOBS=$(nproc 2>/dev/null || echo 2)
for kind in windows:win32 windows-unit:posix; do
  dir=build/${kind%%:*}
  cmake --no-warn-unused-cli -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DKIVEX_MINGW_THREADS="${kind#*:}" \
    -DCMAKE_BUILD_TYPE=Release -DKIVEX_TESTS=ON -DKIVEX_COMPFACE_SOURCE="$PWD/build/compface-src" >/dev/null
done
cmake --build build/windows -j "$JOBS" >/dev/null
[ "${1:-}" = --exe-only ] || cmake --build build/windows-unit -j "$JOBS" --target kivex_tests >/dev/null
echo "build/windows/kivex.exe"
