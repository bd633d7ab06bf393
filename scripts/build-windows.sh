#!/bin/sh
# Cross-builds kivex.exe for Windows (XP and later) with MinGW-w64,
# compiling the compface library from Debian's source package (never kept in
# the project). build/windows: the shipped 32-bit kivex.exe;
# build/windows-unit: its unit tests (GoogleTest needs the posix thread
# model). With --64 the same for 64-bit Windows, in build/windows64 and
# build/windows64-unit: the tests' way where 32-bit programs cannot run.
# With --exe-only, kivex.exe alone.
set -eu
cd "$(dirname "$0")/.."
ARCH=i686 SUFFIX= UNIT=1
for arg in "$@"; do
  case "$arg" in
    --64) ARCH=x86_64 SUFFIX=64 ;;
    --exe-only) UNIT= ;;
    *) echo "usage: $0 [--64] [--exe-only]" >&2; exit 2 ;;
  esac
done
sh scripts/install-deps.sh all
sh scripts/compface-source.sh
JOBS=$(nproc 2>/dev/null || echo 2)
for kind in windows:win32 windows-unit:posix; do
  dir=build/${kind%%:*}
  dir=build/windows$SUFFIX${dir#build/windows}
  cmake --no-warn-unused-cli -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
    -DKIVEX_MINGW_ARCH=$ARCH -DKIVEX_MINGW_THREADS="${kind#*:}" \
    -DCMAKE_BUILD_TYPE=Release -DKIVEX_TESTS=ON -DKIVEX_COMPFACE_SOURCE="$PWD/build/compface-src" >/dev/null
done
cmake --build build/windows$SUFFIX -j "$JOBS" >/dev/null
[ -z "$UNIT" ] || cmake --build build/windows$SUFFIX-unit -j "$JOBS" --target kivex_tests >/dev/null
echo "build/windows$SUFFIX/kivex.exe"
