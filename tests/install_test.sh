#!/bin/sh
# cmake --install puts the program and its manual page where users look.
#   install_test.sh BUILD_DIR
set -eu
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$1" --prefix "$prefix" >/dev/null
"$prefix/bin/kivex" | grep -q "^usage:"
page=$(MANWIDTH=80 man -l "$prefix/share/man/man1/kivex.1" 2>/dev/null)
for heading in UEBERSICHT EXIT-STATUS DATEIEN HINWEISE; do
  echo "$page" | grep -q "^$heading" || { echo "kivex.1 lacks $heading" >&2; exit 1; }
done
echo "$page" | grep -q -- ".journal" && echo "install: 1 passed, 0 failed"
