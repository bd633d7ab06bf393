#!/bin/sh
# Builds the release and the benchmark tools, then measures Kivex against
# cat and the bare compface library (inputs in bench/scratch, never committed).
#   sh scripts/bench.sh [--runs N] [--plain-mib N]
set -eu
cd "$(dirname "$0")/.."
sh scripts/install-deps.sh test
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release -j "$(nproc 2>/dev/null || echo 2)" --target kivex gen_buffers uncompface_loop >/dev/null
python3 bench/bench.py --kivex build/release/kivex --tools build/release/bench "$@"
