#!/bin/sh
# Fuzzes the message reader/writer and the face decoder with libFuzzer under
# ASan and UBSan.   sh scripts/fuzz.sh [seconds per target, default 600]
# A crash leaves its input in tests/fuzz/crashes_<target>/; keep it there
# (every run, the test command's smoke run too, replays it first) and fix
# the fault.
set -eu
cd "$(dirname "$0")/.."
SECONDS_EACH=${1:-600}
sh scripts/install-deps.sh all
# compface itself is compiled here with the sanitizers and coverage, so that
# the fuzzer sees into the decoder too.
sh scripts/compface-source.sh
cmake -S . -B build/fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=Debug -DKIVEX_FUZZ=ON -DKIVEX_SANITIZE=ON -DKIVEX_TESTS=OFF \
  -DKIVEX_COMPFACE_SOURCE="$PWD/build/compface-src" >/dev/null
cmake --build build/fuzz -j "$(nproc 2>/dev/null || echo 2)" --target fuzz_reader fuzz_face >/dev/null
for target in reader face; do
  work=build/fuzz/corpus_$target
  mkdir -p "$work"
  echo "== fuzz_$target, ${SECONDS_EACH}s =="
  # The seeds and every input that once crashed run first, on every call.
  if ! build/fuzz/tests/fuzz/fuzz_$target "$work" tests/fuzz/seeds_$target tests/fuzz/crashes_$target -seed=1 \
      -max_total_time="$SECONDS_EACH" -max_len=65536 -rss_limit_mb=2048 -timeout=20 \
      -close_fd_mask=1 -print_final_stats=1 \
      -artifact_prefix=tests/fuzz/crashes_$target/ 2>build/fuzz/fuzz_$target.log; then
    tail -n 60 build/fuzz/fuzz_$target.log
    echo "fuzz_$target found a crash; its input is in tests/fuzz/crashes_$target/" >&2
    exit 1
  fi
  grep -E "stat::number_of_executed_units|stat::peak_rss_mb" build/fuzz/fuzz_$target.log || true
done
