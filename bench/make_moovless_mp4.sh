#!/usr/bin/env bash
# Makes (once) a camera-like MP4 whose "moov" is lost: about SIZE_MIB of 720p H.264 at a
# camera's bit rate and AAC, interleaved in chunks of one second, cut where the movie
# header starts, as a camera that lost power leaves it. Also keeps the 20-second clip it
# is looped from, a recording of the same settings that serves as a reference clip.
# Prints "FILE MEDIA_BYTES REFERENCE".
#   bench/make_moovless_mp4.sh SIZE_MIB DATA_DIR [CONTENT [TOTAL_MIB [CUT [NOISE]]]]
# CONTENT "camera" (the default) is noisy footage at 80 Mbit/s; "cavlc" is a clean
# synthetic picture at near-lossless quality, as a screen recorder or a cheap camera writes
# it in CAVLC: zero-rich slice data that makes a candidate every hundred bytes or so.
# TOTAL_MIB extends the file with zeros to that size (a sparse tail, as a memory card
# leaves behind the last cluster the recorder wrote). CUT "yes" cuts the file 1 MiB short
# first, inside its media data, as an interrupted copy leaves it: the media data's size
# then runs past the end of the file, and the check scans the file for boxes as well.
# NOISE "yes" overwrites the middle quarter of the file with random bytes, as sectors that
# another file took over read back.
set -euo pipefail
size_mib=$1
data=$2
content=${3:-camera}
total_mib=${4:-0}
cut=${5:-no}
noise=${6:-no}
mkdir -p "$data"
case $content in
camera)
  file=$data/mp4-moovless-${size_mib}MiB.mp4
  clip=$data/mp4-clip-20s.mp4
  source="testsrc2=s=1280x720:r=30,noise=alls=40:allf=t+u"
  quality=()
  ;;
cavlc)
  file=$data/mp4-moovless-cavlc-${size_mib}MiB.mp4
  clip=$data/mp4-clip-cavlc-20s.mp4
  source="testsrc2=s=1280x720:r=30"
  quality=(-crf 1)
  ;;
*)
  echo "make_moovless_mp4: unknown content $content (camera or cavlc)" >&2
  exit 2
  ;;
esac

# The top-level boxes of a file, one "type offset size header_length" line each. Walking
# the headers is the only sound way to find the "moov": its four letters can turn up
# anywhere in compressed media data.
boxes() {
  python3 - "$1" <<'PY'
import os, struct, sys
path = sys.argv[1]
size = os.path.getsize(path)
with open(path, "rb") as f:
    pos = 0
    while pos + 8 <= size:
        f.seek(pos)
        head = f.read(16)
        length, kind = struct.unpack(">I4s", head[:8])
        header = 8
        if length == 1 and len(head) == 16:
            length, header = struct.unpack(">Q", head[8:])[0], 16
        elif length == 0:
            length = size - pos
        if length < header:
            break
        print(kind.decode("latin-1"), pos, length, header)
        pos += length
PY
}

# Noise keeps the encoder at a camera's bit rate (about 80 Mbit/s at 720p) while
# ultrafast keeps the encoding to seconds; the clip is then repeated without re-encoding.
# Ultrafast also means CAVLC, whose clean pictures at low quantisers are full of zeros.
if [[ ! -f $clip ]]; then
  echo "encoding $clip" >&2
  ffmpeg -nostdin -v error -y -f lavfi -i "$source" \
    -f lavfi -i "sine=f=440:r=48000" -t 20 -c:v libx264 -preset ultrafast -g 30 "${quality[@]}" \
    -c:a aac -b:a 128k "$clip.tmp.mp4"
  mv "$clip.tmp.mp4" "$clip"
fi
if [[ ! -f $file ]]; then
  echo "making $file" >&2
  tmp=$file.tmp.mp4
  ffmpeg -nostdin -v error -y -stream_loop -1 -i "$clip" -map 0 -c copy \
    -fs $((size_mib * 1048576)) -chunk_duration 1000000 -f mp4 "$tmp"
  moov=$(boxes "$tmp" | awk '$1 == "moov" { print $2; exit }')
  if [[ -z $moov ]]; then
    echo "make_moovless_mp4: ffmpeg wrote no top-level moov into $tmp" >&2
    exit 1
  fi
  truncate -s "$moov" "$tmp"
  mv "$tmp" "$file"
fi
media_bytes=$(boxes "$file" | awk '$1 == "mdat" { print $3 - $4; exit }')
if [[ $cut == yes ]]; then
  cut_file=${file%.mp4}-cut.mp4
  if [[ ! -f $cut_file ]]; then
    echo "making $cut_file" >&2
    head -c $(($(stat -c %s "$file") - 1048576)) "$file" >"$cut_file.tmp"
    mv "$cut_file.tmp" "$cut_file"
  fi
  file=$cut_file
  media_bytes=$((media_bytes - 1048576))
fi
if [[ $noise == yes ]]; then
  noise_file=${file%.mp4}-noise.mp4
  if [[ ! -f $noise_file ]]; then
    echo "making $noise_file" >&2
    cp "$file" "$noise_file.tmp"
    mib=$(($(stat -c %s "$file") / 1048576))
    dd if=/dev/urandom of="$noise_file.tmp" bs=1M seek=$((mib * 3 / 8)) count=$((mib / 4)) \
      conv=notrunc status=none
    mv "$noise_file.tmp" "$noise_file"
  fi
  file=$noise_file
fi
if ((total_mib > 0)); then
  tail_file=${file%.mp4}-zeros-${total_mib}MiB.mp4
  if [[ ! -f $tail_file ]]; then
    echo "making $tail_file" >&2
    cp "$file" "$tail_file.tmp"
    truncate -s "${total_mib}M" "$tail_file.tmp"
    mv "$tail_file.tmp" "$tail_file"
  fi
  file=$tail_file
fi
echo "$file $media_bytes $clip"
