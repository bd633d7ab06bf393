#!/bin/sh
# Installs what building, running and testing Kivex needs, from Debian's
# packages. Installs only what is missing; needs root (or sudo) only then.
set -eu

# What each part needs:
#   build:   compiler, make, cmake, the compface library, liblockfile (the
#            dotlock of a buffer rewritten in place)
#   tests:   GoogleTest (its sources too, for the Windows tests), python3
#            (end-to-end runner), the compface tools, ImageMagick (an
#            independent BMP reader), clang with libFuzzer, man (the manual
#            page), GNU time and strace (peak memory and write calls in the
#            benchmark), acl and attr (a buffer's access list and extended
#            attributes kept by an in-place run)
#   package: the Debian package built (build-essential, which
#            dpkg-buildpackage checks for, debhelper) and checked (lintian)
#   windows: the MinGW-w64 cross compilers for 32- and 64-bit Windows (win32
#            threads for kivex.exe, posix for GoogleTest), Wine's 32- and
#            64-bit sides (the 64-bit one tests where the kernel runs no
#            32-bit program), dpkg-dev for the source package of compface
BUILD="g++ make cmake libcompfaceg1-dev liblockfile-dev"
TEST="libgtest-dev googletest python3 compface imagemagick clang libclang-rt-dev man-db time strace acl attr"
PACKAGE="build-essential debhelper dpkg-dev lintian"
WINDOWS="g++-mingw-w64-i686-win32 g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-win32 g++-mingw-w64-x86-64-posix wine wine32:i386 wine64 dpkg-dev"

case "${1:-all}" in
  build) WANT="$BUILD" ;;
  test) WANT="$BUILD $TEST $PACKAGE" ;;
  all) WANT="$BUILD $TEST $PACKAGE $WINDOWS" ;;
  *) echo "usage: $0 [build|test|all]" >&2; exit 2 ;;
esac

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi
update=""

if [ "${1:-all}" = all ]; then
  # Wine's 32-bit side comes from the i386 architecture.
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
    update=1
  fi
  # compface's sources for the Windows build need deb-src entries: the same
  # archives and suites as this machine's own Debian entries (a mirror or
  # proxy configured here serves them too).
  if ! grep -rqs "^Types:.*deb-src\|^deb-src " /etc/apt/sources.list /etc/apt/sources.list.d/; then
    . /etc/os-release
    for f in /etc/apt/sources.list.d/*.sources; do
      [ -f "$f" ] && awk -v suite="$VERSION_CODENAME" 'BEGIN { RS = ""; ORS = "\n\n" }
        /(^|\n)Types:[^\n]*deb/ && $0 ~ "(^|\n)Suites:[^\n]*" suite && !/(^|\n)Enabled: *no/ {
          sub(/(^|\n)Types:[^\n]*/, "\nTypes: deb-src"); sub(/^\n/, ""); print }' "$f"
    done | $SUDO tee /etc/apt/sources.list.d/kivex-src.sources >/dev/null
    cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
      awk -v suite="$VERSION_CODENAME" '$1 == "deb" && $0 ~ " " suite "[^ ]* " { $1 = "deb-src"; print }' |
      $SUDO tee /etc/apt/sources.list.d/kivex-src.list >/dev/null
    echo "Added deb-src entries for $VERSION_CODENAME"
    update=1
  fi
fi

missing=""
for pkg in $WANT; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "ok installed"; then
    missing="$missing $pkg"
  fi
done
[ -z "$missing$update" ] && exit 0

export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
[ -z "$missing" ] && exit 0
echo "Installing:$missing"
# shellcheck disable=SC2086
$SUDO apt-get install -y -qq --no-install-recommends $missing >/dev/null
