#include "streams/OutputFile.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace clw {

namespace {

std::string Hex(uint64_t Value, int Digits) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text(size_t(Digits), '0');
  for (int i = Digits - 1; i >= 0; --i, Value >>= 4)
    text[size_t(i)] = kDigits[Value & 0xF];
  return text;
}

uint32_t RandomWord() {
  uint32_t value = 0;
  if (::getrandom(&value, sizeof value, GRND_NONBLOCK) != ssize_t(sizeof value))
    value = uint32_t(reinterpret_cast<uintptr_t>(&value)) ^ uint32_t(::getpid());
  return value;
}

// A rename that fails when the target exists. File systems without the kernel's flag for
// it (some network and FUSE ones) get a hard link, which refuses an existing name too;
// one without hard links (FAT) gets a look first, which leaves a short window.
int RenameNoReplace(const std::string& From, const std::string& To) {
  if (::renameat2(AT_FDCWD, From.c_str(), AT_FDCWD, To.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return errno;
  if (::link(From.c_str(), To.c_str()) == 0) {
    ::unlink(From.c_str());
    return 0;
  }
  if (errno != EPERM && errno != EOPNOTSUPP) return errno;
  struct stat info {};
  if (::lstat(To.c_str(), &info) == 0) return EEXIST;
  return std::rename(From.c_str(), To.c_str()) == 0 ? 0 : errno;
}

// The new name is on the disk only once its folder is; a file system that cannot sync a
// folder has nothing to add.
void SyncFolderOf(const std::string& Name) {
  const size_t slash = Name.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : Name.substr(0, slash + 1);
  const int handle = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (handle < 0) return;
  while (::fsync(handle) < 0 && errno == EINTR) {
  }
  ::close(handle);
}

} // namespace

TOutputFile::~TOutputFile() {
  Discard();
}

bool TOutputFile::Create(const std::string& FinalName) {
  Discard();
  FPublished = false;
  const std::string prefix = FinalName + "." + std::to_string(::getpid()) + "-";
  // A clash means another run (or a stale temporary) holds that name: draw again.
  for (int attempt = 0; attempt < 16; ++attempt) {
    FTemporaryName = prefix + Hex(RandomWord(), 8) + kTemporarySuffix;
    FStream.Handle =
        ::open(FTemporaryName.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (FStream.Handle >= 0) return true;
    OSError = errno;
    if (OSError != EEXIST) break;
  }
  FTemporaryName.clear();
  return false;
}

bool TOutputFile::Sync() {
  if (FStream.Handle < 0) {
    OSError = EBADF;
    return false;
  }
  while (::fsync(FStream.Handle) < 0) {
    if (errno == EINTR) continue;
    OSError = errno;
    return false;
  }
  return true;
}

bool TOutputFile::Publish(const std::string& Name, bool Replace) {
  if (FStream.Handle < 0 || FPublished) {
    OSError = EBADF;
    return false;
  }
  // Someone else's file under the temporary name is not published.
  if (!StillNamesOurFile()) {
    OSError = ENOENT;
    return false;
  }
  const int error = Replace ? (std::rename(FTemporaryName.c_str(), Name.c_str()) == 0 ? 0 : errno)
                            : RenameNoReplace(FTemporaryName, Name);
  if (error != 0) {
    OSError = error;
    return false;
  }
  FPublished = true;
  SyncFolderOf(Name);
  Close();
  return true;
}

void TOutputFile::Discard() {
  if (FStream.Handle >= 0 && !FPublished && StillNamesOurFile()) ::unlink(FTemporaryName.c_str());
  Close();
}

bool TOutputFile::StillNamesOurFile() const {
  struct stat ours {
  }, named{};
  return !FTemporaryName.empty() && ::fstat(FStream.Handle, &ours) == 0 &&
         ::lstat(FTemporaryName.c_str(), &named) == 0 && ours.st_dev == named.st_dev &&
         ours.st_ino == named.st_ino;
}

void TOutputFile::Close() {
  if (FStream.Handle >= 0) ::close(FStream.Handle);
  FStream.Handle = -1;
}

} // namespace clw
