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
source "$root/bench/avi_bench_lib.sh"
file=$(zero_tail_avi "$size_gib")


source "$root/bench/page_cache.sh"
cache_as_read "$file"
read -r t_cat _ < <(best sh -c "cat '$file' > /dev/null")
read -r t_check rss_check < <(best "$build/clipwright-cli" check "$file")
verdict=$("$build/clipwright-cli" check "$file" 2>/dev/null | sed -n 3p | sed 's/^ *//' || true)
printf 'file %s: %s bytes, the first 128 MiB of a generated AVI\n' "$file" "$(stat -c %s "$file")"
printf 'verdict: %s\n' "$verdict"
printf 'summary: check %ss, cat %ss, check %sx cat, peak RSS %d KiB\n' \
  "$t_check" "$t_cat" "$(ratio "$t_check" "$t_cat")" "$rss_check"
