#!/bin/sh
# Installs what is missing, builds Kivex twice (release, and with the
# address and undefined-behaviour sanitizers) and runs every test on both.
set -eu
cd "$(dirname "$0")/.."
sh scripts/install-deps.sh all

JOBS=$(nproc 2>/dev/null || echo 2)
run_suite() {  # name, cmake options...
  name=$1
  shift
  echo "== $name build =="
  cmake -S . -B "build/$name" "$@" >/dev/null
  cmake --build "build/$name" -j "$JOBS"
  (cd "build/$name" && ctest --output-on-failure -j "$JOBS")
}

run_suite release -DCMAKE_BUILD_TYPE=Release
run_suite sanitize -DCMAKE_BUILD_TYPE=Debug -DKIVEX_SANITIZE=ON

echo "== fuzz smoke (seeded, 30 s per target) =="
sh scripts/fuzz.sh 30

echo "== Windows build (MinGW-w64), end-to-end under Wine =="
sh scripts/test-windows.sh
