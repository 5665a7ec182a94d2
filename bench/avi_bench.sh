#!/usr/bin/env bash
# AVI check and repair on a generated file of about 1 GiB, against cat, cp and an ffmpeg
# remux of the same file in the same run; peak memory of the check and the repair.
#   bench/avi_bench.sh [SIZE_MIB] [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
size_mib=${1:-1024}
build=${2:-$root/build}
data=$build/bench-data
mkdir -p "$data/out"
file=$data/bench-${size_mib}MiB.avi
[[ -f $file ]] || "$build/bench/make_bench_avi" "$file" "$size_mib"
chunks=$("$build/clipwright-cli" check -l "$file" >/dev/null; grep -m1 '^Chunk count:' "$data/bench-${size_mib}MiB.log" | awk '{print $3}' | tr -d '\r')
rm -f "$data/bench-${size_mib}MiB.log"

source "$root/bench/avi_bench_lib.sh"

source "$root/bench/page_cache.sh"
cache_as_read "$file"
read -r t_cat _ < <(best sh -c "cat '$file' > /dev/null")
read -r t_check rss_check < <(best "$build/clipwright-cli" check "$file")
# Repairs need damage: cut the file's index off so the check finds it and the repair runs.
damaged=$data/damaged-${size_mib}MiB.avi
[[ -f $damaged ]] || head -c $(( $(stat -c %s "$file") - 16 * 1000 )) "$file" > "$damaged"
read -r t_cp _ < <(best cp "$damaged" "$data/out/cp.avi")
# The repair flushes its copy to the disk before it names it; cp does not. The same flush
# after cp shows what that durability costs here. --overwrite keeps one copy on the disk.
read -r t_cp_sync _ < <(best sh -c 'cp "$1" "$2" && sync "$2"' sh "$damaged" "$data/out/cp.avi")
rm -f "$data/out/cp.avi"
read -r t_repair rss_repair < <(best "$build/clipwright-cli" repair --overwrite -o "$data/out" "$damaged")
read -r t_ffmpeg _ < <(best ffmpeg -nostdin -v error -y -i "$damaged" -c copy "$data/out/remux.avi")
budget_kib=$(( 100 * 1024 + chunks * 64 / 1024 ))

printf 'file %s: %s chunks\n' "$file" "$chunks"
printf 'cat %ss | check %ss (%sx cat) | cp %ss | repair %ss (%sx cp) | ffmpeg remux %ss (repair %sx remux)\n' \
  "$t_cat" "$t_check" "$(ratio "$t_check" "$t_cat")" "$t_cp" "$t_repair" "$(ratio "$t_repair" "$t_cp")" \
  "$t_ffmpeg" "$(ratio "$t_repair" "$t_ffmpeg")"
printf 'summary: check %sx cat, repair %sx cp, repair %sx cp+fsync (%ss), repair %sx ffmpeg remux, peak RSS check %d KiB, repair %d KiB (budget %d KiB)\n' \
  "$(ratio "$t_check" "$t_cat")" "$(ratio "$t_repair" "$t_cp")" "$(ratio "$t_repair" "$t_cp_sync")" \
  "$t_cp_sync" "$(ratio "$t_repair" "$t_ffmpeg")" "$rss_check" "$rss_repair" "$budget_kib"
rm -f "$data/out/"*
