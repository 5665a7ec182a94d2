#include "container/HgFileBase.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace clw {

// A folder or a device can carry a video's name; opening a FIFO would block, so only
// regular files are tried.
bool CanOpenForReading(const std::string& FileName) {
  struct stat info {};
  if (::stat(FileName.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  const int handle = ::open(FileName.c_str(), O_RDONLY | O_CLOEXEC);
  if (handle < 0) return false;
  ::close(handle);
  return true;
}

// Creating truncates whatever an earlier run left under the output name; the copy is
// written through the handle created here, never a second one opened by name, which could
// reach another file put there meanwhile.
std::unique_ptr<TFileStreamW> THgFileWriter::CreateOutput(const std::string& FileName) {
  return std::make_unique<TFileStreamW>(FileName, fmCreate);
}

} // namespace clw
