#pragma once
// Byte streams with signed 64-bit positions, sizes and counts. Video files routinely
// pass 2 GiB and 4 GiB, so no position or count is ever narrower than 64 bits here.
#include <cstdint>
#include <stdexcept>
#include <string>

namespace clw {

// Raised when a stream is asked for something the runtime checks forbid: a count that
// does not fit one 32-bit system call, or use of a stream without an open file.
class ERangeError : public std::range_error {
public:
  ERangeError() : std::range_error("Range check error") {}
};

class EStreamError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};
class EFOpenError : public EStreamError {
public:
  explicit EFOpenError(const std::string& fileName);
};
class EFCreateError : public EStreamError {
public:
  explicit EFCreateError(const std::string& fileName);
};

// Seek origins.
enum : uint16_t { soBeginning = 0, soCurrent = 1, soEnd = 2 };

// Open modes. The low two bits give the access; bits 4..7 the sharing, which has no
// meaning on POSIX and is accepted and ignored.
enum : uint16_t {
  fmCreate = 0xFFFF,
  fmOpenRead = 0x0000,
  fmOpenWrite = 0x0001,
  fmOpenReadWrite = 0x0002,
  fmShareExclusive = 0x0010,
  fmShareDenyWrite = 0x0020,
  fmShareDenyRead = 0x0030,
  fmShareDenyNone = 0x0040,
};

class TStream64 {
public:
  virtual ~TStream64() = default;
  virtual void SetSize(int64_t NewSize);
  virtual int64_t Read(void* Buffer, int64_t Count) = 0;
  virtual int64_t Write(const void* Buffer, int64_t Count) = 0;
  virtual int64_t Seek(int64_t Offset, uint16_t Origin) = 0;

  int64_t Position() { return Seek(0, soCurrent); }
  void SetPosition(int64_t Pos) { Seek(Pos, soBeginning); }
  // Costs three seeks; the position is left where it was.
  int64_t Size();

  // errno of the last system call of this stream that failed, 0 while none has. A stream
  // answers a failure with a short count; this says why (a full disk, a size limit).
  int32_t OSError = 0;
};

// A stream over a POSIX file descriptor; a negative handle means no file is open.
class THandleStream64 : public TStream64 {
public:
  explicit THandleStream64(int32_t AHandle) : Handle(AHandle) {}
  void SetSize(int64_t NewSize) override;
  int64_t Read(void* Buffer, int64_t Count) override;
  // Writes everything unless the system refuses: a short count then means OSError is set.
  int64_t Write(const void* Buffer, int64_t Count) override;
  int64_t Seek(int64_t Offset, uint16_t Origin) override;

  int32_t Handle;

  // Test hook: counts every read the system is asked for, over all handle streams.
  static inline uint64_t SystemReadCount = 0;
  static inline uint64_t SystemSeekCount = 0;

protected:
  void CheckHandle() const;
  // The size of a regular file as the system knows it now, without moving the descriptor;
  // -1 for anything else (a device, a pipe).
  int64_t RegularFileSize() const;
};

// Opens or creates a file by its (UTF-8) name and owns the descriptor.
class TFileStreamW : public THandleStream64 {
public:
  TFileStreamW(const std::string& FileName, uint16_t Mode);
  TFileStreamW(const std::string& FileName, uint16_t Mode, int32_t Rights);
  ~TFileStreamW() override;
  TFileStreamW(const TFileStreamW&) = delete;
  TFileStreamW& operator=(const TFileStreamW&) = delete;

  const std::string& FileName() const { return FFileName; }

private:
  std::string FFileName;
};

} // namespace clw
