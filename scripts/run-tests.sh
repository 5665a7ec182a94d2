#!/usr/bin/env bash
# Builds Clipwright twice, normally and with AddressSanitizer + UndefinedBehaviorSanitizer,
# and runs the whole test suite in each build; between them, the fuzz targets for a minute
# each, and the Release build a packager makes (programs only), warnings as errors.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCLIPWRIGHT_WERROR=ON "$@"
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 600
}

run_suite build
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DCLIPWRIGHT_WERROR=ON \
  -DCLIPWRIGHT_TESTS=OFF -DCLIPWRIGHT_BENCH=OFF
cmake --build build-release -j "$jobs"
# The fuzz targets side by side, from the repository's corpus and the inputs the tests
# above wrote.
./scripts/run-fuzz.sh --parallel 60
# The sanitizer suite takes the clips the first suite made instead of encoding them again.
CLIPWRIGHT_TEST_MEDIA=$PWD/build/tests/work/media \
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build-asan -DCLIPWRIGHT_SANITIZE=ON -DCLIPWRIGHT_BENCH=OFF
