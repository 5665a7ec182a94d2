#include "streams/Stream64.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace clw {

// Every offset below goes straight into off_t; a 32-bit off_t would silently wrap at 2 GiB.
static_assert(sizeof(off_t) == 8, "64-bit file offsets are required");

namespace {

// One system call moves at most a signed 32-bit count; larger counts are a caller's error,
// and splitting them silently would hide it.
void CheckCount(int64_t count) {
  if (count > std::numeric_limits<int32_t>::max() || count < std::numeric_limits<int32_t>::min())
    throw ERangeError();
}

} // namespace

EFOpenError::EFOpenError(const std::string& fileName)
    : EStreamError("Cannot open file " + fileName) {}

EFCreateError::EFCreateError(const std::string& fileName)
    : EStreamError("Cannot create file " + fileName) {}

void TStream64::SetSize(int64_t /*NewSize*/) {}

int64_t TStream64::Size() {
  const int64_t pos = Seek(0, soCurrent);
  const int64_t end = Seek(0, soEnd);
  Seek(pos, soBeginning);
  return end;
}

void THandleStream64::CheckHandle() const {
  if (Handle < 0) throw ERangeError();
}

int64_t THandleStream64::RegularFileSize() const {
  struct stat st {};
  if (Handle < 0 || ::fstat(Handle, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return int64_t(st.st_size);
}

void THandleStream64::SetSize(int64_t NewSize) {
  CheckHandle();
  // A failed seek leaves the handle where it was; cutting the file anyway would lose data
  // at a size the caller never asked for.
  if (THandleStream64::Seek(NewSize, soBeginning) != NewSize) return;
  int result;
  while ((result = ::ftruncate(Handle, off_t(NewSize))) < 0 && errno == EINTR) {
  }
  if (result < 0) OSError = errno;
}

int64_t THandleStream64::Read(void* Buffer, int64_t Count) {
  CheckHandle();
  CheckCount(Count);
  if (Count <= 0) return 0;
  ssize_t got;
  do {
    ++SystemReadCount;
    got = ::read(Handle, Buffer, size_t(Count));
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    OSError = errno;
    return 0;
  }
  return int64_t(got);
}

int64_t THandleStream64::Write(const void* Buffer, int64_t Count) {
  CheckHandle();
  CheckCount(Count);
  if (Count <= 0) return 0;
  // A regular file takes a short write only at a limit (a full disk, the size limit); the
  // next call then fails with the reason, which is what the caller needs to hear.
  const auto* bytes = static_cast<const uint8_t*>(Buffer);
  int64_t done = 0;
  while (done < Count) {
    const ssize_t put = ::write(Handle, bytes + done, size_t(Count - done));
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) {
      OSError = errno;
      break;
    }
    if (put == 0) break;
    done += put;
  }
  return done;
}

int64_t THandleStream64::Seek(int64_t Offset, uint16_t Origin) {
  CheckHandle();
  static constexpr int kWhence[3] = {SEEK_SET, SEEK_CUR, SEEK_END};
  // Linux gives further whence values (SEEK_DATA, SEEK_HOLE) a meaning; an unknown origin
  // must fail like a bad seek, not wander into one of them.
  if (Origin > soEnd) return -1;
  ++SystemSeekCount;
  const off_t result = ::lseek(Handle, off_t(Offset), kWhence[Origin]);
  if (result < 0) OSError = errno;
  return int64_t(result);
}

TFileStreamW::TFileStreamW(const std::string& FileName, uint16_t Mode)
    : TFileStreamW(FileName, Mode, 0) {}

// Rights exists for callers written against the platform's permission argument; a new
// file always gets 0666 less the umask, like any other tool's output.
TFileStreamW::TFileStreamW(const std::string& FileName, uint16_t Mode, int32_t /*Rights*/)
    : THandleStream64(-1), FFileName(FileName) {
  if (Mode == fmCreate) {
    Handle = ::open(FileName.c_str(), O_CREAT | O_TRUNC | O_RDWR | O_CLOEXEC, 0666);
    if (Handle < 0) throw EFCreateError(FileName);
    return;
  }
  // Sharing (bits 4..7) has no POSIX meaning and is accepted up to "deny nobody"; anything
  // else, including stray high bits, is refused without touching the file. The input of a
  // repair is opened through here, so no flag that could create or cut a file appears on
  // this path.
  const unsigned access = Mode & 0x3u;
  const unsigned sharing = Mode & 0xF0u;
  if (access != 3 && sharing <= fmShareDenyNone && (Mode & ~0xF3u) == 0) {
    static constexpr int kAccessFlags[3] = {O_RDONLY, O_WRONLY, O_RDWR};
    Handle = ::open(FileName.c_str(), kAccessFlags[access] | O_CLOEXEC);
  }
  if (Handle < 0) throw EFOpenError(FileName);
}

TFileStreamW::~TFileStreamW() {
  if (Handle >= 0) ::close(Handle);
}

} // namespace clw
