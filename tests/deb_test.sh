#!/bin/sh
# The Debian package builds, lintian finds nothing, and its unpacked program
# writes what the tested build writes (each run stamps its own time and
# process into the MIDs of its face messages); both copies of the manual page render.
#   deb_test.sh BUILD_DIR
set -eu
own=$(cd "$1" && pwd)/kivex
cd "$(dirname "$0")/.."
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
sh scripts/deb.sh >"$scratch/build.log" 2>&1 || { cat "$scratch/build.log" >&2; exit 1; }
deb=$(echo build/deb/kivex_*.deb)
lintian --fail-on error,warning "$deb"
dpkg-deb -x "$deb" "$scratch/pkg"
ls "$scratch/pkg/usr/share/doc/kivex/README.md"* "$scratch/pkg/usr/share/doc/kivex/LIESMICH.TXT"* >/dev/null
run() {  # program, name of its results
  "$1" -k"$scratch/$2.puf" tests/data/sample.puf >"$scratch/$2.txt" 2>&1
  LC_ALL=C sed 's/^MID: [0-9]\{14\}_\([0-9]*\)[0-9]\{16\}@/MID: _\1@/' "$scratch/$2.puf" >>"$scratch/$2.txt"
}
run "$scratch/pkg/usr/bin/kivex" deb
run "$own" own
cmp "$scratch/deb.txt" "$scratch/own.txt"
for page in man1 de/man1; do
  warnings=$(MANWIDTH=80 man --warnings -l "$scratch/pkg/usr/share/man/$page/kivex.1.gz" 2>&1 >/dev/null)
  [ -z "$warnings" ] || { echo "$page/kivex.1: $warnings" >&2; exit 1; }
done
echo "deb: 1 passed, 0 failed"
