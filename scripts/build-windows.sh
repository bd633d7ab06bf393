#!/bin/sh
# Cross-builds kivex.exe for 64-bit Windows with MinGW-w64, compiling the
# compface library from Debian's source package (never kept in the project).
# Result: build/windows/kivex.exe, self-contained.
set -eu
cd "$(dirname "$0")/.."
sh scripts/install-deps.sh all
SRC=build/windows-src
if [ ! -f "$SRC/compface/uncompface.c" ]; then
  rm -rf "$SRC"
  mkdir -p "$SRC"
  (cd "$SRC" && apt-get source -qq libcompface >/dev/null 2>&1 ||
     { apt-get update -qq && apt-get source -qq libcompface >/dev/null; })
  mv "$SRC"/libcompface-*/ "$SRC/compface"
fi
cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
  -DCMAKE_BUILD_TYPE=Release -DKIVEX_TESTS=OFF -DKIVEX_COMPFACE_SOURCE="$PWD/$SRC/compface" >/dev/null
cmake --build build/windows -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
echo "build/windows/kivex.exe"
