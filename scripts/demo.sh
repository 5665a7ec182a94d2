#!/usr/bin/env bash
# Builds clipwright-cli, makes a small AVI with ffmpeg, damages a copy of it and runs the
# check and the repair on it. Everything lands in build/demo/.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target clipwright-cli -j "$(nproc)"
demo=build/demo
rm -rf "$demo" && mkdir -p "$demo/out"
ffmpeg -v error -f lavfi -i testsrc=size=320x240:rate=25 -f lavfi -i sine=frequency=440 \
  -t 4 -c:v mpeg4 -vtag XVID -q:v 5 -c:a libmp3lame -shortest "$demo/clip.avi"
# Damage: cut the recording at 60 %, as a camera that lost power would.
size=$(stat -c %s "$demo/clip.avi")
head -c $((size * 60 / 100)) "$demo/clip.avi" > "$demo/damaged.avi"
set +e
build/clipwright-cli check "$demo/clip.avi" "$demo/damaged.avi"
echo "check exit status: $? (1: a file is damaged)"
build/clipwright-cli repair -o "$demo/out" "$demo/damaged.avi"
echo "repair exit status: $?"
set -e
repaired="$demo/out/damaged (copy).avi"
echo "--- the repaired copy, as ffprobe sees it:"
ffprobe -v error -count_packets -show_entries stream=codec_name,nb_read_packets -of compact=p=0 "$repaired"
echo "--- decode errors in the repaired copy: $(ffmpeg -nostdin -v error -i "$repaired" -f null - 2>&1 | wc -l)"

# MP4: a camera-like H.264 + AAC clip whose movie header ("moov", written last) is lost, as
# when the recorder stopped without finishing the file. Checking finds the damage and the
# structure dump (-l) lists the video slices found in the bare media data.
ffmpeg -v error -f lavfi -i testsrc2=size=640x360:rate=30 -f lavfi -i sine=frequency=440 \
  -t 6 -c:v libx264 -preset veryfast -c:a aac -chunk_duration 1000000 "$demo/clip.mp4"
moov=$(python3 - "$demo/clip.mp4" <<'PY'
import struct, sys
data = open(sys.argv[1], "rb").read()
pos = 0
while pos + 8 <= len(data):
    size, kind = struct.unpack(">I4s", data[pos:pos + 8])
    if size == 1:
        size = struct.unpack(">Q", data[pos + 8:pos + 16])[0]
    if kind == b"moov" or size < 8:
        break
    pos += size
print(pos)
PY
)
head -c "$moov" "$demo/clip.mp4" > "$demo/no_moov.mp4"
set +e
build/clipwright-cli check "$demo/clip.mp4"
build/clipwright-cli check -l "$demo/no_moov.mp4"
echo "check exit status: $? (1: damaged)"
set -e
echo "--- video slices found in the media data of the damaged MP4 ($demo/no_moov.log):"
grep -a -A6 'Found video & audio slices' "$demo/no_moov.log"
