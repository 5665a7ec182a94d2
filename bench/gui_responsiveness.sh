#!/usr/bin/env bash
# The window stays responsive while it checks a 1 GiB file: the longest time its event
# loop goes without a pass, against a budget of 50 ms, on a camera MP4 whose "moov" is
# lost and on a generated AVI; and the MP4 check's time in the window against the same
# check without a window, in the same run.
#   bench/gui_responsiveness.sh [SIZE_MIB] [BUILD_DIR]
# The files are made once into BUILD_DIR/bench-data and reused.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/bench/page_cache.sh"
size_mib=${1:-1024}
build=${2:-$root/build}
bench=$build/bench/gui_responsiveness
bare=$build/bench/mp4_check_bench
make_avi=$build/bench/make_bench_avi
for binary in "$bench" "$bare" "$make_avi"; do
  if [[ ! -x $binary ]]; then
    echo "gui_responsiveness: no binary at $binary (build the tree with the window and benchmarks)" >&2
    exit 2
  fi
done
data=$build/bench-data
mkdir -p "$data"
read -r mp4 _ _ < <("$root/bench/make_moovless_mp4.sh" "$size_mib" "$data")
avi=$data/bench-${size_mib}MiB.avi
[[ -f $avi ]] || "$make_avi" "$avi" "$size_mib" >&2
field() { awk -v k="$1" '{ for (i = 1; i < NF; ++i) if ($i == k) print $(i + 1) }' <<<"$2"; }
max() { awk -v a="$1" -v b="$2" 'BEGIN { print (a > b) ? a : b }'; }

# Three checks of FILE in the window; sets worst (ms), worst_at (the progress where that
# gap ended), worst_before (the longest gap that ended before 100 %) and out (last run).
measure() {
  worst=0 worst_at=0 worst_before=0 out=
  cache_as_read "$1" # from the page cache, as the bare check below
  for _ in 1 2 3; do
    out=$(QT_QPA_PLATFORM=offscreen GUI_BENCH_GAPS=1 "$bench" "$1")
    echo "$out" >&2
    local gap
    gap=$(field longest_gap_ms "$out")
    worst_before=$(max "$(field longest_gap_before_100_ms "$out")" "$worst_before")
    if awk -v a="$gap" -v b="$worst" 'BEGIN { exit !(a > b) }'; then
      worst=$gap
      worst_at=$(field at_progress "$out")
    fi
  done
}
verdict() { awk -v g="$1" 'BEGIN { print (g <= 50) ? "within" : "OVER" }'; }

measure "$avi"
avi_line="AVI ${worst} ms ($(verdict "$worst") 50 ms)"
measure "$mp4"
t_window=$(field check_seconds "$out")
t_bare=$(field seconds "$("$bare" "$mp4")")
echo "gui_responsiveness: ${size_mib} MiB, longest event-loop gap over 3 checks: $avi_line;" \
  "moov-less MP4 ${worst} ms ($(verdict "$worst") 50 ms) ending at ${worst_at} %," \
  "before 100 % at most ${worst_before} ms; MP4 check in the window ${t_window} s vs" \
  "without ${t_bare} s ($(awk -v a="$t_window" -v b="$t_bare" 'BEGIN { printf "%.2f", a / b }')x)"
