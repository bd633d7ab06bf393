#!/bin/sh
# Builds the Debian package from a copy of the tree in build/deb/src, so that
# dpkg-buildpackage leaves build/deb/kivex_*.deb and nothing beside the checkout.
set -eu
cd "$(dirname "$0")/.."
rm -rf build/deb && mkdir -p build/deb/src && tar -c --exclude-vcs --exclude=./build --exclude=./demo --exclude=./bench/scratch . | tar -x -C build/deb/src && (cd build/deb/src && dpkg-buildpackage -b -us -uc)
