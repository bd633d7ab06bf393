#!/bin/sh
# Installs what is missing, builds Kivex and runs it on the bundled sample
# buffer in all three modes, in the scratch folder demo/.
set -eu
cd "$(dirname "$0")/.."
sh scripts/install-deps.sh build
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DKIVEX_SANITIZE=OFF -DKIVEX_TESTS=OFF >/dev/null
cmake --build build/release -j "$(nproc 2>/dev/null || echo 2)" --target kivex >/dev/null
KIVEX=$PWD/build/release/kivex

rm -rf demo
mkdir -p demo/faces demo/tmp
cp tests/data/sample.puf demo/
cd demo
export TMP="$PWD/tmp"

show() { echo; echo "\$ $*"; "$@"; }
show "$KIVEX" -kmit-faces.puf sample.puf
show "$KIVEX" -xfaces sample.puf
show "$KIVEX" -xfaces sample.puf
cp sample.puf inplace.puf
show "$KIVEX" inplace.puf

echo
echo "Ergebnis / result (demo/):"
ls -l sample.puf mit-faces.puf inplace.puf faces
echo
echo "Die Face-Nachrichten in mit-faces.puf / the face messages:"
grep -a -E '^(BET|MID|TYP|FILE|LEN): ' mit-faces.puf | grep -a -A3 '^BET: \[face\]' || true
echo
echo "Ein Face ansehen / look at a face:"
echo "  display demo/faces/KIVO0000.BMP     (ImageMagick), or open it in any image viewer"
if command -v convert >/dev/null 2>&1; then
  echo
  echo "demo/faces/KIVO0000.BMP als Text / as text:"
  convert faces/KIVO0000.BMP txt:- | awk -F'[,:]' 'NR>1 { line[$2] = line[$2] ($NF ~ /white/ ? "." : "#") }
    END { for (y = 0; y < 48; y += 2) print line[y] }'
fi
