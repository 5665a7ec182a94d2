#!/usr/bin/env bash
# Builds the libFuzzer targets with clang under ASan/UBSan and runs each for a while
# (default 60 s), starting from the seed corpus the test suite writes into build/.
#   scripts/run-fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCLIPWRIGHT_FUZZ=ON -DCLIPWRIGHT_TESTS=OFF -DCLIPWRIGHT_BENCH=OFF
cmake --build build-fuzz --target avi_fuzz -j "$(nproc)"
seeds=${CLIPWRIGHT_SEEDS:-build/tests/work/fuzz-seeds/avi}
corpus=build-fuzz/corpus/avi
mkdir -p "$corpus"
[[ -d $seeds ]] && cp -n "$seeds"/* "$corpus"/ 2>/dev/null || true
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  build-fuzz/fuzz/avi_fuzz -max_total_time="$seconds" -max_len=65536 -timeout=10 \
  -print_final_stats=1 "$corpus"
