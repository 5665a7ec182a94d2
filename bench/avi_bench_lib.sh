# Shared by the AVI benchmarks, sourced after they set build and data.

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

# Prints the path of a recording whose tail was never written: the first 128 MiB of a
# generated AVI (cut inside its movie data) padded with zeros to SIZE_GIB, a sparse tail as
# a card's unwritten sectors read back. Made once into $data.
zero_tail_avi() {
  local size_gib=$1 source_avi=$data/bench-256MiB.avi file=$data/avi-zero-tail-${1}GiB.avi
  [[ -f $source_avi ]] || "$build/bench/make_bench_avi" "$source_avi" 256 >/dev/null
  if [[ ! -f $file ]]; then
    head -c $((128 * 1048576)) "$source_avi" >"$file.tmp"
    truncate -s "${size_gib}G" "$file.tmp"
    mv "$file.tmp" "$file"
  fi
  echo "$file"
}
