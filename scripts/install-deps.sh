#!/bin/sh
# Installs what building, running and testing Kivex needs, from Debian's
# packages. Installs only what is missing; needs root (or sudo) only then.
set -eu

# What each part needs:
#   build:   compiler, make, cmake, the compface library
#   tests:   GoogleTest, python3 (end-to-end runner), the compface tools,
#            ImageMagick (an independent BMP reader), clang with libFuzzer
#   windows: the MinGW-w64 cross compiler, Wine, dpkg-dev for the source
#            package of compface
BUILD="g++ make cmake libcompfaceg1-dev"
TEST="libgtest-dev python3 compface imagemagick clang libclang-rt-dev"
WINDOWS="g++-mingw-w64-x86-64-posix wine64 dpkg-dev"

case "${1:-all}" in
  build) WANT="$BUILD" ;;
  test) WANT="$BUILD $TEST" ;;
  all) WANT="$BUILD $TEST $WINDOWS" ;;
  *) echo "usage: $0 [build|test|all]" >&2; exit 2 ;;
esac

missing=""
for pkg in $WANT; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "ok installed"; then
    missing="$missing $pkg"
  fi
done
[ -z "$missing" ] && exit 0

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi
echo "Installing:$missing"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
# shellcheck disable=SC2086
$SUDO apt-get install -y -qq --no-install-recommends $missing >/dev/null
