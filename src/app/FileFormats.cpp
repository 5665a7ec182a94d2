#include "app/FileFormats.h"

#include "avi/HgAVIFile.h"
#include "mp4repair/HgMP4FileWriter.h"
#include "mp4repair/MediaDataAnalysis.h"
#include "mp4repair/ReferenceClip.h"
#include "streams/Endian.h"

#include <sys/stat.h>

#include <cerrno>

namespace clw {

int32_t DetectFileKind(const std::string& FileName) {
  struct stat info {};
  // Only a name that leads nowhere is "not found"; a loop of symbolic links or a folder on
  // the way that may not be searched is a file that cannot be opened.
  if (::stat(FileName.c_str(), &info) != 0)
    return errno == ENOENT || errno == ENOTDIR ? kindNotFound : kindCannotOpen;
  // Only regular files: opening a FIFO would block, and a folder is no video.
  if (!S_ISREG(info.st_mode)) return kindCannotOpen;
  std::unique_ptr<TFileStreamW> stream;
  try {
    stream = std::make_unique<TFileStreamW>(FileName, fmOpenRead | fmShareDenyNone);
  } catch (const EStreamError&) {
    return kindCannotOpen;
  }
  if (stream->Size() < 12) return kindUnknown;
  uint8_t first[4], second[4];
  if (stream->Read(first, 4) < 4 || stream->Read(second, 4) < 4) return kindCannotRead;
  if (IsTopLevelBoxType(ReadLE32(second))) return kindMp4;
  if (ReadLE32(first) == MakeFourCC("RIFF")) return kindAvi;
  return kindUnknown;
}

void TFormatRegistry::Register(int32_t Kind, TReaderMaker MakeReader, TWriterMaker MakeWriter,
                               TReferenceOpener OpenReference) {
  FEntries[Kind] = TEntry{std::move(MakeReader), std::move(MakeWriter), std::move(OpenReference)};
}

bool TFormatRegistry::HasReader(int32_t Kind) const {
  auto it = FEntries.find(Kind);
  return it != FEntries.end() && it->second.MakeReader;
}

bool TFormatRegistry::HasWriter(int32_t Kind) const {
  auto it = FEntries.find(Kind);
  return it != FEntries.end() && it->second.MakeWriter;
}

std::unique_ptr<THgFileReader> TFormatRegistry::CreateReader(int32_t Kind,
                                                             const std::string& FileName) const {
  auto it = FEntries.find(Kind);
  if (it == FEntries.end() || !it->second.MakeReader) return nullptr;
  return it->second.MakeReader(FileName);
}

std::unique_ptr<THgFileWriter> TFormatRegistry::CreateWriter(int32_t Kind, THgFileReader& Reader,
                                                             TStream64& Output) const {
  auto it = FEntries.find(Kind);
  if (it == FEntries.end() || !it->second.MakeWriter) return nullptr;
  return it->second.MakeWriter(Reader, Output);
}

std::unique_ptr<THgFileReader>
TFormatRegistry::OpenReference(int32_t Kind, const std::string& FileName, int32_t& Refusal,
                               const THgProgressEvent& Progress) const {
  Refusal = rvUnreadable;
  auto it = FEntries.find(Kind);
  if (it == FEntries.end() || !it->second.OpenReference) return nullptr;
  return it->second.OpenReference(FileName, Refusal, Progress);
}

const TFormatRegistry& TFormatRegistry::BuiltIn() {
  static const TFormatRegistry registry = [] {
    TFormatRegistry formats;
    formats.Register(
        kindAvi,
        [](const std::string& FileName) -> std::unique_ptr<THgFileReader> {
          return std::make_unique<THgAVIFileReader>(FileName);
        },
        [](THgFileReader& Reader, TStream64& Output) -> std::unique_ptr<THgFileWriter> {
          return std::make_unique<THgAVIFileWriter>(static_cast<THgAVIFileReader&>(Reader), Output);
        });
    formats.Register(
        kindMp4,
        [](const std::string& FileName) -> std::unique_ptr<THgFileReader> {
          return std::make_unique<THgMP4FileReader>(FileName, &MediaDataAnalysis());
        },
        [](THgFileReader& Reader, TStream64& Output) -> std::unique_ptr<THgFileWriter> {
          return std::make_unique<THgMP4FileWriter>(static_cast<THgMP4FileReader&>(Reader), Output);
        },
        [](const std::string& FileName, int32_t& Refusal,
           const THgProgressEvent& Progress) -> std::unique_ptr<THgFileReader> {
          return OpenReferenceClip(FileName, Refusal, Progress);
        });
    return formats;
  }();
  return registry;
}

} // namespace clw
