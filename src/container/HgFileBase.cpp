#include "container/HgFileBase.h"

namespace clw {

// Creating truncates whatever an earlier run left under the output name; the copy is
// then written through a plain write-only handle that nobody else shares.
std::unique_ptr<TFileStreamW> THgFileWriter::CreateOutput(const std::string& FileName) {
  { TFileStreamW created(FileName, fmCreate); }
  return std::make_unique<TFileStreamW>(FileName, fmOpenWrite);
}

} // namespace clw
