// The store of candidates that could stand alone keeps each in a few bytes, relative to
// the one before: what it hands back must be the candidates it was given, whatever the
// steps between them, the order in which the scans of several ranges added them, and the
// widest field values the scan produces.
#include "mp4/Mp4MediaData.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>
#include <vector>

namespace clw {
namespace {

TMDATChunk Alone(uint64_t Position, uint32_t Length, uint8_t Header, uint8_t SliceType,
                 bool Picture, uint8_t Marker) {
  TMDATChunk c;
  c.Position = Position;
  c.Length = Length;
  c.Header = Header;
  c.SliceType = SliceType;
  c.Flags = Picture ? TMDATChunk::kPictureStart : 0;
  c.Neighbour = uint8_t(Marker << 1 | TMDATChunk::kAudioEndsBefore);
  return c;
}

auto Fields(const TMDATChunk& C) {
  return std::make_tuple(uint64_t(C.Position), uint32_t(C.Length), C.Header, C.SliceType,
                         uint16_t(C.Flags), C.Neighbour);
}

TEST(AloneCandidates, HandBackWhatTheyWereGiven) {
  constexpr uint8_t kMarker = 0x21;
  const std::vector<TMDATChunk> given = {
      Alone(0, 1, 0x06, 15, false, kMarker),                   // at the very start
      Alone(100, 0x3F8000, 0x65, 7, true, kMarker),            // longest slice, IDR, picture
      Alone(100 + 0xFFFFFF, 4, 0x7F, 9, false, kMarker),       // the longest step kept inline
      Alone(101 + 2 * 0xFFFFFF, 4, 0x41, 0, false, kMarker),   // one step too many
      Alone(uint64_t(6) << 40, 0x100000, 0x0C, 15, false, 63), // beyond 4 GiB, another marker
      Alone((uint64_t(6) << 40) + 17, 30, 0x21, 5, true, kMarker),
      Alone(50, 8, 0x01, 2, false, kMarker), // a later range that lies before
      Alone(60, 9, 0x01, 2, false, 0),
  };
  TAloneCandidates store;
  TDroppedCandidates dropped;
  for (const TMDATChunk& c : given) {
    store.AddWhen(false, Alone(c.Position + 3, 5, 0x41, 1, false, kMarker)); // not kept
    store.Add(c);
    dropped.Add(c);
  }
  ASSERT_EQ(store.Count(), given.size());

  const auto kept = store.Take(kMarker, dropped);
  std::vector<TMDATChunk> expected;
  for (const TMDATChunk& c : given)
    if ((c.Neighbour >> 1) == kMarker) expected.push_back(c);
  std::sort(expected.begin(), expected.end(),
            [](const TMDATChunk& a, const TMDATChunk& b) { return a.Position < b.Position; });
  ASSERT_EQ(kept.size(), expected.size());
  for (size_t i = 0; i < kept.size(); ++i)
    EXPECT_EQ(Fields(kept[i]), Fields(expected[i])) << "candidate " << i;
  // The ones handed back no longer count among the dropped ones.
  EXPECT_EQ(dropped.Count(), 2u);
  std::vector<int32_t> markers(64, 0);
  dropped.AddMarkers(markers);
  EXPECT_EQ(markers[kMarker], 0);
  EXPECT_EQ(markers[63] + markers[0], 2);
  EXPECT_EQ(store.Count(), 0u);
}

TEST(AloneCandidates, ManyBlocksComeBackInOrder) {
  // More than a block of records: the store gives back each block once it has read it.
  TAloneCandidates store;
  TDroppedCandidates dropped;
  constexpr uint64_t kCount = 700000;
  for (uint64_t i = 0; i < kCount; ++i) {
    store.Add(Alone(i * 97, uint32_t(i % 5000 + 4), 0x41, 0, false, uint8_t(i & 1)));
    dropped.Add(Alone(i * 97, uint32_t(i % 5000 + 4), 0x41, 0, false, uint8_t(i & 1)));
  }
  const auto kept = store.Take(1, dropped);
  ASSERT_EQ(kept.size(), kCount / 2);
  for (size_t k = 0; k < kept.size(); ++k) {
    const uint64_t i = 2 * k + 1;
    ASSERT_EQ(Fields(kept[k]), Fields(Alone(i * 97, uint32_t(i % 5000 + 4), 0x41, 0, false, 1)));
  }
  EXPECT_EQ(dropped.Count(), kCount / 2);
}

} // namespace
} // namespace clw
