#include "support/InterleavedClip.h"

#include "mp4/HgMP4File.h"
#include "streams/Endian.h"
#include "support/Mp4Builder.h"
#include "support/TempDir.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <fstream>
#include <iterator>

namespace clw::test {

namespace {

enum TOutTrack : size_t { kVideo, kSound, kData, kTelemetry, kTimeCode, kOutTracks };

// The first bytes of every per-frame data sample: a camera's own record marker, which no
// H.264 length field or KLV key starts with.
const TBytes kFrameDataMagic = {0xFA, 0xCE, 0x10, 0x01};
constexpr uint32_t kFrameDataSize = 16;

struct TSourceChunk {
  uint64_t Offset = 0;
  bool Video = false;
  std::vector<uint32_t> Sizes; // of its samples, back to back from Offset
  size_t FirstSample = 0;
};

// A track of the new file: where each of its chunks lands in the media data, how many
// samples each holds, and the size and duration of each sample.
struct TOutTables {
  std::vector<uint64_t> Offsets;
  std::vector<uint32_t> PerChunk, Sizes, Durations;
};

void Append(TBytes& To, const TBytes& Bytes) {
  To.insert(To.end(), Bytes.begin(), Bytes.end());
}

std::vector<TSourceChunk> ChunksOf(const TMp4Trak& Trak, bool Video) {
  std::vector<TSourceChunk> out;
  size_t sample = 0;
  const TMp4_stsz& stsz = Trak.stsz;
  ForEachChunk(Trak, [&](size_t Chunk, uint32_t Samples) {
    TSourceChunk c{Trak.stco.Table[Chunk], Video, {}, sample};
    for (uint32_t i = 0; i < Samples && sample < stsz.SampleCount; ++i, ++sample) {
      if (stsz.SampleSize == 0 && sample >= stsz.Table.size()) break;
      c.Sizes.push_back(stsz.SampleSize != 0 ? stsz.SampleSize : stsz.Table[sample]);
    }
    out.push_back(std::move(c));
    return true;
  });
  return out;
}

std::vector<uint32_t> SampleDurations(const TMp4Trak& Trak) {
  std::vector<uint32_t> out;
  for (const TMp4_stts_entry& e : Trak.stts.Table)
    out.insert(out.end(), std::min<size_t>(e.SampleCount, Trak.stsz.SampleCount), e.SampleDelta);
  return out;
}

// One KLV record: a four-character key, the type of its values (0: nested records), the
// size of one value, how many follow, and the values padded to four bytes.
TBytes Klv(const char (&Key)[5], char Type, uint8_t Size, uint16_t Repeat, TBytes Values) {
  Values.resize((Values.size() + 3) & ~size_t(3), 0);
  return Join({BytesOf(Key), {uint8_t(Type), Size, uint8_t(Repeat >> 8), uint8_t(Repeat)}, Values});
}

TBytes Nest(const char (&Key)[5], const std::vector<TBytes>& Records) {
  const TBytes inner = Join(Records);
  return Klv(Key, 0, 4, uint16_t(inner.size() / 4), inner);
}

TBytes Text(const char (&Key)[5], std::string_view Value) {
  return Klv(Key, 'c', uint8_t(Value.size()), 1, BytesOf(Value));
}

// Three axes of 16-bit readings per sample.
TBytes Readings(uint16_t Samples, uint32_t Seed) {
  TBytes out;
  for (uint32_t i = 0; i < Samples; ++i)
    for (uint32_t axis = 0; axis < 3; ++axis) {
      const auto v = int16_t(std::lround(900.0 * std::sin(0.05 * (Seed + i) + 2.1 * axis)));
      out.push_back(uint8_t(uint16_t(v) >> 8));
      out.push_back(uint8_t(v));
    }
  return out;
}

// A second of telemetry: a device record nesting an accelerometer, a gyroscope and a
// temperature stream. The count of readings changes from second to second, as a sensor's
// clock drifts against the recording's, so no two chunks have one size.
TBytes TelemetryChunk(uint32_t Second) {
  const auto samples = uint16_t(396 + 7 * Second);
  const TBytes scale = {0x01, 0xA2};
  const TBytes temperature = BE32(std::bit_cast<uint32_t>(31.5f + float(Second) / 8));
  return Nest("DEVC", {Klv("DVID", 'L', 4, 1, BE32(1)), Text("DVNM", "Test rig"),
                       Nest("STRM", {Text("STNM", "Accelerometer"), Klv("SCAL", 's', 2, 1, scale),
                                     Klv("ACCL", 's', 6, samples, Readings(samples, Second))}),
                       Nest("STRM", {Text("STNM", "Gyroscope"), Klv("SCAL", 's', 2, 1, scale),
                                     Klv("GYRO", 's', 6, samples, Readings(samples, ~Second))}),
                       Nest("STRM", {Klv("TMPC", 'f', 4, 1, temperature)})});
}

TBytes FrameDataSample(uint32_t Counter) {
  return Join({kFrameDataMagic, BE32(Counter), BE32(Counter * 2654435761u),
               BE32(std::rotl(Counter, 13) ^ 0x5A5A00FFu)});
}

// A sample entry of a track that is neither picture nor sound: the reserved bytes, the
// data reference index, then Extra.
TBytes PlainSampleEntry(const char (&Type)[5], const TBytes& Extra = {}) {
  const TBytes inner = Join({TBytes(6, 0), {0, 1}, Extra});
  return Join({BE32(uint32_t(inner.size() + 8)), BytesOf(Type), inner});
}

TMp4Box Stsc(const std::vector<uint32_t>& PerChunk) {
  TBytes entries;
  uint32_t count = 0;
  for (size_t c = 0; c < PerChunk.size(); ++c)
    if (c == 0 || PerChunk[c] != PerChunk[c - 1]) {
      Append(entries, Words({uint32_t(c + 1), PerChunk[c], 1}));
      ++count;
    }
  return Box("stsc", TablePayload(count, entries));
}

TMp4Box Stco(const std::vector<uint64_t>& Offsets, uint64_t Base) {
  TBytes entries;
  for (const uint64_t offset : Offsets)
    Append(entries, BE32(uint32_t(Base + offset)));
  return Box("stco", TablePayload(uint32_t(Offsets.size()), entries));
}

TMp4Box Stts(const std::vector<uint32_t>& Durations) {
  TBytes entries;
  uint32_t count = 0;
  for (size_t i = 0; i < Durations.size();) {
    size_t j = i;
    while (j < Durations.size() && Durations[j] == Durations[i])
      ++j;
    Append(entries, Words({uint32_t(j - i), Durations[i]}));
    ++count;
    i = j;
  }
  return Box("stts", TablePayload(count, entries));
}

TMp4Box Stsz(const std::vector<uint32_t>& Sizes) {
  const bool uniform =
      std::all_of(Sizes.begin(), Sizes.end(), [&](uint32_t s) { return s == Sizes.front(); });
  if (uniform && !Sizes.empty())
    return Box("stsz", StszPayload(Sizes.front(), uint32_t(Sizes.size())));
  return Box("stsz", StszPayload(0, uint32_t(Sizes.size()), Sizes));
}

// The source's box as it stands, down to the sample tables, whose chunk tables are
// replaced by the new file's.
TMp4Box CopyBox(const THgMP4FileReader& Reader, const std::string& Bytes, int32_t Node,
                const TMp4Box& NewStsc, const TMp4Box& NewStco) {
  const TFourCC type = Reader.Id(Node);
  if (type == MakeFourCC("stsc")) return NewStsc;
  if (type == MakeFourCC("stco") || type == MakeFourCC("co64")) return NewStco;
  constexpr TFourCC kPath[] = {MakeFourCC("trak"), MakeFourCC("mdia"), MakeFourCC("minf"),
                               MakeFourCC("stbl")};
  if (std::find(std::begin(kPath), std::end(kPath), type) != std::end(kPath)) {
    TMp4Box box{false, type};
    for (int32_t c = Reader.FirstChild(Node); Reader.IsNode(c); c = Reader.NextSibling(c))
      box.Children.push_back(CopyBox(Reader, Bytes, c, NewStsc, NewStco));
    return box;
  }
  const auto start = size_t(Reader.NodeStart(Node)), end = size_t(Reader.NodeEnd(Node));
  return RawBytes(TBytes(Bytes.begin() + ptrdiff_t(start), Bytes.begin() + ptrdiff_t(end)));
}

TMp4Box DataReferences() {
  return Container("dinf", {Box("dref", Join({FullBoxHead(0), BE32(1),
                                              BuildMp4({Box("url ", FullBoxHead(0, 1))}).Bytes}))});
}

struct TNewTrack {
  uint32_t Id = 0;
  char Handler[5] = "meta";
  std::string Name;
  TMp4Box MediaHeader;
  TBytes SampleEntry;
  uint32_t TimeScale = 1000;
};

TMp4Box NewTrak(const TNewTrack& T, const TOutTables& Tables, uint64_t MovieDuration,
                uint64_t Base) {
  uint64_t duration = 0;
  for (const uint32_t d : Tables.Durations)
    duration += d;
  return Container(
      "trak",
      {Box("tkhd", TkhdPayload(0, T.Id, MovieDuration)),
       Container("mdia",
                 {Box("mdhd", MdhdPayload(0, T.TimeScale, duration)),
                  Box("hdlr", HdlrPayload(T.Handler, T.Name)),
                  Container("minf", {T.MediaHeader, DataReferences(),
                                     Container("stbl", {Box("stsd", TablePayload(1, T.SampleEntry)),
                                                        Stts(Tables.Durations),
                                                        Stsc(Tables.PerChunk), Stsz(Tables.Sizes),
                                                        Stco(Tables.Offsets, Base)})})})});
}

// A QuickTime time code track: its description holds the frame rate (a time scale, a frame
// duration, frames per second), its one sample the frame number the recording starts at.
TMp4Box TimeCodeTrak(uint32_t FramesPerSecond, const TOutTables& Tables, uint64_t MovieDuration,
                     uint64_t Base) {
  const TBytes entry = PlainSampleEntry(
      "tmcd",
      Join({BE32(0), BE32(0), BE32(FramesPerSecond), BE32(1), {uint8_t(FramesPerSecond), 0}}));
  // "gmin": graphics mode, the opcolor's three components, balance, reserved.
  const TBytes baseInfo =
      Join({FullBoxHead(0), {0, 0x40}, Words({0x80008000, 0x80000000}), TBytes(4, 0)});
  return NewTrak(
      {3, "tmcd", "Time code", Container("gmhd", {Box("gmin", baseInfo)}), entry, FramesPerSecond},
      Tables, MovieDuration, Base);
}

} // namespace

TInterleavedClip WriteInterleavedClip(const std::string& Source, const std::string& Output) {
  TInterleavedClip clip;
  THgMP4FileReader reader(Source, nullptr);
  if (reader.Analyze(0) != kDone) return clip;
  const TMp4Trak *video = nullptr, *sound = nullptr;
  for (const TMp4Trak& t : reader.Traks) {
    if (t.MediaKind == mkVideo && !video) video = &t;
    if (t.MediaKind == mkSound && !sound) sound = &t;
  }
  const int32_t moov = reader.FindChild(-1, MakeFourCC("moov"));
  const int32_t ftyp = reader.FindChild(-1, MakeFourCC("ftyp"));
  const int32_t mvhd = reader.FindChild(moov, MakeFourCC("mvhd"));
  if (!video || !sound || ftyp < 0 || mvhd < 0 || video->stts.Table.empty()) return clip;
  const std::string bytes = ReadFile(Source);

  std::vector<TSourceChunk> chunks = ChunksOf(*video, true);
  for (TSourceChunk& c : ChunksOf(*sound, false))
    chunks.push_back(std::move(c));
  std::sort(chunks.begin(), chunks.end(),
            [](const TSourceChunk& a, const TSourceChunk& b) { return a.Offset < b.Offset; });
  const std::vector<uint32_t> videoDurations = SampleDurations(*video);
  const double videoScale = std::max<double>(video->mdhd.TimeScale, 1);
  const auto framesPerSecond =
      uint32_t(std::lround(videoScale / std::max<uint32_t>(video->stts.Table[0].SampleDelta, 1)));

  std::array<TOutTables, kOutTracks> out;
  TBytes mdat;
  const auto put = [&](TOutTrack Track, const uint8_t* Data, size_t Size, uint32_t Samples) {
    out[Track].Offsets.push_back(mdat.size());
    out[Track].PerChunk.push_back(Samples);
    mdat.insert(mdat.end(), Data, Data + Size);
  };
  const auto putData = [&] {
    const TBytes sample = FrameDataSample(uint32_t(out[kData].Sizes.size()));
    put(kData, sample.data(), sample.size(), 1);
    out[kData].Sizes.push_back(kFrameDataSize);
  };
  // The frame number of 01:00:00:00, the time code a camera starts a card's clips at.
  const TBytes start = BE32(3600 * framesPerSecond);
  put(kTimeCode, start.data(), start.size(), 1);
  out[kTimeCode].Sizes.push_back(4);
  out[kTimeCode].Durations.push_back(uint32_t(video->stsz.SampleCount));
  uint64_t videoTime = 0;
  uint32_t nextSecond = 1;
  for (const TSourceChunk& c : chunks) {
    uint64_t at = c.Offset, length = 0;
    for (const uint32_t s : c.Sizes)
      length += s;
    if (at > bytes.size() || length > bytes.size() - at) return clip;
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.data()) + at;
    if (!c.Video) {
      put(kSound, data, size_t(length), uint32_t(c.Sizes.size()));
      putData();
      continue;
    }
    for (size_t i = 0; i < c.Sizes.size(); ++i) {
      if (double(videoTime) / videoScale >= nextSecond) {
        const TBytes telemetry = TelemetryChunk(nextSecond++);
        put(kTelemetry, telemetry.data(), telemetry.size(), 1);
        out[kTelemetry].Sizes.push_back(uint32_t(telemetry.size()));
        out[kTelemetry].Durations.push_back(1000);
      }
      put(kVideo, data, c.Sizes[i], 1);
      data += c.Sizes[i];
      const size_t sample = c.FirstSample + i;
      videoTime += sample < videoDurations.size() ? videoDurations[sample] : 0;
      putData();
    }
  }
  const TBytes ftypBytes(bytes.begin() + reader.NodeStart(ftyp),
                         bytes.begin() + reader.NodeEnd(ftyp));
  const uint64_t base = ftypBytes.size() + 8;
  if (base + mdat.size() > UINT32_MAX) return clip;
  // The per-frame data lasts as long as the video, in its time scale.
  const uint64_t dataSamples = out[kData].Sizes.size();
  out[kData].Durations.assign(
      dataSamples, uint32_t(std::max<uint64_t>(videoTime / std::max<uint64_t>(dataSamples, 1), 1)));

  TBytes movieHeader(bytes.begin() + reader.NodeStart(mvhd), bytes.begin() + reader.NodeEnd(mvhd));
  // The id the next track added would get: after the time code, telemetry and data tracks.
  WriteBE32(&movieHeader[movieHeader.size() - 4], 6);
  const uint64_t movieDuration = reader.Mvhd.Duration;
  std::vector<TMp4Box> moovChildren = {
      RawBytes(movieHeader),
      CopyBox(reader, bytes, video->TrakNode, Stsc(out[kVideo].PerChunk),
              Stco(out[kVideo].Offsets, base)),
      CopyBox(reader, bytes, sound->TrakNode, Stsc(out[kSound].PerChunk),
              Stco(out[kSound].Offsets, base)),
      TimeCodeTrak(framesPerSecond, out[kTimeCode], movieDuration, base)};
  moovChildren.push_back(
      NewTrak({4, "meta", "Telemetry", Box("nmhd", FullBoxHead(0)), PlainSampleEntry("tlmk"), 1000},
              out[kTelemetry], movieDuration, base));
  moovChildren.push_back(NewTrak({5, "meta", "Frame data", Box("nmhd", FullBoxHead(0)),
                                  PlainSampleEntry("frmd"), uint32_t(videoScale)},
                                 out[kData], movieDuration, base));

  const TBytes file = BuildMp4({RawBytes(ftypBytes), Box(MakeFourCC("mdat"), std::move(mdat)),
                                Container("moov", std::move(moovChildren))})
                          .Bytes;
  std::ofstream stream(Output, std::ios::binary | std::ios::trunc);
  stream.write(reinterpret_cast<const char*>(file.data()), std::streamsize(file.size()));
  if (!stream) return clip;
  clip.Written = true;
  clip.VideoChunks = uint32_t(out[kVideo].Offsets.size());
  clip.AudioChunks = uint32_t(out[kSound].Offsets.size());
  clip.DataChunks = uint32_t(out[kData].Offsets.size());
  clip.TelemetryChunks = uint32_t(out[kTelemetry].Offsets.size());
  return clip;
}

} // namespace clw::test
