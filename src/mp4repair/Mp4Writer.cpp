// Write: the order of a repair, and the movie box of the copy. Boxes that carry no sample
// positions are copied from the damaged file byte for byte; headers and sample tables are
// written anew, taking what the damaged file lost from the reference clip.
#include "mp4/AacDecoder.h"
#include "mp4/Mp4BoxTypes.h"
#include "mp4/Mp4BoxWriters.h"
#include "mp4repair/HgMP4FileWriter.h"
#include "mp4repair/TrackDescriptions.h"

#include <algorithm>

namespace clw {

namespace {

constexpr int64_t kCopyBufferSize = 1 << 20;
constexpr int64_t kKernelCopyPiece = 16 << 20;
// Media headers of tracks neither video nor sound: null (data, time code, telemetry),
// QuickTime's generic one, hint, subtitle.
constexpr TFourCC knmhd = MakeFourCC("nmhd");
constexpr TFourCC kgmhd = MakeFourCC("gmhd");
constexpr TFourCC khmhd = MakeFourCC("hmhd");
constexpr TFourCC ksthd = MakeFourCC("sthd");

// Boxes that describe samples one by one: copied only while the samples are the damaged
// file's own, since for rebuilt samples they would describe others.
constexpr TFourCC kPerSample[] = {kctts,
                                  ksdtp,
                                  kstz2,
                                  MakeFourCC("stps"),
                                  MakeFourCC("sbgp"),
                                  MakeFourCC("subs"),
                                  MakeFourCC("saiz"),
                                  MakeFourCC("saio"),
                                  MakeFourCC("cslg"),
                                  MakeFourCC("padb")};

bool IsPerSample(TFourCC Type) {
  return std::find(std::begin(kPerSample), std::end(kPerSample), Type) != std::end(kPerSample);
}

// The tables of a track. Where a "trak" header was lost the reader finds them straight
// under "moov" and the track is written anew from them; a copy left there would be a second
// track without its "trak". (Its headers, out of place there as anywhere, IsCopyable
// refuses.)
bool IsTrackTable(TFourCC Type) {
  return IsSampleTableBoxType(Type) || IsPerSample(Type);
}

// Room left free in the damaged file: the copy is written without it.
bool IsPadding(TFourCC Type) {
  return Type == kfree || Type == kskip || Type == kwide;
}

// The fixed "ftyp" of a copy whose damaged file and reference hold none, and the one a
// QuickTime movie opens with.
const uint8_t kIsomFtyp[] = {'i', 's', 'o', 'm', 0, 0, 0, 1, 'i', 's', 'o', 'm'};
const uint8_t kQuickTimeFtyp[] = {'q', 't', ' ', ' ', 0, 0, 2, 0, 'q', 't', ' ', ' '};

// QuickTime names the media handler's component type "mhlr" where ISO files write zero.
bool IsQuickTimeMovie(const THgMP4FileReader& Reader) {
  return std::any_of(Reader.Traks.begin(), Reader.Traks.end(), [](const TMp4Trak& t) {
    return t.hdlr.Version != kNotRead && t.hdlr.PreDefined == 0x6D686C72u;
  });
}

} // namespace

THgMP4FileWriter::THgMP4FileWriter(THgMP4FileReader& Reader, const std::string& FileName)
    : Input(Reader), AacDecoderLibrary(clw::AacLibrary()), FileStream(CreateOutput(FileName)),
      Buffered(std::make_unique<TBufferedWriteStream>(*FileStream)),
      Output(std::make_unique<THgMp4Stream>(Buffered.get())) {}

THgMP4FileWriter::THgMP4FileWriter(THgMP4FileReader& Reader, TStream64& Out)
    : Input(Reader), AacDecoderLibrary(clw::AacLibrary()),
      Buffered(std::make_unique<TBufferedWriteStream>(Out)),
      Output(std::make_unique<THgMp4Stream>(Buffered.get())) {}

THgMP4FileWriter::~THgMP4FileWriter() = default;

THgMP4FileReader* THgMP4FileWriter::Reference() const {
  return dynamic_cast<THgMP4FileReader*>(ReferenceReader.get());
}

void THgMP4FileWriter::ReportProgress(int64_t Percent) {
  if (Percent == LastPercent) return;
  LastPercent = Percent;
  Progress(Percent);
}

bool THgMP4FileWriter::FindTrackBox(const TRebuiltTrack& Track, TFourCC Type,
                                    const THgMP4FileReader*& From, int32_t& Node) const {
  const bool ownRead = Type != kstsd || Track.stsd.Version != kNotRead;
  const int32_t own = Type == kstsd   ? Track.StsdNode
                      : Type == kvmhd ? Track.VmhdNode
                                      : Track.SmhdNode;
  if (own >= 0 && ownRead) {
    From = &Input;
    Node = own;
    return true;
  }
  const THgMP4FileReader* reference = Reference();
  if (!reference || Track.ReferenceTrackIndex < 0) return false;
  const TMp4Trak& match = reference->Traks[size_t(Track.ReferenceTrackIndex)];
  const int32_t theirs = Type == kstsd   ? match.StsdNode
                         : Type == kvmhd ? match.VmhdNode
                                         : match.SmhdNode;
  if (theirs < 0 || (Type == kstsd && match.stsd.Version == kNotRead)) return false;
  From = reference;
  Node = theirs;
  return true;
}

bool THgMP4FileWriter::IsWritten(const TRebuiltTrack& Track) const {
  if (Track.SoundUndelimited) return false;
  bool samples = false;
  for (const TSlice& c : Track.Chunks)
    samples |= Track.UniformSampleSize > 0 ? c.SampleCount > 0 : !c.Samples.empty();
  const THgMP4FileReader* from = nullptr;
  int32_t node = -1;
  return samples && FindTrackBox(Track, kstsd, from, node);
}

// Every written track needs an identifier of its own; headers taken from several files
// can bring the same one twice.
void THgMP4FileWriter::AssignTrackIds() {
  uint32_t next = 1;
  for (const TRebuiltTrack& t : Tracks)
    if (IsWritten(t) && t.tkhd.TrackId < UINT32_MAX) next = std::max(next, t.tkhd.TrackId + 1);
  std::vector<uint32_t> used;
  for (TRebuiltTrack& t : Tracks) {
    if (!IsWritten(t)) continue;
    if (t.tkhd.TrackId == 0 || std::find(used.begin(), used.end(), t.tkhd.TrackId) != used.end())
      t.tkhd.TrackId = next++;
    used.push_back(t.tkhd.TrackId);
  }
  Mvhd.NextTrackId = std::max(uint32_t(Mvhd.NextTrackId), next);
}

int32_t THgMP4FileWriter::Write() {
  Cancelled = false;
  ReferenceNeeded = false;
  WithoutSound = false;
  LastPercent = -1;
  Mvhd = Input.Mvhd;
  CopyBuffer.assign(size_t(kCopyBufferSize), 0);
  CopyInputTracks();

  RebuildMode = ChooseRebuildMode();
  // A file without a movie box in which slice detection found no picture can still be
  // walked chunk by chunk against a reference clip.
  if (RebuildMode == rmNothing && Tracks.empty() && !ReferenceReader &&
      Input.IsNode(Input.Scan.MediaDataNode)) {
    FireReferenceNeeded();
    if (ReferenceReader) RebuildMode = ChooseRebuildMode();
  }
  if (RebuildMode == rmNothing) return kNothingRecovered;
  CheckCompleteness();
  if (ReferenceNeeded && !ReferenceReader) FireReferenceNeeded();

  // A camera that records uncompressed sound frame by frame leaves no AAC pattern for the
  // one-frame-per-chunk test, which then mistakes the interleave; with PCM known from the
  // reference the slices are found again without that hypothesis.
  const THgMP4FileReader* reference = Reference();
  if (reference && Input.SliceStatistics.SingleFrameInterleave && Input.MediaAnalysis()) {
    bool describedSound = false;
    for (const TMp4Trak& t : Input.Traks)
      describedSound |= t.MediaKind == mkSound && !t.stsd.Entries.empty();
    const TMp4Trak* firstSound = nullptr;
    for (const TMp4Trak& t : reference->Traks)
      if (!firstSound && t.MediaKind == mkSound) firstSound = &t;
    if (!describedSound && firstSound && !firstSound->stsd.Entries.empty() &&
        IsPcmSampleEntry(firstSound->stsd.Entries[0].Type)) {
      Input.FindSlices(Input.Scan.MediaDataNode, false);
      FindAudioGaps();
    }
  }

  MatchReferenceTracks();
  BuildChunkLists();
  ParseAudioChunks();
  RemoveDamagedSamples(false);
  DropZeroRuns();
  RemoveDamagedSamples(true);
  ComputeTimings();
  if (Cancelled) return kCancelled;

  // Video that holds no picture a decoder can start from cannot be shown at all, and a
  // copy without the video it had is no repair of a video.
  if (VideoTrack >= 0) {
    TRebuiltTrack& video = Tracks[size_t(VideoTrack)];
    bool sync = false;
    for (const TSlice& c : video.Chunks)
      for (const TNewChunk& s : c.Samples)
        sync |= (s.Flags & TNewChunk::kSync) != 0;
    if (!sync && video.UniformSampleSize == 0) video.Chunks.clear();
    if (!IsWritten(video)) return kNothingRecovered;
  }
  bool anyWritten = false;
  bool soundLost = false;
  for (const TRebuiltTrack& t : Tracks) {
    anyWritten |= IsWritten(t);
    // Sound is missed where the recording had it: the damaged file or the reference says
    // so. Gaps between video chunks alone do not make a recording with sound.
    const THgMP4FileReader* from = nullptr;
    int32_t node = -1;
    soundLost |= t.MediaKind == mkSound && !IsWritten(t) &&
                 (t.Source >= 0 || FindTrackBox(t, kstsd, from, node));
  }
  if (!anyWritten) return kNothingRecovered;
  WithoutSound = soundLost;
  AssignTrackIds();

  const THgMP4FileReader* withFtyp = Input.FindChild(-1, kftyp) >= 0 ? &Input : Reference();
  if ((!withFtyp || withFtyp->FindChild(-1, kftyp) < 0) && RebuildMode != rmFromScan &&
      Input.TableCheck.Shift == 0)
    return kNothingRecovered;
  if (!WriteFtyp() || !WriteMediaData()) return kWriteFailed;
  if (Cancelled) return kCancelled;
  for (size_t i = 0; i < Tracks.size(); ++i)
    if (IsWritten(Tracks[i])) BuildTrackTables(int32_t(i));
  if (!WriteMoov() || !Buffered->Flush()) return kWriteFailed;
  ReportProgress(100);
  return Cancelled ? kCancelled : kDone;
}

bool THgMP4FileWriter::WriteFtyp() {
  const int32_t own = Input.FindChild(-1, kftyp);
  if (own >= 0) return CopyBox(kftyp, Input, own);
  // The file type of a file whose start was cut away shows in its tracks.
  if (Input.TableCheck.Shift != 0 && IsQuickTimeMovie(Input))
    return Output->WriteAtom(kftyp, kQuickTimeFtyp, sizeof kQuickTimeFtyp) >= 0;
  const THgMP4FileReader* reference = Reference();
  const int32_t theirs = reference ? reference->FindChild(-1, kftyp) : -1;
  if (theirs >= 0) return CopyBox(kftyp, *reference, theirs);
  if (RebuildMode != rmFromScan && Input.TableCheck.Shift == 0) return false;
  return Output->WriteAtom(kftyp, kIsomFtyp, sizeof kIsomFtyp) >= 0;
}

bool THgMP4FileWriter::CopyRange(TStream64& From, int64_t Offset, int64_t Count) {
  if (Count <= 0) return true;
  // From file to file the kernel copies, in pieces small enough for a cancel to be felt;
  // whatever it leaves goes through the buffer.
  while (Count > 0 && !Cancelled) {
    const int64_t piece = std::min<int64_t>(Count, kKernelCopyPiece);
    const int64_t copied = Buffered->CopyFrom(From, Offset, piece);
    if (copied < 0) return false;
    Offset += copied;
    Count -= copied;
    if (copied < piece) break;
  }
  if (Count == 0 || Cancelled) return true;
  if (From.Seek(Offset, soBeginning) != Offset) return false;
  while (Count > 0) {
    if (Cancelled) return true;
    const int64_t want = std::min<int64_t>(Count, int64_t(CopyBuffer.size()));
    // Every range lies inside the damaged file; a read that falls short means the file
    // changed under the repair, and the tables would no longer match the copy.
    const int64_t got = From.Read(CopyBuffer.data(), want);
    if (got <= 0 || Output->WriteData(CopyBuffer.data(), got) != got) return false;
    Count -= got;
  }
  return true;
}

bool THgMP4FileWriter::CopyBox(TFourCC Type, const THgMP4FileReader& From, int32_t Node) {
  TStream64* source = From.Source();
  if (!source) return false;
  const int64_t start = From.DataPosition(Node);
  const int64_t end = std::min<int64_t>(From.NodeEnd(Node), int64_t(From.FileSize));
  const int64_t payload = std::max<int64_t>(end - start, 0);
  const bool large = uint64_t(payload) > UINT32_MAX - 8;
  if (Output->BeginAtom(Type, large) < 0) return false;
  return CopyRange(*source, start, payload) && Output->EndAtom(large) >= 0;
}

// A box is copied only as the walk met it in order: a type it knows, lying inside its parent
// after the box copied before it. A header that the walk had to search for (stray letters in
// a handler name, a sample entry taken for a box) would read as something else in the copy.
// Nor is a header or table that the reader reads wherever it meets it, unless it lies where
// it belongs: the copy writes those at their own places, and one met elsewhere in a damaged
// file (a track header inside a sample table) would be read in the copy as the track's own.
// A sample table keeps the tables it is not given anew, and a "minf" its data handler, which
// the reader leaves alone.
bool THgMP4FileWriter::IsCopyable(const THgMP4FileReader& From, int32_t Parent, int32_t Child,
                                  int64_t& CopiedEnd) const {
  const TFourCC type = From.Id(Child);
  const TFourCC parent = From.Id(Parent);
  const bool belongs = parent == kstbl ? IsSampleTableBoxType(type) || type == kstsd
                                       : parent == kminf && type == khdlr;
  if (IsReadBox(type) && !belongs) return false;
  const int64_t start = From.NodeStart(Child);
  const int64_t end = From.NodeEnd(Child);
  if (!IsKnownBoxType(type) || (From.Flags(Child) & nfDropped) || start < CopiedEnd ||
      start < From.DataPosition(Parent) || end > From.NodeEnd(Parent) ||
      end > int64_t(From.FileSize))
    return false;
  CopiedEnd = end;
  return true;
}

bool THgMP4FileWriter::CopyChildren(const THgMP4FileReader& From, int32_t Node,
                                    std::initializer_list<TFourCC> Excluded) {
  if (!From.IsNode(Node)) return true;
  int64_t copiedEnd = 0;
  for (int32_t c = From.FirstChild(Node); From.IsNode(c); c = From.NextSibling(c)) {
    const TFourCC type = From.Id(c);
    if (IsContainerBoxType(type) || IsPadding(type) ||
        (From.Id(Node) == kmoov && IsTrackTable(type)) ||
        std::find(Excluded.begin(), Excluded.end(), type) != Excluded.end() ||
        !IsCopyable(From, Node, c, copiedEnd))
      continue;
    if (!CopyBox(type, From, c)) return false;
  }
  return true;
}

// Each box opens with its header ("mvhd", "tkhd", "mdhd" and "hdlr", the media header,
// "stsd") as the format orders them and strict players expect; the boxes copied from the
// damaged file follow, then what holds the samples.
bool THgMP4FileWriter::WriteMoov() {
  // A fragmented recording's "mvex" would promise fragments this copy does not have.
  if (Output->BeginAtom(kmoov, false) < 0 || !WriteMvhd(*Output, Mvhd) ||
      !CopyChildren(Input, Input.FindChild(-1, kmoov), {MakeFourCC("mvex")}))
    return false;
  for (TRebuiltTrack& t : Tracks)
    if (IsWritten(t) && !WriteTrak(t)) return false;
  return Output->EndAtom(false) >= 0;
}

bool THgMP4FileWriter::WriteMediaHeader(const TRebuiltTrack& Track) {
  if (Track.MediaKind != mkVideo && Track.MediaKind != mkSound) {
    // A track of another kind that the reference describes keeps the media header it
    // came with ("nmhd", or QuickTime's "gmhd" with what it holds); the damaged file's own
    // tracks copy theirs with the rest of their boxes.
    const THgMP4FileReader* reference = Reference();
    if (Track.TrakNode >= 0 || !reference || Track.ReferenceTrackIndex < 0) return true;
    const TMp4Trak& match = reference->Traks[size_t(Track.ReferenceTrackIndex)];
    const int32_t minf = reference->FindChild(reference->FindChild(match.TrakNode, kmdia), kminf);
    for (int32_t c = minf >= 0 ? reference->FirstChild(minf) : -1; reference->IsNode(c);
         c = reference->NextSibling(c)) {
      const TFourCC type = reference->Id(c);
      if ((type == knmhd || type == kgmhd || type == khmhd || type == ksthd) &&
          !CopyBox(type, *reference, c))
        return false;
    }
    return true;
  }
  const bool video = Track.MediaKind == mkVideo;
  const TFourCC header = video ? kvmhd : ksmhd;
  const THgMP4FileReader* from = nullptr;
  int32_t node = -1;
  if (FindTrackBox(Track, header, from, node)) return CopyBox(header, *from, node);
  // A media header is a version, flags and a few zeros; made when neither file has one.
  static const uint8_t kVideoHeader[12] = {0, 0, 0, 1};
  static const uint8_t kSoundHeader[8] = {};
  return Output->WriteAtom(header, video ? kVideoHeader : kSoundHeader,
                           video ? sizeof kVideoHeader : sizeof kSoundHeader) >= 0;
}

bool THgMP4FileWriter::WriteDescription(const TRebuiltTrack& Track, const THgMP4FileReader& From,
                                        int32_t Node) {
  if (Track.InBandAvcConfig.empty()) return CopyBox(kstsd, From, Node);
  const std::vector<uint8_t> payload =
      WithAvcConfig(ReadNodePayload(From, Node, kPlainBoxLimit), Track.InBandAvcConfig,
                    Track.InBandWidth, Track.InBandHeight);
  if (payload.empty()) return CopyBox(kstsd, From, Node);
  return Output->WriteAtom(kstsd, payload.data(), int64_t(payload.size())) >= 0;
}

bool THgMP4FileWriter::WriteTrak(TRebuiltTrack& Track) {
  THgMp4Stream& out = *Output;
  const int32_t trak = Track.TrakNode;
  const int32_t mdia = trak >= 0 ? Input.FindChild(trak, kmdia) : -1;
  const int32_t minf = mdia >= 0 ? Input.FindChild(mdia, kminf) : -1;
  const int32_t stbl = minf >= 0 ? Input.FindChild(minf, kstbl) : -1;
  const bool video = Track.MediaKind == mkVideo;

  TMp4_tkhd tkhd = Track.tkhd;
  if (!Track.InBandAvcConfig.empty()) {
    tkhd.Width = uint32_t(Track.InBandWidth) << 16;
    tkhd.Height = uint32_t(Track.InBandHeight) << 16;
  }
  if (out.BeginAtom(ktrak, false) < 0 || !WriteTkhd(out, tkhd) ||
      (!Track.elst.Table.empty() && !WriteEdts(out, Track.elst)) || !CopyChildren(Input, trak))
    return false;

  if (out.BeginAtom(kmdia, false) < 0 || !WriteMdhd(out, Track.mdhd) ||
      !WriteHdlr(out, Track.hdlr) || !CopyChildren(Input, mdia))
    return false;

  if (out.BeginAtom(kminf, false) < 0 || !WriteMediaHeader(Track) || !WriteDinf(out) ||
      !CopyChildren(Input, minf))
    return false;

  const THgMP4FileReader* from = nullptr;
  int32_t node = -1;
  if (out.BeginAtom(kstbl, false) < 0 || !FindTrackBox(Track, kstsd, from, node) ||
      !WriteDescription(Track, *from, node))
    return false;
  int64_t copiedEnd = 0;
  for (int32_t c = Input.FirstChild(stbl); stbl >= 0 && Input.IsNode(c); c = Input.NextSibling(c)) {
    const TFourCC type = Input.Id(c);
    const bool rewritten = IsPadding(type) || type == kstts || type == kstsz || type == kstco ||
                           type == kco64 || type == kstsc || type == kstsd ||
                           (video && type == kstss) ||
                           ((IsPerSample(type) || type == kstss) && !Track.SamplesAsInSource);
    if (rewritten || IsContainerBoxType(type) || !IsCopyable(Input, stbl, c, copiedEnd)) continue;
    if (!CopyBox(type, Input, c)) return false;
  }
  if (!WriteStts(out, Track.stts) ||
      (!Track.CompositionOffsets.empty() &&
       !WriteCtts(out, Track.CompositionVersion, Track.CompositionOffsets)) ||
      (video && !WriteStss(out, Track.stss)) || !WriteStsc(out, Track.stsc) ||
      !WriteStsz(out, Track.stsz) || !WriteStco(out, Track.stco))
    return false;
  // stbl, minf, mdia, trak
  for (int level = 0; level < 4; ++level)
    if (out.EndAtom(false) < 0) return false;
  return true;
}

} // namespace clw
