#pragma once
// File kinds, their detection, and the one factory through which the job creates the
// reader and writer of a kind. Each container format registers its classes here.
#include "container/HgFileBase.h"
#include "mp4/Mp4BoxTypes.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

namespace clw {

enum TFileKind : int32_t {
  kindAvi = 1,
  kindMp4 = 2,
  kindNotFound = -1,
  kindCannotOpen = -2,
  kindCannotRead = -3,
  kindUnknown = -4,
};

// Reads the first eight bytes: a top-level box type in bytes 4..7 makes an MP4-family
// file (tested first), "RIFF" in bytes 0..3 an AVI file.
int32_t DetectFileKind(const std::string& FileName);

class TFormatRegistry {
public:
  using TReaderMaker = std::function<std::unique_ptr<THgFileReader>(const std::string&)>;
  // A writer writes into the stream it is given, from its current position; the job owns
  // the file behind it.
  using TWriterMaker = std::function<std::unique_ptr<THgFileWriter>(THgFileReader&, TStream64&)>;

  // Opens and analyses a reference clip for the writers of a kind that take one; null with
  // a refusal (TReferenceVerdict) when it cannot serve.
  using TReferenceOpener = std::function<std::unique_ptr<THgFileReader>(
      const std::string&, int32_t& Refusal, const THgProgressEvent&)>;

  void Register(int32_t Kind, TReaderMaker MakeReader, TWriterMaker MakeWriter,
                TReferenceOpener OpenReference = nullptr);
  bool HasReader(int32_t Kind) const;
  bool HasWriter(int32_t Kind) const;
  // Null when no format of that kind is built in.
  std::unique_ptr<THgFileReader> CreateReader(int32_t Kind, const std::string& FileName) const;
  std::unique_ptr<THgFileWriter> CreateWriter(int32_t Kind, THgFileReader& Reader,
                                              TStream64& Output) const;
  // Refusal 1 (unusable) when the kind takes no reference.
  std::unique_ptr<THgFileReader> OpenReference(int32_t Kind, const std::string& FileName,
                                               int32_t& Refusal,
                                               const THgProgressEvent& Progress = {}) const;

  // The formats this build can check and repair.
  static const TFormatRegistry& BuiltIn();

private:
  struct TEntry {
    TReaderMaker MakeReader;
    TWriterMaker MakeWriter;
    TReferenceOpener OpenReference;
  };
  std::map<int32_t, TEntry> FEntries;
};

} // namespace clw
