#!/usr/bin/env bash
# How soon a cancel takes effect in a long check: runs `clipwright-cli check FILE`, sends
# SIGINT after DELAY seconds (default 1), and prints the time from the signal to the
# process's exit and its exit status. Without FILE arguments it makes an AVI with a 64 GiB
# zero tail (sparse) whose check runs for several seconds.
#   bench/cancel_latency.sh [FILE...]   (BUILD_DIR and DELAY from the environment)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build}
delay=${DELAY:-1}
data=$build/bench-data
mkdir -p "$data"
files=("$@")
if ((${#files[@]} == 0)); then
  source_avi=$data/bench-256MiB.avi
  [[ -f $source_avi ]] || "$build/bench/make_bench_avi" "$source_avi" 256 >/dev/null
  file=$data/avi-zero-tail-64GiB.avi
  if [[ ! -f $file ]]; then
    head -c $((128 * 1048576)) "$source_avi" >"$file.tmp"
    truncate -s 64G "$file.tmp"
    mv "$file.tmp" "$file"
  fi
  files=("$file")
fi

now() { date +%s%N; }
worst=0
for file in "${files[@]}"; do
  "$build/clipwright-cli" check "$file" >/dev/null 2>&1 &
  pid=$!
  sleep "$delay"
  sent=$(now)
  kill -INT "$pid" 2>/dev/null || true
  status=0
  wait "$pid" || status=$?
  ms=$(( ($(now) - sent) / 1000000 ))
  ((ms > worst)) && worst=$ms
  printf '%s: exited %d ms after SIGINT, status %d\n' "$file" "$ms" "$status"
done
printf 'summary: slowest cancel %d ms after the signal\n' "$worst"
