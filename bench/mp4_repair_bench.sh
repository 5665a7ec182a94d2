#!/usr/bin/env bash
# The whole MP4 repair (quick analysis, full check, reference, rebuild and write) of a
# camera-like file whose "moov" is lost, about 1 GiB of H.264 and AAC media data, as the
# command line runs it, against cp of the same file in the same run. Both read from the
# page cache and write into the same folder. Holds the repair's peak memory against the
# budget of 100 MiB plus 64 MiB per GiB of media data. --noise overwrites the middle
# quarter of the file with random bytes first.
#   bench/mp4_repair_bench.sh [--noise] [SIZE_MIB] [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
content=camera
source "$root/bench/moovless_options.sh"
set -- "${rest[@]}"
size_mib=${1:-1024}
build=${2:-$root/build}
cli=$build/clipwright-cli
if [[ ! -x $cli ]]; then
  echo "mp4_repair_bench: no clipwright-cli in $build (build the tree first)" >&2
  exit 2
fi
data=$build/bench-data
out=$data/out-mp4
mkdir -p "$out"
read -r file media_bytes reference < <("$root/bench/make_moovless_mp4.sh" "$size_mib" "$data" camera 0 no "$noise")

# "seconds peak_rss_kib" of the fastest of three runs of a command (the peak: the largest).
best() {
  local t rss bt= brss=0
  for _ in 1 2 3; do
    rm -f "$out"/*
    /usr/bin/time -o "$data/time.txt" -f '%e %M' "$@" >/dev/null 2>&1 || true
    read -r t rss < <(tail -1 "$data/time.txt")
    if [[ -z $bt ]] || awk -v a="$t" -v b="$bt" 'BEGIN { exit !(a < b) }'; then bt=$t; fi
    ((rss > brss)) && brss=$rss
  done
  echo "$bt $brss"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "inf" }'; }

source "$root/bench/page_cache.sh"
cache_as_read "$file" "$reference"
read -r t_cp _ < <(best cp "$file" "$out/cp.mp4")
# The repair flushes its copy to the disk before it gives it its name; cp does not. The
# same flush after cp shows what that durability costs on this disk.
read -r t_cp_sync _ < <(best sh -c 'cp "$1" "$2" && sync "$2"' sh "$file" "$out/cp.mp4")
read -r t_repair rss_kib < <(best "$cli" repair -r "$reference" -o "$out" "$file")
# The check alone, as the repair runs it first: what the repair spends before it writes.
read -r t_check _ < <(best "$cli" check "$file")
"$cli" repair -r "$reference" -o "$out" "$file" >/dev/null
copy=$(ls "$out"/*"(copy)"*)
frames=$(ffprobe -v error -select_streams v:0 -count_packets -show_entries stream=nb_read_packets \
  -of csv=p=0 "$copy")
audio=$(ffprobe -v error -select_streams a:0 -show_entries stream=duration -of csv=p=0 "$copy")

rss_mib=$(awk -v k="$rss_kib" 'BEGIN { printf "%.1f", k / 1024 }')
budget_mib=$(awk -v m="$media_bytes" 'BEGIN { printf "%.1f", 100 + 64 * m / 1073741824 }')
printf 'file %s: %s bytes, %s of media data; copy: %s video frames, %ss of sound\n' \
  "$file" "$(stat -c %s "$file")" "$media_bytes" "$frames" "$audio"
printf 'summary: repair %ss, cp %ss, repair %sx cp (of which the check alone %ss, %sx cp); cp+fsync %ss, repair %sx cp+fsync; peak RSS %s MiB (budget %s MiB)\n' \
  "$t_repair" "$t_cp" "$(ratio "$t_repair" "$t_cp")" "$t_check" "$(ratio "$t_check" "$t_cp")" \
  "$t_cp_sync" "$(ratio "$t_repair" "$t_cp_sync")" "$rss_mib" "$budget_mib"
