// A repaired copy past 4 GiB: its media data needs the 64-bit "mdat" header and its chunk
// offsets "co64". The input is 4.5 GiB of which only the head is real bytes, and the copy
// goes into a sink that stores only what is not zero, so neither takes 4 GiB of memory.
#include "mp4/Mp4BoxTypes.h"
#include "mp4repair/HgMP4FileWriter.h"
#include "streams/Endian.h"

#include "support/Mp4Builder.h"
#include "support/SparseStream.h"

#include <gtest/gtest.h>

namespace clw::test {
namespace {

constexpr uint64_t k4GiB = uint64_t(1) << 32;
constexpr int64_t kInputSize = int64_t(k4GiB + k4GiB / 8);

// Two pictures of over 2 GiB each carry the copy past 4 GiB, so the three after them lie
// beyond 2^32 in the input and in the copy. The first picture is real H.264; the rest of
// the input is zeros, which the writer copies like any other picture. The sizes of each
// chunk's pictures, 0 standing for the real one:
constexpr uint32_t kHuge = 0x88000000;
const std::vector<std::vector<uint32_t>> kChunkSamples = {{0, kHuge}, {kHuge}, {3000, 4000, 5000}};

struct TLargeInput {
  TBytes Head; // everything up to the end of the first picture
  std::vector<uint32_t> Sizes;
};

// "ftyp", "moov" with one H.264 track, then "mdat" with a 64-bit size reaching to the end of
// the 4.5 GiB: the chunks of the tables lie inside it, as in a file a camera finished.
TLargeInput LargeFaststartFile() {
  TMediaDataBuilder picture;
  AddVideoChunk(picture, 1, true, 200);
  TLargeInput in;
  std::vector<uint32_t> perChunk;
  for (const std::vector<uint32_t>& chunk : kChunkSamples) {
    for (uint32_t size : chunk)
      in.Sizes.push_back(size == 0 ? uint32_t(picture.Bytes.size()) : size);
    perChunk.push_back(uint32_t(chunk.size()));
  }
  const auto build = [&](uint64_t mediaStart) {
    TBytes offsets;
    uint64_t at = mediaStart;
    size_t sample = 0;
    for (uint32_t count : perChunk) {
      offsets = Join({offsets, BE64(at)});
      for (uint32_t k = 0; k < count; ++k)
        at += in.Sizes[sample++];
    }
    TBytes stsc;
    for (uint32_t c = 0; c < perChunk.size(); ++c)
      stsc = Join({stsc, Words({c + 1, perChunk[c], 1})});
    const TBytes avcC = {1,    0x42, 0,    0x1E, 0xFF, 0xE1, 0,    4,   0x67,
                         0x42, 0,    0x1E, 1,    0,    2,    0x68, 0xCE};
    const TMp4Box moov = Container(
        "moov", {Box("mvhd", MvhdPayload(0, 600, 3000)),
                 Trak(true, 1,
                      {Box("stsd", TablePayload(1, VisualSampleEntry("avc1", 320, 240,
                                                                     {Box("avcC", avcC)}))),
                       Box("stts", TablePayload(1, Words({uint32_t(in.Sizes.size()), 1001}))),
                       Box("stss", TablePayload(1, Words({1}))),
                       Box("stsc", TablePayload(uint32_t(perChunk.size()), stsc)),
                       Box("stsz", StszPayload(0, uint32_t(in.Sizes.size()), in.Sizes)),
                       Box("co64", TablePayload(uint32_t(perChunk.size()), offsets))})});
    const TMp4File head = BuildMp4({Box("ftyp", BytesOf("isom\0\0\0\1isomavc1")), moov});
    return BuildMp4({RawBytes(head.Bytes), Box("mdat", picture.Bytes)
                                               .AsLarge()
                                               .WithSizeField(kInputSize - head.Bytes.size())
                                               .Named("mdat")});
  };
  const TMp4File first = build(0);
  in.Head = build(uint64_t(first.At.at("mdat").Data)).Bytes;
  return in;
}

const TMp4Trak* VideoTrack(const THgMP4FileReader& Reader) {
  for (const TMp4Trak& t : Reader.Traks)
    if (t.MediaKind == mkVideo) return &t;
  return nullptr;
}

TEST(Mp4WriterLarge, CopyPast4GiBGetsLargeMdatAndCo64) {
  const TLargeInput in = LargeFaststartFile();
  TZeroPaddedStream input(in.Head, kInputSize);
  THgMp4Stream inputAtoms(&input);
  THgMP4FileReader reader(inputAtoms, &MediaDataAnalysis());
  ASSERT_EQ(reader.Analyze(0), kDone);
  ASSERT_EQ(reader.Error, kNoDamage);
  const TMp4Trak* source = VideoTrack(reader);
  ASSERT_NE(source, nullptr);
  ASSERT_EQ(source->stco.Table.size(), kChunkSamples.size());
  ASSERT_GT(source->stco.Table.back(), k4GiB);

  TSparseSink sink;
  {
    THgMP4FileWriter writer(reader, sink);
    // The zeros stand in for pictures here; judged, they would be lost sectors.
    writer.JudgeSamples = false;
    ASSERT_EQ(writer.Write(), kDone);
    EXPECT_EQ(writer.RebuildMode, THgMP4FileWriter::rmKeepTables);
  }

  // "ftyp" as in the input, then "mdat" with size field 1 and the 64-bit size after the type.
  const int64_t ftyp = int64_t(ReadBE32(in.Head.data()));
  uint8_t header[16];
  sink.SetPosition(ftyp);
  ASSERT_EQ(sink.Read(header, sizeof header), int64_t(sizeof header));
  EXPECT_EQ(ReadBE32(header), 1u);
  EXPECT_EQ(ReadLE32(header + 4), kmdat);
  uint64_t sampleBytes = 0;
  for (uint32_t size : in.Sizes)
    sampleBytes += size;
  EXPECT_EQ(ReadBE64(header + 8), 16 + sampleBytes);

  THgMp4Stream outputAtoms(&sink);
  THgMP4FileReader copy(outputAtoms, &MediaDataAnalysis());
  ASSERT_EQ(copy.Analyze(0), kDone);
  EXPECT_EQ(copy.Error, kNoDamage);
  bool co64 = false;
  for (int32_t n = 0; n < int32_t(copy.Count()); ++n)
    co64 |= copy.Id(n) == kco64;
  EXPECT_TRUE(co64);
  const TMp4Trak* video = VideoTrack(copy);
  ASSERT_NE(video, nullptr);
  EXPECT_EQ(video->stsz.Table, in.Sizes);
  ASSERT_EQ(video->stco.Table.size(), kChunkSamples.size());
  EXPECT_EQ(video->stco.Table[0], uint64_t(ftyp + 16));
  EXPECT_GT(video->stco.Table.back(), k4GiB);
  EXPECT_EQ(video->stss.Table, (TMp4_stss_table{1}));

  // The real picture landed where the copy's first chunk says.
  const TBytes picture(in.Head.end() - in.Sizes[0], in.Head.end());
  TBytes landed(picture.size());
  sink.SetPosition(int64_t(video->stco.Table[0]));
  ASSERT_EQ(sink.Read(landed.data(), int64_t(landed.size())), int64_t(landed.size()));
  EXPECT_EQ(landed, picture);
}

} // namespace
} // namespace clw::test
