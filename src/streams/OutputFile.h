#pragma once
// The file a repaired copy is written into. It is created under a temporary name of its
// own beside the final name ("<final>.<pid>-<random>.partial"), exclusively, so two runs
// writing a copy of the same name never share a file; it is written through the one
// descriptor opened here, flushed to the disk, and only then given its final name. Until
// then nothing that looks like a repaired file exists, and the temporary is removed on
// Discard (or destruction) only while its name still reaches the file written here.
#include "streams/Stream64.h"

#include <string>

namespace clw {

class TOutputFile {
public:
  static constexpr const char* kTemporarySuffix = ".partial";

  TOutputFile() = default;
  ~TOutputFile();
  TOutputFile(const TOutputFile&) = delete;
  TOutputFile& operator=(const TOutputFile&) = delete;

  // Creates the temporary beside FinalName; false with OSError when the folder refuses.
  bool Create(const std::string& FinalName);
  // The stream to write the copy through; its OSError tells why a write failed.
  THandleStream64& Stream() { return FStream; }
  // Puts the written bytes on the disk; false with OSError.
  bool Sync();
  // Gives the temporary the name Name. Without Replace an existing file of that name is
  // kept and the answer is false with OSError EEXIST. After success the folder entry is
  // made durable too and the file is closed.
  bool Publish(const std::string& Name, bool Replace);
  // Closes the file and removes the temporary, if it still names this file.
  void Discard();

  const std::string& TemporaryName() const { return FTemporaryName; }
  int32_t OSError = 0;

private:
  bool StillNamesOurFile() const;
  void Close();

  THandleStream64 FStream{-1};
  std::string FTemporaryName;
  bool FPublished = false;
};

} // namespace clw
