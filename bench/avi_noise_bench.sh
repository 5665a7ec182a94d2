#!/usr/bin/env bash
# The AVI check and repair on a recording with a long stretch of foreign bytes: a generated
# AVI of SIZE_MIB whose middle half is overwritten with random bytes, as sectors that
# another file took over read back. The check finds the frames after it by scanning every
# offset of it. Times both against cat and cp of the same file in the same run, from the
# page cache, and prints peak memory.
#   bench/avi_noise_bench.sh [SIZE_MIB] [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
size_mib=${1:-1024}
build=${2:-$root/build}
data=$build/bench-data
mkdir -p "$data/out"
source "$root/bench/avi_bench_lib.sh"
file=$data/avi-noise-${size_mib}MiB.avi
if [[ ! -f $file ]]; then
  "$build/bench/make_bench_avi" "$file.tmp" "$size_mib" >/dev/null
  dd if=/dev/urandom of="$file.tmp" bs=1M seek=$((size_mib / 4)) count=$((size_mib / 2)) \
    conv=notrunc status=none
  mv "$file.tmp" "$file"
fi

source "$root/bench/page_cache.sh"
cache_as_read "$file"
read -r t_cat _ < <(best sh -c "cat '$file' > /dev/null")
read -r t_check rss_check < <(best "$build/clipwright-cli" check "$file")
read -r t_cp _ < <(best cp "$file" "$data/out/cp.avi")
rm -f "$data/out/cp.avi"
read -r t_repair rss_repair < <(best "$build/clipwright-cli" repair --overwrite -o "$data/out" "$file")
verdict=$("$build/clipwright-cli" check "$file" 2>/dev/null | sed -n 3p | sed 's/^ *//' || true)
rm -f "$data/out/avi-noise-${size_mib}MiB (copy).avi"
printf 'file %s: %s bytes, random bytes over its middle half\n' "$file" "$(stat -c %s "$file")"
printf 'verdict: %s\n' "$verdict"
printf 'summary: check %ss, cat %ss, check %sx cat, peak RSS %d KiB; repair %ss, cp %ss, repair %sx cp, peak RSS %d KiB\n' \
  "$t_check" "$t_cat" "$(ratio "$t_check" "$t_cat")" "$rss_check" \
  "$t_repair" "$t_cp" "$(ratio "$t_repair" "$t_cp")" "$rss_repair"
