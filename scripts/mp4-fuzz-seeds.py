#!/usr/bin/env python3
"""Writes a small seed corpus for the MP4 fuzz target: camera-like files of one H.264 and
one AAC track, interleaved in chunks, whole and damaged in the ways the check meets, and
files whose movie header is lost followed by a reference clip of the same camera, which
the repair rebuilds the movie with.

The target reads its first byte as a choice: top bit clear, the rest is one file; set, the
rest is split at the fraction (low seven bits) / 128 into the damaged file and the clip.
    scripts/mp4-fuzz-seeds.py OUTPUT_DIR
The repository keeps what it wrote in fuzz/corpus/mp4.
"""
import os
import random
import struct
import sys

rng = random.Random(20240601)


def box(kind, payload=b""):
    return struct.pack(">I", 8 + len(payload)) + kind + payload


def large_box(kind, payload):
    return struct.pack(">I", 1) + kind + struct.pack(">Q", 16 + len(payload)) + payload


def full(kind, payload, version=0, flags=0):
    return box(kind, bytes([version]) + flags.to_bytes(3, "big") + payload)


def u32s(*values):
    return b"".join(struct.pack(">I", v) for v in values)


SPS = bytes([0x67, 0x42, 0x00, 0x1E, 0x8D, 0x68, 0x50, 0x5F, 0x90])
PPS = bytes([0x68, 0xCE, 0x38, 0x80])


def nal(unit):
    return struct.pack(">I", len(unit)) + unit


def noise(n):
    # Compressed data: anything but long zero runs.
    return bytes(rng.randrange(1, 256) for _ in range(n))


def video_frame(idr):
    # first_mb_in_slice 0, slice_type 7 (I) or 5 (P), as exp-Golomb codes.
    if idr:
        return nal(SPS) + nal(PPS) + nal(bytes([0x65, 0x88]) + noise(rng.randrange(300, 900)))
    return nal(bytes([0x41, 0x98]) + noise(rng.randrange(60, 300)))


def audio_frame():
    # A raw data block: a single-channel element first, the end element (111) last.
    return bytes([0x21]) + noise(rng.randrange(80, 200)) + bytes([0x00, 0x07])


def media(chunks=5, frames=4, audio=3, zero_run=0):
    """The mdat payload and, per track, the chunk offsets (relative) and sample sizes."""
    data, video, sound = b"", ([], []), ([], [])
    for c in range(chunks):
        video[0].append(len(data))
        for f in range(frames):
            frame = video_frame(f == 0)
            video[1].append(len(frame))
            data += frame
        if zero_run and c == chunks // 2:
            data += bytes(zero_run)
        sound[0].append(len(data))
        for _ in range(audio):
            frame = audio_frame()
            sound[1].append(len(frame))
            data += frame
    return data, video, sound


def stbl(entry, offsets, sizes, per_chunk, delta, sync, co64):
    tables = [full(b"stsd", u32s(1) + entry),
              full(b"stts", u32s(1, len(sizes), delta))]
    if sync:
        tables.append(full(b"stss", u32s(len(sync), *sync)))
    tables += [full(b"stsc", u32s(1, 1, per_chunk, 1)),
               full(b"stsz", u32s(0, len(sizes), *sizes))]
    if co64:
        tables.append(full(b"co64", u32s(len(offsets)) +
                           b"".join(struct.pack(">Q", o) for o in offsets)))
    else:
        tables.append(full(b"stco", u32s(len(offsets), *offsets)))
    return box(b"stbl", b"".join(tables))


def trak(track_id, handler, header, timescale, table):
    width, height = (320, 240) if handler == b"vide" else (0, 0)
    tkhd = full(b"tkhd", u32s(0, 0, track_id, 0, 1000) + bytes(16) +
                u32s(0x10000, 0, 0, 0, 0x10000, 0, 0, 0, 0x40000000) +
                u32s(width << 16, height << 16), flags=3)
    mdhd = full(b"mdhd", u32s(0, 0, timescale, timescale) + bytes(4))
    hdlr = full(b"hdlr", u32s(0) + handler + bytes(12) + b"Handler\0")
    minf = box(b"minf", header + table)
    return box(b"trak", tkhd + box(b"mdia", mdhd + hdlr + minf))


AVC1 = box(b"avc1", bytes(6) + struct.pack(">H", 1) + bytes(16) + struct.pack(">HH", 320, 240) +
           u32s(0x480000, 0x480000, 0) + struct.pack(">H", 1) + bytes(32) +
           struct.pack(">Hh", 24, -1) +
           box(b"avcC", bytes([1, 0x42, 0x00, 0x1E, 0xFF, 0xE1]) + struct.pack(">H", len(SPS)) +
               SPS + bytes([1]) + struct.pack(">H", len(PPS)) + PPS))


def sound_entry(kind, channels, bits, rate, children=b""):
    return box(kind, bytes(6) + struct.pack(">H", 1) + bytes(8) +
               struct.pack(">HHHH", channels, bits, 0, 0) + u32s(rate << 16) + children)


MP4A = sound_entry(b"mp4a", 1, 16, 48000,
                   full(b"esds", bytes([3, 25, 0, 1, 0, 4, 17, 0x40, 0x15]) + bytes(11) +
                        bytes([5, 2, 0x11, 0x90, 6, 1, 2])))
# 16-bit stereo little-endian PCM: every four bytes between the pictures are one frame.
SOWT = sound_entry(b"sowt", 2, 16, 48000)
VMHD = full(b"vmhd", bytes(8), flags=1)
SMHD = full(b"smhd", bytes(4))
MVHD = full(b"mvhd", u32s(0, 0, 1000, 5000, 0x10000) + struct.pack(">H", 0x100) + bytes(10) +
            u32s(0x10000, 0, 0, 0, 0x10000, 0, 0, 0, 0x40000000) + bytes(24) + u32s(3))


def moov(base, video, sound, co64=False):
    sync = [1 + 4 * i for i in range(len(video[0]))]
    vt = stbl(AVC1, [base + o for o in video[0]], video[1], 4, 1000, sync, co64)
    st = stbl(MP4A, [base + o for o in sound[0]], sound[1], 3, 1024, None, co64)
    return box(b"moov", MVHD + trak(1, b"vide", VMHD, 25000, vt) +
               trak(2, b"soun", SMHD, 48000, st))


def reference_clip(ftyp, sound):
    """An intact clip of the same camera with only what a repair takes from one: the
    sample descriptions, the time scales and the pace of the pictures; no media."""
    def described(entry, delta):
        return box(b"stbl", full(b"stsd", u32s(1) + entry) + full(b"stts", u32s(1, 50, delta)))
    return ftyp + box(b"moov", MVHD + trak(1, b"vide", VMHD, 25000, described(AVC1, 1000)) +
                      trak(2, b"soun", SMHD, 48000, described(sound, 1)))


def with_reference(damaged, reference):
    """A choice byte and the two files, the clip padded with a "free" box so that the
    target's split falls exactly between them."""
    for pad in [0] + list(range(8, 4096)):
        total = len(damaged) + len(reference) + pad
        for fraction in range(1, 128):
            if total * fraction // 128 == len(damaged):
                tail = struct.pack(">I", pad) + b"free" + bytes(pad - 8) if pad else b""
                return bytes([0x80 | fraction]) + damaged + reference + tail
    raise ValueError("no split reaches the end of the damaged file")


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    ftyp = box(b"ftyp", b"isom" + u32s(512) + b"isomavc1mp41")
    data, video, sound = media()
    mdat = box(b"mdat", data)
    base = len(ftyp) + 8
    camera = ftyp + mdat + moov(base, video, sound)
    head = moov(0, video, sound)
    faststart = ftyp + moov(len(ftyp) + len(head) + 8, video, sound) + mdat
    zdata, zvideo, zsound = media(zero_run=700)
    large = large_box(b"mdat", data)
    seeds = {
        "camera": camera,
        "camera_co64": ftyp + mdat + moov(base, video, sound, co64=True),
        "faststart": faststart,
        "moov_missing": ftyp + mdat,
        "moov_cut": camera[:len(ftyp) + len(mdat) + 300],
        "mdat_size_to_end": ftyp + struct.pack(">I", 0) + b"mdat" + data,
        "mdat_large_header": ftyp + large + moov(len(ftyp) + 16, video, sound),
        "mdat_zero_run": ftyp + box(b"mdat", zdata) + moov(base, zvideo, zsound),
        "headerless": data,
        "free_oversized": ftyp + struct.pack(">I", 0x200000) + b"free" + data,
        "stsz_count_overflow": camera.replace(b"stsz" + bytes(8) + u32s(len(video[1])),
                                              b"stsz" + bytes(8) + u32s(0x7FFFFFFF), 1),
    }
    seeds = {name: bytes([0]) + data for name, data in seeds.items()}
    pcm_clip = reference_clip(ftyp, SOWT)
    seeds.update({
        "moov_missing_pcm_reference": with_reference(ftyp + mdat, pcm_clip),
        "moov_missing_aac_reference": with_reference(ftyp + mdat, reference_clip(ftyp, MP4A)),
        "moov_cut_pcm_reference": with_reference(camera[:len(ftyp) + len(mdat) + 300], pcm_clip),
        "mdat_zero_run_pcm_reference": with_reference(ftyp + box(b"mdat", zdata), pcm_clip),
    })
    for name, data in seeds.items():
        with open(os.path.join(out, name + ".mp4"), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
