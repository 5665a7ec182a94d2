#include "mp4/HgMp4Stream.h"

#include "mp4/Mp4BoxTypes.h"
#include "streams/Endian.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace clw {

namespace {

constexpr int64_t kMaxPosition = std::numeric_limits<int64_t>::max();
// A box that says "to the end of the file" (size 0) is believed only this close to the
// end: a run of zero bytes in damaged data reads as a size of 0 far more often than a muxer
// writes one, and muxers that do write one do it for a final "mdat" of little remaining
// length only when they could not seek back.
constexpr int64_t kSizeZeroTail = 1025;

int64_t EndOf(int64_t dataPosition, uint64_t size, int64_t headerLength) {
  if (size <= uint64_t(headerLength)) return dataPosition;
  const uint64_t body = size - uint64_t(headerLength);
  if (body > uint64_t(kMaxPosition - dataPosition)) return kMaxPosition;
  return dataPosition + int64_t(body);
}

} // namespace

int64_t TPosTag::End() const {
  return EndOf(DataPosition, Size, HeaderLength);
}

THgMp4Stream::THgMp4Stream(TStream64* AStream) : Stream(AStream) {
  if (Stream) StreamSize = Stream->Size();
  Reset();
}

void THgMp4Stream::Reset() {
  Depth = 0;
  Tags.clear();
  ScanMode = false;
  ScanPosition = 0;
  ParentEnd = 0;
}

int64_t THgMp4Stream::Seek(int64_t Offset, uint16_t Origin) {
  return Stream ? Stream->Seek(Offset, Origin) : -1;
}

bool THgMp4Stream::IsContainer(TFourCC Type) const {
  return IsContainerBoxType(Type);
}

bool THgMp4Stream::ReadExact(void* Buffer, int64_t Count) {
  return Stream->Read(Buffer, Count) == Count;
}

bool THgMp4Stream::WriteExact(const void* Buffer, int64_t Count) {
  return Stream->Write(Buffer, Count) == Count;
}

void THgMp4Stream::Push(const TPosTag& Tag) {
  Tags.resize(Depth);
  Tags.push_back(Tag);
  ++Depth;
}

void THgMp4Stream::MakeCurrent(const TPosTag& Tag) {
  AtomType = Tag.Type;
  AtomSize = Tag.Size;
  AtomDataPosition = Tag.DataPosition;
  AtomHeaderLength = Tag.HeaderLength;
  IsContainerAtom = (Tag.Flags & TPosTag::kContainer) != 0;
}

int64_t THgMp4Stream::CurrentEnd() const {
  return Depth > 0 ? Tags[Depth - 1].End() : kMaxPosition;
}

bool THgMp4Stream::Accept(TFourCC Type, uint64_t Size, int64_t DataPosition, uint8_t HeaderLength,
                          bool Container) {
  TPosTag tag;
  tag.Size = Size;
  tag.Type = Type;
  tag.DataPosition = DataPosition;
  tag.HeaderLength = HeaderLength;
  tag.Flags = uint16_t((HeaderLength == 16 ? TPosTag::kLargeHeader : 0) |
                       (Container ? TPosTag::kContainer : 0));
  AtEndOfFile = DataPosition >= StreamSize;
  LastDataPosition = DataPosition;
  HeaderValid = true;
  Push(tag);
  MakeCurrent(tag);
  AtEndOfAtom = tag.End() <= DataPosition;
  return true;
}

bool THgMp4Stream::AcceptScanned(int64_t TypePosition) {
  if (TypePosition < 0) return false;
  ScanPosition = TypePosition + 1;
  TFourCC type = AtomType;
  uint64_t size = AtomSize;
  int64_t dataPosition = TypePosition + 4;
  uint8_t headerLength = 8;
  // The window only saw the 32-bit field; a box with a 64-bit size carries it right here.
  if (size == 1) {
    uint8_t large[8];
    if (ReadExact(large, 8)) {
      size = ReadBE64(large);
      dataPosition += 8;
      headerLength = 16;
    } else {
      Stream->Seek(dataPosition, soBeginning);
    }
  }
  if (size == 0) size = headerLength + uint64_t(std::max<int64_t>(StreamSize - dataPosition, 0));
  return Accept(type, size, dataPosition, headerLength, IsContainerBoxType(type));
}

bool THgMp4Stream::NextAtom(bool Tolerant) {
  AtEndOfFile = true;
  HeaderValid = false;
  IsContainerAtom = false;
  if (!Stream) return false;
  if (ScanMode) return AcceptScanned(FindNextAtom());

  uint8_t field[8];
  if (!ReadExact(field, 4)) return false;
  uint64_t size = ReadBE32(field);
  if (size >= 2 && size < 8) {
    // No box is that small; the header is garbage and so is every size that follows it.
    ScanMode = true;
    AtomSize = size;
    AtomType = 0;
    LastDataPosition = Stream->Position();
    AtEndOfFile = LastDataPosition >= StreamSize;
    AtEndOfAtom = Depth > 0 ? ParentEnd <= LastDataPosition : AtEndOfFile;
    HeaderValid = !AtEndOfFile;
    return HeaderValid;
  }
  if (!ReadExact(field, 4)) return false;
  const TFourCC type = ReadLE32(field);
  uint8_t headerLength = 8;
  if (size == 1) {
    if (!ReadExact(field, 8)) return false;
    size = ReadBE64(field);
    headerLength = 16;
  }
  const int64_t dataPosition = Stream->Position();
  const int64_t headerPosition = dataPosition - headerLength;
  if (Depth > 0) ParentEnd = Tags[Depth - 1].End();
  bool container = IsContainerBoxType(type);

  const int64_t remaining = std::max<int64_t>(StreamSize - dataPosition, 0);
  const int64_t limit = Depth > 0 ? std::min(ParentEnd, StreamSize) : StreamSize;
  bool plausible = IsKnownBoxType(type) && (Depth > 0 || IsTopLevelBoxType(type));
  if (size == 0) {
    // "To the end": of the enclosing box, or of the file at the top.
    plausible = plausible && remaining < kSizeZeroTail;
    size = headerLength + uint64_t(std::max<int64_t>(limit - dataPosition, 0));
  } else if (size < headerLength || size - headerLength > uint64_t(remaining)) {
    plausible = false;
  } else if (Depth > 0 && EndOf(dataPosition, size, headerLength) > ParentEnd) {
    plausible = false;
  }
  if (plausible) return Accept(type, size, dataPosition, headerLength, container);

  if (Tolerant) {
    // Whatever follows is kept as media data, so the frames in it can still be found.
    ScanMode = true;
    const TFourCC kept = IsKnownBoxType(type) ? type : kmdat;
    const uint64_t toEnd = uint64_t(std::max<int64_t>(StreamSize - headerPosition, 0));
    return Accept(kept, std::max<uint64_t>(toEnd, headerLength), dataPosition, headerLength, false);
  }
  // Search from just past the rejected type code; starting on it would take the very same
  // header back, since the scan is laxer about sizes than the rules above.
  ScanPosition = headerPosition + 4 + 1;
  return AcceptScanned(FindNextAtom());
}

int64_t THgMp4Stream::FindNextAtom() {
  if (!Stream) return -1;
  if (ScanPosition > 0 && Stream->Seek(ScanPosition, soBeginning) != ScanPosition) return -1;
  uint8_t w[4];
  if (!ReadExact(w, 4)) return -1;
  for (;;) {
    if ((w[0] | w[1] | w[2] | w[3]) == 0) {
      if (!ReadExact(w, 4)) return -1;
      continue;
    }
    if (IsBoxTypeLead(w[0]) && IsBoxTypeChar(w[1]) && IsBoxTypeChar(w[2]) && IsBoxTypeChar(w[3])) {
      const int64_t windowEnd = Stream->Position();
      // A type code in the first four bytes of the file has no size field before it.
      if (windowEnd >= 8) {
        uint8_t header[8];
        if (Stream->Seek(windowEnd - 8, soBeginning) != windowEnd - 8 || !ReadExact(header, 8))
          return -1;
        const uint64_t size = ReadBE32(header);
        const TFourCC type = ReadLE32(header + 4);
        if (IsContainerBoxType(type) || IsBulkBoxType(type) || size <= kScanMaxPlainSize) {
          AtomType = type;
          AtomSize = size;
          return windowEnd - 4;
        }
      }
      w[0] = 0; // not a box: slide on by one byte
      continue;
    }
    // Keep the tail that could still begin a type code and read only what is missing.
    int keep = 0;
    if (!IsBoxTypeLead(w[3]))
      keep = 0;
    else if (!IsBoxTypeLead(w[2]))
      keep = 1;
    else if (!IsBoxTypeLead(w[1]))
      keep = 2;
    else
      keep = 3;
    std::memmove(w, w + 4 - keep, size_t(keep));
    if (!ReadExact(w + keep, 4 - keep)) return -1;
  }
}

int64_t THgMp4Stream::LeaveAtom() {
  AtEndOfAtom = false;
  if (!HeaderValid || !Stream) return -1;
  int64_t result = -1;
  if (ScanMode) {
    ScanPosition = FindNextAtom();
    const int64_t position = Stream->Position();
    while (Depth > 0) {
      --Depth;
      if (Depth == 0 || Tags[Depth - 1].End() > position) break;
    }
  } else {
    if (Depth == 0) return -1;
    result = std::min(Tags[Depth - 1].End(), std::max(StreamSize, Stream->Position()));
    if (Stream->Position() != result) Stream->Seek(result, soBeginning);
    --Depth;
  }
  Tags.resize(Depth);
  const int64_t position = Stream->Position();
  AtEndOfFile = position >= StreamSize;
  if (Depth > 0) {
    const TPosTag& top = Tags[Depth - 1];
    MakeCurrent(top);
    if (IsContainerAtom) ParentEnd = top.End();
    AtEndOfAtom = top.End() <= position || AtEndOfFile;
  } else {
    ParentEnd = 0;
    AtomHeaderLength = -1;
  }
  return result;
}

int64_t THgMp4Stream::Read(void* Buffer, int64_t Count) {
  if (!Stream || Count < 0) return -1;
  if (Count == 0) return 0;
  auto* bytes = static_cast<uint8_t*>(Buffer);
  const bool clipped = HeaderValid && Depth > 0;
  const int64_t end = CurrentEnd();
  int64_t want = Count;
  if (clipped) {
    const int64_t position = Stream->Position();
    if (position >= end) {
      std::memset(bytes, 0, size_t(Count));
      AtEndOfAtom = true;
      return -1;
    }
    want = std::min(Count, end - position);
  }
  const int64_t got = std::max<int64_t>(Stream->Read(bytes, want), 0);
  if (got < Count) std::memset(bytes + got, 0, size_t(Count - got));
  if (clipped) AtEndOfAtom = Stream->Position() >= end;
  return got > 0 ? got : -1;
}

int64_t THgMp4Stream::ReadU32BE(uint32_t& Value) {
  uint8_t field[4];
  const int64_t got = Read(field, 4);
  Value = got == 4 ? ReadBE32(field) : 0;
  return got;
}

int64_t THgMp4Stream::Skip(int64_t Count) {
  if (!Stream || Count < 0) return -1;
  const int64_t position = Stream->Position();
  const bool clipped = HeaderValid && Depth > 0;
  const int64_t end = CurrentEnd();
  if (clipped) Count = std::clamp<int64_t>(end - position, 0, Count);
  if (Count > 0 && Stream->Seek(Count, soCurrent) < 0) return -1;
  if (clipped) AtEndOfAtom = position + Count >= end;
  return Count;
}

void THgMp4Stream::SetRoot(TFourCC Type, uint64_t Size, int64_t DataPosition) {
  Depth = 0;
  Tags.clear();
  TPosTag tag;
  tag.Type = Type;
  tag.Size = Size;
  tag.DataPosition = DataPosition;
  tag.HeaderLength = Size >= (uint64_t(1) << 32) ? 16 : 8;
  tag.Flags = uint16_t((tag.HeaderLength == 16 ? TPosTag::kLargeHeader : 0) |
                       (IsContainerBoxType(Type) ? TPosTag::kContainer : 0));
  Push(tag);
  MakeCurrent(tag);
  HeaderValid = true;
  LastDataPosition = DataPosition;
  ParentEnd = tag.End();
  Seek(DataPosition, soBeginning);
  AtEndOfFile = DataPosition >= StreamSize;
  AtEndOfAtom = tag.End() <= DataPosition;
}

int64_t THgMp4Stream::WriteAtom(TFourCC Type, const void* Data, int64_t Size) {
  if (!Stream || Size < 0) return -1;
  uint8_t header[16];
  int64_t headerLength = 8;
  if (uint64_t(Size) + 8 >= (uint64_t(1) << 32)) {
    WriteBE32(header, 1);
    WriteLE32(header + 4, Type);
    WriteBE64(header + 8, uint64_t(Size) + 16);
    headerLength = 16;
  } else {
    WriteBE32(header, uint32_t(Size + 8));
    WriteLE32(header + 4, Type);
  }
  if (!WriteExact(header, headerLength)) return -1;
  if (Size > 0 && !WriteExact(Data, Size)) return -1;
  return headerLength + Size;
}

int64_t THgMp4Stream::BeginAtom(TFourCC Type, bool Large) {
  if (!Stream) return -1;
  uint8_t header[16] = {};
  WriteBE32(header, Large ? 1 : 8);
  WriteLE32(header + 4, Type);
  const int64_t headerLength = Large ? 16 : 8;
  if (!WriteExact(header, headerLength)) return -1;
  TPosTag tag;
  tag.Type = Type;
  tag.DataPosition = Stream->Position();
  tag.HeaderLength = uint8_t(headerLength);
  tag.Flags = Large ? TPosTag::kLargeHeader : 0;
  Push(tag);
  WriteMode = true;
  return tag.DataPosition;
}

int64_t THgMp4Stream::WriteData(const void* Data, int64_t Count) {
  if (!Stream || !WriteMode || Count < 0) return -1;
  return Stream->Write(Data, Count);
}

int64_t THgMp4Stream::EndAtom(bool /*Large*/) {
  if (!Stream || !WriteMode || Depth == 0) return -1;
  const int64_t end = Stream->Seek(0, soEnd);
  if (end < 0) return -1;
  StreamSize = end;
  const TPosTag top = Tags[Depth - 1];
  --Depth;
  Tags.resize(Depth);
  WriteMode = Depth > 0;
  const uint64_t length = uint64_t(end - top.DataPosition);
  uint8_t field[8];
  bool written = false;
  if (Stream->Seek(top.DataPosition - 8, soBeginning) == top.DataPosition - 8) {
    if (top.HeaderLength == 16) {
      WriteBE64(field, length + 16);
      written = WriteExact(field, 8);
    } else if (length + 8 <= 0xFFFFFFFFu) {
      WriteBE32(field, uint32_t(length + 8));
      written = WriteExact(field, 4);
    }
  }
  Stream->Seek(end, soBeginning);
  return written ? end : -1;
}

} // namespace clw
