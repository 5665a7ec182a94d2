#!/usr/bin/env bash
# How soon the MP4 check stops after a cancel: runs "clipwright-cli check" on a file whose
# check takes seconds (dense CAVLC video by default, or a camera file with a zero tail),
# sends SIGINT after DELAY seconds and times until the process has exited; three runs, the
# slowest counts. A check that ends before the signal is reported, not timed.
#   bench/mp4_cancel_bench.sh [--camera] [--zero-tail TOTAL_MIB] [--delay SECONDS] [SIZE_MIB] [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
content=cavlc
source "$root/bench/moovless_options.sh"
set -- "${rest[@]}"
size_mib=${1:-1024}
build=${2:-$root/build}
cli=$build/clipwright-cli
if [[ ! -x $cli ]]; then
  echo "mp4_cancel_bench: no clipwright-cli in $build (build the tree first)" >&2
  exit 2
fi
data=$build/bench-data
read -r file _ _ < <("$root/bench/make_moovless_mp4.sh" "$size_mib" "$data" "$content" "$total_mib" "$cut" "$noise")
source "$root/bench/page_cache.sh"
cache_as_read "$file"

now() { date +%s%N; }
worst=0 codes=
for _ in 1 2 3; do
  "$cli" check "$file" >/dev/null 2>&1 &
  pid=$!
  sleep "$delay"
  if ! kill -INT "$pid" 2>/dev/null; then
    wait "$pid" || true
    echo "mp4_cancel_bench: the check ended within ${delay}s; nothing to cancel" >&2
    exit 1
  fi
  sent=$(now)
  rc=0
  wait "$pid" || rc=$?
  ms=$((($(now) - sent) / 1000000))
  ((ms > worst)) && worst=$ms
  codes="$codes $rc"
done
printf 'file %s\n' "$file"
printf 'summary: cancel after %ss, exit within %s ms at worst (limit 100 ms), exit codes%s\n' \
  "$delay" "$worst" "$codes"
