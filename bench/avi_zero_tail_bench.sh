#!/usr/bin/env bash
# The AVI check on a recording whose tail was never written: a camera-like AVI cut inside
# its movie data and padded with zeros to SIZE_GIB (a sparse tail, as a card's unwritten
# sectors read back). Times the check against cat of the same file in the same run, both
# from the page cache, and prints peak memory.
#   bench/avi_zero_tail_bench.sh [SIZE_GIB] [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
size_gib=${1:-5}
build=${2:-$root/build}
data=$build/bench-data
mkdir -p "$data"
source_avi=$data/bench-256MiB.avi
[[ -f $source_avi ]] || "$build/bench/make_bench_avi" "$source_avi" 256
file=$data/avi-zero-tail-${size_gib}GiB.avi
if [[ ! -f $file ]]; then
  head -c $((128 * 1048576)) "$source_avi" >"$file.tmp"
  truncate -s "${size_gib}G" "$file.tmp"
  mv "$file.tmp" "$file"
fi

# "seconds peak_rss_kib" of the fastest of three runs of a command.
best() {
  local out bt= brss=
  for _ in 1 2 3; do
    /usr/bin/time -o "$data/time.txt" -f '%e %M' "$@" >/dev/null 2>&1 || true
    out=$(tail -1 "$data/time.txt")
    if [[ -z $bt ]] || awk -v a="${out% *}" -v b="$bt" 'BEGIN{exit !(a<b)}'; then bt=${out% *}; brss=${out#* }; fi
  done
  echo "$bt $brss"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN{ if (b > 0) printf "%.2f", a/b; else print "inf" }'; }

cat "$file" >/dev/null # page cache
read -r t_cat _ < <(best sh -c "cat '$file' > /dev/null")
read -r t_check rss_check < <(best "$build/clipwright-cli" check "$file")
verdict=$("$build/clipwright-cli" check "$file" 2>/dev/null | sed -n 3p | sed 's/^ *//' || true)
printf 'file %s: %s bytes, first 128 MiB from %s\n' "$file" "$(stat -c %s "$file")" "$source_avi"
printf 'verdict: %s\n' "$verdict"
printf 'summary: check %ss, cat %ss, check %sx cat, peak RSS %d KiB\n' \
  "$t_check" "$t_cat" "$(ratio "$t_check" "$t_cat")" "$rss_check"
