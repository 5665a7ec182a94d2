#!/usr/bin/env bash
# Builds the libFuzzer targets with clang under ASan/UBSan and runs each for a set time
# (default one hour each; CI runs 60 s):
#   avi     the AVI check, repair and check of the copy;
#   mp4     the MP4 check and the repair round trip;
#   stream  the stream layer against a model, with read sizes from the input.
# Each starts from the corpus kept in the repository (fuzz/corpus/TARGET), the inputs that
# once found a fault (fuzz/regressions) and, for AVI, the inputs the test suite wrote into
# build/. What a run adds stays in build-fuzz/corpus/TARGET; an input that fails is saved in
# build-fuzz/artifacts/TARGET/ and ends the run with a failure. At the end each target's
# runs, coverage, corpus and peak memory are printed.
#   scripts/run-fuzz.sh [--parallel] [SECONDS] [TARGET...]
# --parallel runs the targets at the same time, one process each.
set -euo pipefail
cd "$(dirname "$0")/.."
parallel=0
if [[ ${1:-} == --parallel ]]; then
  parallel=1
  shift
fi
seconds=${1:-3600}
shift || true
targets=("$@")
((${#targets[@]})) || targets=(avi mp4 stream)

CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCLIPWRIGHT_WERROR=ON \
  -DCLIPWRIGHT_FUZZ=ON -DCLIPWRIGHT_TESTS=OFF -DCLIPWRIGHT_BENCH=OFF
cmake --build build-fuzz --target "${targets[@]/%/_fuzz}" -j "$(nproc)"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# The largest input each target is given.
declare -A max_len=([avi]=65536 [mp4]=131072 [stream]=4096)

seed() {
  local target=$1 corpus=build-fuzz/corpus/$1
  mkdir -p "$corpus" "build-fuzz/artifacts/$target" build-fuzz/logs
  cp -n fuzz/corpus/"$target"/* "$corpus"/ 2>/dev/null || true
  case $target in
  avi) cp -n "${CLIPWRIGHT_SEEDS:-build/tests/work/fuzz-seeds/avi}"/* "$corpus"/ 2>/dev/null || true ;;
  mp4) cp -n fuzz/regressions/*.mp4 "$corpus"/ ;;
  esac
  [[ -d fuzz/regressions/$target ]] && cp -n fuzz/regressions/"$target"/* "$corpus"/ 2>/dev/null
  return 0
}

run() {
  local target=$1
  "build-fuzz/fuzz/${target}_fuzz" -max_total_time="$seconds" -max_len="${max_len[$target]}" \
    -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="build-fuzz/artifacts/$target/" "build-fuzz/corpus/$target" \
    >"build-fuzz/logs/$target.log" 2>&1
}

summary() {
  local target=$1 log=build-fuzz/logs/$1.log
  local last runs
  last=$(grep -E '^#[0-9]+' "$log" | tail -1 || true)
  runs=$(grep -oE 'stat::number_of_executed_units: *[0-9]+' "$log" | grep -oE '[0-9]+$' || echo "?")
  printf '%-6s runs %s | %s\n' "$target" "$runs" "$(sed -E 's/^#[0-9]+ +[A-Z]+ +//' <<<"$last")"
}

for target in "${targets[@]}"; do seed "$target"; done
declare -A status
if ((parallel)); then
  declare -A pids
  for target in "${targets[@]}"; do
    run "$target" &
    pids[$target]=$!
  done
  for target in "${targets[@]}"; do
    status[$target]=0
    wait "${pids[$target]}" || status[$target]=$?
  done
else
  for target in "${targets[@]}"; do
    status[$target]=0
    run "$target" || status[$target]=$?
  done
fi

failed=0
for target in "${targets[@]}"; do
  summary "$target"
  if ((status[$target] != 0)); then
    failed=1
    echo "$target: the fuzzer failed (status ${status[$target]}); the end of its log:" >&2
    tail -40 "build-fuzz/logs/$target.log" >&2
  fi
done
exit $failed
