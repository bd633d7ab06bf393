#!/bin/sh
# Installs what building, running and testing Kivex needs, from Debian's
# packages. Installs only what is missing; needs root (or sudo) only then.
set -eu

# What each part needs:
#   build:   compiler, make, cmake, the compface library
#   tests:   GoogleTest, python3 (end-to-end runner), the compface tools,
#            ImageMagick (an independent BMP reader), clang with libFuzzer,
#            GNU time (peak memory in the benchmark)
#   windows: the MinGW-w64 cross compiler, Wine, dpkg-dev for the source
#            package of compface
BUILD="g++ make cmake libcompfaceg1-dev"
TEST="libgtest-dev python3 compface imagemagick clang libclang-rt-dev time"
WINDOWS="g++-mingw-w64-x86-64-posix wine64 dpkg-dev"

case "${1:-all}" in
  build) WANT="$BUILD" ;;
  test) WANT="$BUILD $TEST" ;;
  all) WANT="$BUILD $TEST $WINDOWS" ;;
  *) echo "usage: $0 [build|test|all]" >&2; exit 2 ;;
esac

# The Windows build compiles compface from Debian's source package, which
# needs a deb-src entry for the suite this machine runs.
need_sources() {
  [ "${1:-all}" = all ] || return 1
  grep -rqs "^Types:.*deb-src\|^deb-src " /etc/apt/sources.list /etc/apt/sources.list.d/ && return 1
  return 0
}

missing=""
for pkg in $WANT; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "ok installed"; then
    missing="$missing $pkg"
  fi
done
SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi
if need_sources "${1:-all}"; then
  . /etc/os-release
  echo "Adding deb-src entry for $VERSION_CODENAME"
  printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: %s\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
    "$VERSION_CODENAME" | $SUDO tee /etc/apt/sources.list.d/kivex-src.sources >/dev/null
  missing="$missing dpkg-dev"  # forces the update below
fi
[ -z "$missing" ] && exit 0

echo "Installing:$missing"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
# shellcheck disable=SC2086
$SUDO apt-get install -y -qq --no-install-recommends $missing >/dev/null
