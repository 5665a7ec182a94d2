#!/usr/bin/env bash
# Buffered-stream throughput against `cat` on the same 1 GiB file in the same run.
#   bench/stream_bench.sh [DATA_DIR] [STREAM_BENCH_BINARY]
# DATA_DIR defaults to build/bench-data, the binary to build/bench/stream_bench (both
# relative to the repository). The data file is made once from /dev/urandom (incompressible,
# so no file system can shortcut it) and reused while its size is right.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
data_dir=${1:-$root/build/bench-data}
bench=${2:-$root/build/bench/stream_bench}
file=$data_dir/stream-1GiB.bin
size=$((1024 * 1024 * 1024))

if [[ ! -x $bench ]]; then
  echo "stream_bench: no binary at $bench (build the tree first)" >&2
  exit 2
fi
mkdir -p "$data_dir"
if [[ ! -f $file || $(stat -c %s "$file") -ne $size ]]; then
  echo "making $file"
  head -c "$size" /dev/urandom >"$file.tmp"
  mv "$file.tmp" "$file"
fi

# Every contender reads from memory, not from the disk.
source "$root/bench/page_cache.sh"
cache_as_read "$file"

best=
for _ in 1 2 3; do
  start=$EPOCHREALTIME
  cat "$file" >/dev/null
  end=$EPOCHREALTIME
  took=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.6f", b - a }')
  if [[ -z $best ]] || awk -v t="$took" -v b="$best" 'BEGIN { exit !(t < b) }'; then best=$took; fi
done

exec "$bench" "$file" "$best"
