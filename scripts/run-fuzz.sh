#!/usr/bin/env bash
# Builds the libFuzzer targets with clang under ASan/UBSan and runs each for a while
# (default 60 s each): the AVI target from the seed corpus the test suite writes into
# build/, then the MP4 target (check and repair round trip) from seeds written here and the
# inputs it once failed on (fuzz/regressions).
#   scripts/run-fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCLIPWRIGHT_WERROR=ON \
  -DCLIPWRIGHT_FUZZ=ON -DCLIPWRIGHT_TESTS=OFF -DCLIPWRIGHT_BENCH=OFF
cmake --build build-fuzz --target avi_fuzz mp4_fuzz -j "$(nproc)"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# run TARGET SEEDS MAX_LEN
run() {
  local corpus=build-fuzz/corpus/$1
  mkdir -p "$corpus"
  [[ -d $2 ]] && cp -n "$2"/* "$corpus"/ 2>/dev/null || true
  "build-fuzz/fuzz/$1_fuzz" -max_total_time="$seconds" -max_len="$3" -timeout=10 \
    -print_final_stats=1 "$corpus"
}

run avi "${CLIPWRIGHT_SEEDS:-build/tests/work/fuzz-seeds/avi}" 65536
python3 scripts/mp4-fuzz-seeds.py build-fuzz/seeds/mp4
cp fuzz/regressions/*.mp4 build-fuzz/seeds/mp4/
run mp4 build-fuzz/seeds/mp4 131072
