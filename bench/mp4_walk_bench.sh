#!/usr/bin/env bash
# The chunk walk of a repair with a reference clip, against the check's scan of the same
# media data in the same run: the camera-like moov-less file of make_moovless_mp4.sh,
# walked with a reference of the same camera settings (its 20-second clip, interleaved in
# the same one-second chunks). Prints each one's milliseconds per MiB of media data, the
# best of three runs, both from the page cache. --noise overwrites the middle quarter of
# the file with random bytes, which the walk resynchronises through.
#   bench/mp4_walk_bench.sh [--noise] [SIZE_MIB] [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
content=camera
source "$root/bench/moovless_options.sh"
set -- "${rest[@]}"
size_mib=${1:-1024}
build=${2:-$root/build}
bench=$build/bench/mp4_check_bench
if [[ ! -x $bench ]]; then
  echo "mp4_walk_bench: no binary at $bench (build the tree with benchmarks first)" >&2
  exit 2
fi
data=$build/bench-data
read -r file media_bytes clip < <("$root/bench/make_moovless_mp4.sh" "$size_mib" "$data" camera 0 no "$noise")
reference=$data/mp4-clip-20s-chunks.mp4
[[ -s $reference ]] || ffmpeg -v error -y -i "$clip" -c copy -chunk_duration 1000000 "$reference"

field() { awk -v k="$1" '{ for (i = 1; i < NF; ++i) if ($i == k) print $(i + 1) }' <<<"$2"; }
source "$root/bench/page_cache.sh"
cache_as_read "$file"
best_walk= best_check= out=
for _ in 1 2 3; do
  out=$("$bench" --walk "$reference" "$file")
  w=$(field walk_seconds "$out")
  c=$(field seconds "$out")
  [[ -z $best_walk ]] || awk -v a="$w" -v b="$best_walk" 'BEGIN { exit !(a < b) }' && best_walk=$w
  [[ -z $best_check ]] || awk -v a="$c" -v b="$best_check" 'BEGIN { exit !(a < b) }' && best_check=$c
done
printf 'walk: %s\n' "$(grep walk_ <<<"$out")"
awk -v w="$best_walk" -v c="$best_check" -v m="$media_bytes" 'BEGIN {
  mib = m / 1048576
  printf "summary: walk %.3f ms/MiB, check (scan and slice detection) %.3f ms/MiB, walk %.2fx check\n",
         1000 * w / mib, 1000 * c / mib, w / c }'
