#!/bin/sh
# Builds the release, kivex.exe and the benchmark tools, then measures Kivex
# against dd, cat and the bare compface library, and kivex.exe under Wine
# against the native build and a bare block copy under Wine (inputs in
# bench/scratch, never committed); last, the soak test runs two minutes.
#   sh scripts/bench.sh [--runs N] [--plain-mib N] [--inplace-mib N] [--only hostile|inplace]
# --only measures those rows alone (no Windows build, no soak).
set -eu
cd "$(dirname "$0")/.."
sh scripts/install-deps.sh all
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DKIVEX_SANITIZE=OFF -DKIVEX_TESTS=ON >/dev/null
cmake --build build/release -j "$(nproc 2>/dev/null || echo 2)" --target kivex gen_buffers uncompface_loop >/dev/null
case " $* " in
  *" --only "*)
    exec python3 bench/bench.py --kivex build/release/kivex --tools build/release/bench "$@" ;;
esac
sh scripts/build-windows.sh --exe-only >/dev/null
WINEPREFIX="$PWD/build/wineprefix" WINEARCH=win32 \
  python3 bench/bench.py --kivex build/release/kivex --tools build/release/bench --exe build/windows/kivex.exe "$@"
python3 tests/e2e/soak_test.py --kivex build/release/kivex --seconds 120
