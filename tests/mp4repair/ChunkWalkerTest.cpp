// The chunk walker on bytes no camera wrote: whatever it is given, it ends, and what it
// takes are chunks in file order inside the media data, none overlapping another. The
// profile is a real one, from an ffmpeg clip with sound, so every check is on.
#include "mp4repair/ChunkWalker.h"
#include "mp4repair/ReferenceClip.h"

#include "support/MediaTools.h"
#include "support/MemoryStream.h"
#include "support/Mp4Clips.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace clw::test {
namespace {

// The walk profile of an ffmpeg clip; its Audio stays waNone when the clip could not be
// made or read.
TWalkProfile ProfileOf(const std::string& Clip) {
  TWalkProfile profile;
  int32_t verdict = 0;
  const auto reference = Clip.empty() ? nullptr : OpenReferenceClip(Clip, verdict);
  if (!reference || !MakeWalkProfile(*reference, AacLibrary(), profile)) return TWalkProfile{};
  return profile;
}

// A clip's bytes and where its media data lies in them; Bytes stays empty when the clip
// could not be made or read.
struct TMediaData {
  std::string Path;
  std::string Bytes;
  uint64_t Start = 0;
  uint64_t End = 0;
};

TMediaData MediaDataOf(const TMp4Clip& Clip) {
  TMediaData data;
  data.Path = MakeClip(Clip.File, Clip.Arguments);
  if (data.Path.empty()) return data;
  THgMP4FileReader reader(data.Path, nullptr);
  const int32_t mdat = reader.Analyze(0) == kDone ? reader.FindChild(-1, MakeFourCC("mdat")) : -1;
  if (mdat < 0) return data;
  data.Start = uint64_t(reader.DataPosition(mdat));
  data.End = uint64_t(reader.NodeEnd(mdat));
  data.Bytes = ReadFile(data.Path);
  return data;
}

TEST(ChunkWalker, HostileBytesEndTheWalkWithChunksInOrder) {
  const std::string clip =
      MakeClip("walk_profile_fbf.mp4", CLW_VIDEO_IN CLW_SINE_IN CLW_H264 CLW_AAC "-t 2");
  ASSERT_FALSE(clip.empty());
  const TWalkProfile profile = ProfileOf(clip);
  ASSERT_EQ(profile.Audio, TWalkProfile::waAac);

  // The clip's own media data with bytes overwritten at random, and noise that holds
  // unit-like length fields, zeros and stretches of one byte.
  const std::string whole = ReadFile(clip);
  std::mt19937 random(7);
  for (int round = 0; round < 6; ++round) {
    SCOPED_TRACE(round);
    std::vector<uint8_t> bytes(whole.begin(), whole.end());
    if (round < 3) {
      for (int k = 0; k < 200 * (round + 1); ++k)
        bytes[random() % bytes.size()] = uint8_t(random());
    } else {
      bytes.assign(bytes.size() / 4, 0);
      for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = round == 3 ? uint8_t(random()) : round == 4 ? uint8_t(random() % 3) : 0x01;
    }
    TMemoryStream stream(bytes);
    TNullBlocks zeros;
    zeros.Add(TNullBlock{bytes.size() / 2, 4096});
    TMp4ChunkWalker walker(stream, 48, bytes.size(), false, zeros, profile);
    ASSERT_TRUE(walker.Walk());
    if (round < 3) {
      EXPECT_GT(walker.Chunks.size(), 20u) << "the clip's own chunks around the damage";
    }
    uint64_t at = 48;
    for (const TWalkedChunk& c : walker.Chunks) {
      ASSERT_GE(c.Offset, at);
      ASSERT_GT(c.Size, 0u);
      ASSERT_LE(c.Offset + c.Size, bytes.size());
      uint64_t inside = c.Offset;
      for (const TNewChunk& s : c.Samples) {
        const uint64_t offset = s.Offset; // a packed field: no reference to it
        ASSERT_EQ(offset, inside);
        inside += s.Size;
      }
      if (!c.Samples.empty()) {
        ASSERT_EQ(inside, c.Offset + c.Size);
      }
      at = c.Offset + c.Size;
    }
  }
}

// Sound chunks four times as long as the reference's longest (a camera set to longer
// chunks since): no multiple of the frame within the reference's range ends them, and the
// walk looks further, up to where the next picture lies whole frames away.
TEST(ChunkWalker, SoundChunksLongerThanTheReferencesAreWalkedWhole) {
  const std::string clip = MakeClip("walk_pcm_long_chunks.mov",
                                    CLW_VIDEO_IN CLW_SINE_IN CLW_H264 CLW_PCM CLW_SECOND_CHUNKS);
  ASSERT_FALSE(clip.empty());
  const TWalkProfile profile =
      ProfileOf(MakeClip("walk_pcm_short_chunks.mov",
                         CLW_VIDEO_IN CLW_SINE_IN CLW_H264 CLW_PCM "-chunk_duration 250000 -t 4"));
  ASSERT_EQ(profile.Audio, TWalkProfile::waPcm);

  THgMP4FileReader reader(clip, nullptr);
  ASSERT_EQ(reader.Analyze(0), kDone);
  const int32_t mdat = reader.FindChild(-1, MakeFourCC("mdat"));
  ASSERT_GE(mdat, 0);
  TMp4ChunkWalker walker(*reader.Source(), uint64_t(reader.DataPosition(mdat)),
                         uint64_t(reader.NodeEnd(mdat)), true, TNullBlocks{}, profile);
  ASSERT_TRUE(walker.Walk());
  EXPECT_EQ(walker.Skipped, 0u);
  // The muxer splits long video runs into several chunks; the walk takes each run whole.
  size_t sound = 0;
  for (const TWalkedChunk& c : walker.Chunks)
    sound += c.Video ? 0 : 1;
  ASSERT_EQ(reader.Traks.size(), 2u);
  EXPECT_EQ(sound, reader.Traks[1].stco.Table.size());
}

// Foreign bytes (no zero among them) before a picture: the resynchronisation passes over
// them however many there are, within its window or beyond it, and takes the picture
// where it begins.
TEST(ChunkWalker, FindsThePictureAfterForeignBytesOfAnyLength) {
  const TMediaData camera = MediaDataOf(kMp4Clips[0]);
  ASSERT_FALSE(camera.Bytes.empty());
  const TWalkProfile profile = ProfileOf(camera.Path);
  ASSERT_EQ(profile.Audio, TWalkProfile::waAac);
  // The third picture of the clean walk.
  uint64_t picture = 0;
  {
    TMemoryStream stream(std::vector<uint8_t>(camera.Bytes.begin(), camera.Bytes.end()));
    TMp4ChunkWalker walker(stream, camera.Start, camera.End, false, TNullBlocks{}, profile);
    ASSERT_TRUE(walker.Walk());
    for (int seen = 0; const TWalkedChunk& c : walker.Chunks)
      if (c.Video && ++seen == 3) picture = c.Offset;
    ASSERT_GT(picture, camera.Start);
  }
  std::mt19937 random(5);
  for (const size_t n : {size_t(1), size_t(2), size_t(3), size_t(31), size_t(4096), size_t(65537),
                         size_t(9 << 20) + 5}) {
    SCOPED_TRACE(n);
    std::vector<uint8_t> bytes(camera.Bytes.begin(), camera.Bytes.begin() + int64_t(picture));
    for (size_t k = 0; k < n; ++k)
      bytes.push_back(uint8_t(1 + random() % 255));
    bytes.insert(bytes.end(), camera.Bytes.begin() + int64_t(picture), camera.Bytes.end());
    TMemoryStream stream(bytes);
    TMp4ChunkWalker walker(stream, camera.Start, camera.End + n, false, TNullBlocks{}, profile);
    ASSERT_TRUE(walker.Walk());
    EXPECT_TRUE(std::any_of(walker.Chunks.begin(), walker.Chunks.end(), [&](const TWalkedChunk& c) {
      return c.Video && c.Offset == picture + n;
    }));
  }
}

// A stream that counts the bytes read from it.
struct TCountingStream : TMemoryStream {
  using TMemoryStream::TMemoryStream;
  int64_t Read(void* Buffer, int64_t Count) override {
    const int64_t got = TMemoryStream::Read(Buffer, Count);
    Delivered += uint64_t(std::max<int64_t>(got, 0));
    return got;
  }
  uint64_t Delivered = 0;
};

// A camera file of one-second chunks walked with the profile of a frame-by-frame clip:
// before each chunk it stands on, the walk steps back through the sound frame by frame.
// Those steps find their bytes in what was read: the media data is read about once (it was
// read nine times over when each step back read a window again).
TEST(ChunkWalker, StepsBackWithoutReadingTheMediaDataAgain) {
  const TMp4Clip& interleaved = kMp4Clips[6];
  ASSERT_EQ(interleaved.Layout, TLayout::FrameByFrame);
  const TMediaData camera = MediaDataOf(kMp4Clips[0]);
  const std::string frameByFrame = MakeClip(interleaved.File, interleaved.Arguments);
  ASSERT_FALSE(camera.Bytes.empty() || frameByFrame.empty());
  const TWalkProfile profile = ProfileOf(frameByFrame);
  ASSERT_EQ(profile.Audio, TWalkProfile::waAac);
  TCountingStream stream(std::vector<uint8_t>(camera.Bytes.begin(), camera.Bytes.end()));
  TMp4ChunkWalker walker(stream, camera.Start, camera.End, false, TNullBlocks{}, profile);
  ASSERT_TRUE(walker.Walk());
  EXPECT_GT(walker.Chunks.size(), 40u);
  EXPECT_LE(stream.Delivered, (camera.End - camera.Start) * 3 / 2)
      << "of " << camera.End - camera.Start << " bytes";
}

} // namespace
} // namespace clw::test
