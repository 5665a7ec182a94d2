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

# MP4: a camera-like H.264 + AAC recording (one-second chunks, as cameras interleave) whose
# movie header ("moov", written last) is lost, as when the camera lost power before it
# finished the file. The damaged file no longer says what its tracks are, so the repair
# takes that from a short intact clip recorded with the same settings (-r).
camera() { # SECONDS FREQUENCY OUTPUT
  ffmpeg -v error -f lavfi -i "testsrc2=size=1280x720:rate=30,noise=alls=12:allf=t" \
    -f lavfi -i "sine=frequency=$2:sample_rate=48000" -t "$1" -c:v libx264 -preset veryfast \
    -bf 0 -g 30 -c:a aac -b:a 128k -chunk_duration 1000000 "$3"
}
camera 12 440 "$demo/recording.mp4"
camera 3 880 "$demo/reference.mp4"
moov=$(python3 - "$demo/recording.mp4" <<'PY'
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
head -c "$moov" "$demo/recording.mp4" > "$demo/crashed.mp4"
set +e
build/clipwright-cli check "$demo/recording.mp4" "$demo/crashed.mp4"
echo "check exit status: $? (1: a file is damaged)"
build/clipwright-cli repair -r "$demo/reference.mp4" -o "$demo/out" "$demo/crashed.mp4"
echo "repair exit status: $?"
set -e
repaired="$demo/out/crashed (copy).mp4"
frames() {
  ffprobe -v error -select_streams v:0 -count_packets -show_entries stream=nb_read_packets \
    -of csv=p=0 "$1"
}
seconds() {
  ffprobe -v error -select_streams "$2" -show_entries stream=duration -of csv=p=0 "$1"
}
errors() { ffmpeg -nostdin -v error -i "$1" -f null - 2>&1 | wc -l; }
hashes() { ffmpeg -nostdin -v error -i "$1" -map 0:v:0 -f framemd5 - | grep -v '^#' | cut -d, -f6 | sort; }
exact=$(comm -12 <(hashes "$demo/recording.mp4") <(hashes "$repaired") | wc -l)
echo "--- what the repaired copy holds, against the recording before the crash:"
printf '%-28s %12s %14s %14s %14s\n' "" "video frames" "video seconds" "sound seconds" "decode errors"
for f in "$demo/recording.mp4" "$demo/crashed.mp4" "$repaired"; do
  printf '%-28s %12s %14s %14s %14s\n' "$(basename "$f")" "$(frames "$f" 2>/dev/null || echo -)" \
    "$(seconds "$f" v:0 2>/dev/null || echo -)" "$(seconds "$f" a:0 2>/dev/null || echo -)" \
    "$(errors "$f")"
done
echo "pictures of the recording found bit for bit in the copy: $exact of $(frames "$demo/recording.mp4")"
