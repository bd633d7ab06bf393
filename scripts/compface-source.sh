#!/bin/sh
# Unpacks compface's sources from Debian's source package into
# build/compface-src (once): the Windows build and the fuzz build compile
# the library themselves.
set -eu
cd "$(dirname "$0")/.."
SRC=build/compface-src
[ -f "$SRC/uncompface.c" ] && exit 0
rm -rf build/compface-unpack "$SRC"
mkdir -p build/compface-unpack
(cd build/compface-unpack && { apt-get source -qq libcompface >/dev/null 2>&1 ||
   { apt-get update -qq && apt-get source -qq libcompface >/dev/null; }; })
mv build/compface-unpack/libcompface-*/ "$SRC"
rm -rf build/compface-unpack
