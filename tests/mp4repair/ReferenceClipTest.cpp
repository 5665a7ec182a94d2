// Which clips can serve as a reference: an intact recording with H.264 video, also one
// whose quick analysis finds damage as long as its tables are read; not the damaged file
// itself, not another codec, not a file of another kind.
#include "mp4repair/ReferenceClip.h"

#include "support/Mp4Builder.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

namespace clw::test {
namespace {

TMp4Box VideoTrack(const char (&type)[5]) {
  return Trak(true, 1,
              {Box("stsd", TablePayload(1, VisualSampleEntry(type, 320, 240, {Box("avcC", 20)})))});
}

TMp4Box Movie(std::vector<TMp4Box> tracks) {
  tracks.insert(tracks.begin(), Box("mvhd", MvhdPayload(0, 1000, 0)));
  return Container("moov", std::move(tracks));
}

TEST(ReferenceClip, ServesOnlyWithReadableH264Video) {
  const TMp4Box ftyp = Box("ftyp", BytesOf("isomxxxxisom"));
  const TMp4Box sound =
      Trak(false, 2, {Box("stsd", TablePayload(1, SoundSampleEntry("sowt", 2, 16, 48000)))});
  const struct {
    const char* Name;
    TBytes Bytes;
    int32_t Verdict;
  } cases[] = {
      {"intact", BuildMp4({ftyp, Movie({VideoTrack("avc1"), sound}), Box("mdat", 64)}).Bytes,
       rvUsable},
      {"in_band_parameter_sets", BuildMp4({ftyp, Movie({VideoTrack("avc3")})}).Bytes, rvUsable},
      // Damage after the movie header: the full analysis still reads its tables.
      {"damaged_after_its_tables",
       BuildMp4({ftyp, Movie({VideoTrack("avc1")}), Box("mdat", 64).WithSizeField(4)}).Bytes,
       rvUsable},
      {"mpeg4_part2_video", BuildMp4({ftyp, Movie({VideoTrack("mp4v"), sound})}).Bytes, rvNotH264},
      {"sound_only", BuildMp4({ftyp, Movie({sound})}).Bytes, rvUnreadable},
      {"movie_header_lost", BuildMp4({ftyp, Box("mdat", 4096)}).Bytes, rvUnreadable},
      {"not_mp4",
       BytesOf("RIFF\x10\x00\x00\x00"
               "AVI LIST"),
       rvUnreadable},
  };
  const auto dir = ScratchDir();
  for (const auto& c : cases) {
    const auto path = dir / c.Name;
    WriteFile(path, std::string(c.Bytes.begin(), c.Bytes.end()));
    int32_t verdict = -1;
    const auto reader = OpenReferenceClip(path.string(), verdict);
    EXPECT_EQ(verdict, c.Verdict) << c.Name;
    EXPECT_EQ(reader != nullptr, c.Verdict == rvUsable) << c.Name;
  }
}

} // namespace
} // namespace clw::test
