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
source "$root/bench/avi_bench_lib.sh"
((${#files[@]} > 0)) || files=("$(zero_tail_avi 64)")

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
