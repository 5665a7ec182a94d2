#pragma once
// The stream layer against a model: a byte vector and a position. The input chooses the
// stream (the readers' buffered file stream, or the write-behind stream of the repaired
// copy), the size of the file, and a program of reads, writes, seeks, cuts and copies
// whose sizes and offsets come from the input too, so window refills, steps back over a
// window's start and patches behind the buffered tail are all reached from a few bytes.
// Every answer, every byte read and, at the end, the file itself must match the model.
// The fuzz target runs it on arbitrary bytes; the inputs that once failed run as tests.
#include "streams/BufferedFileStream.h"
#include "streams/BufferedWriteStream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace clw::test {
namespace stream_model {

// What went wrong, kept until the next failure.
inline const char* Mismatch(const char* What, size_t Step, int64_t Got, int64_t Want) {
  static std::string text;
  text = std::string(What) + " at step " + std::to_string(Step) + ": got " + std::to_string(Got) +
         ", want " + std::to_string(Want);
  return text.c_str();
}

// In memory where the system has a memory file system: the target is the stream's logic,
// not the disk.
inline std::string ScratchName(const char* Role) {
  static const std::string folder = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  return folder + "/clipwright-streamfuzz-" + std::to_string(::getpid()) + "-" + Role;
}

inline constexpr int64_t kMaxFile = 3 << 19; // 1.5 MiB: six windows of the buffered stream
inline constexpr int64_t kMaxIo = 5 << 18;   // up to five windows, past the write-behind buffer

// Bytes that repeat only far apart, so a byte from the wrong offset shows; made once, and
// taken from an offset of the input's choosing.
inline const std::vector<uint8_t>& Pattern() {
  static const std::vector<uint8_t> bytes = [] {
    std::vector<uint8_t> b(static_cast<size_t>(kMaxFile + kMaxIo + 256));
    for (size_t i = 0; i < b.size(); ++i)
      b[i] = uint8_t(i * 131 + (i >> 9) * 7 + (i >> 17));
    return b;
  }();
  return bytes;
}

// The file and where the stream stands, as the stream is to see them.
struct TModel {
  std::vector<uint8_t> Bytes;
  int64_t Position = 0;

  int64_t Read(uint8_t* Out, int64_t Count) {
    if (Position < 0 || Count <= 0 || Position >= int64_t(Bytes.size())) return 0;
    const int64_t n = std::min<int64_t>(Count, int64_t(Bytes.size()) - Position);
    std::memcpy(Out, Bytes.data() + Position, size_t(n));
    Position += n;
    return n;
  }
  int64_t Write(const uint8_t* In, int64_t Count) {
    if (Position < 0 || Count <= 0) return 0;
    if (Position + Count > int64_t(Bytes.size())) Bytes.resize(size_t(Position + Count), 0);
    std::memcpy(Bytes.data() + Position, In, size_t(Count));
    Position += Count;
    return Count;
  }
};

// Reads a big-endian field of N bytes, or zeros past the end of the input.
inline uint32_t Take(const uint8_t*& Data, const uint8_t* End, int N) {
  uint32_t v = 0;
  for (int i = 0; i < N; ++i)
    v = v << 8 | (Data < End ? *Data++ : 0);
  return v;
}

inline bool WriteAll(int Fd, const std::vector<uint8_t>& Bytes) {
  size_t done = 0;
  while (done < Bytes.size()) {
    const ssize_t n = ::write(Fd, Bytes.data() + done, Bytes.size() - done);
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

// Reads the whole file into Out, whose room is kept from run to run.
inline void ReadFileInto(const std::string& Name, std::vector<uint8_t>& Out) {
  Out.clear();
  const int fd = ::open(Name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  struct stat info {};
  if (::fstat(fd, &info) == 0) Out.resize(size_t(info.st_size));
  size_t done = 0;
  ssize_t n = 0;
  while (done < Out.size() && (n = ::read(fd, Out.data() + done, Out.size() - done)) > 0)
    done += size_t(n);
  Out.resize(done);
  ::close(fd);
}

} // namespace stream_model

// Runs the program the bytes describe; null when the stream matched the model throughout,
// else what differed. Failures to set up the scratch files abort: they are no finding.
inline const char* CheckStreamProgram(const uint8_t* Data, size_t Size) {
  using namespace stream_model;
  const uint8_t* end = Data + Size;
  const bool writeBehind = Take(Data, end, 1) & 1;
  const uint8_t seed = uint8_t(Take(Data, end, 1));
  const std::vector<uint8_t>& pattern = Pattern();
  static TModel model;
  model.Position = 0;
  const size_t initial = Take(Data, end, 3) % kMaxFile;
  model.Bytes.assign(pattern.begin() + seed, pattern.begin() + seed + int64_t(initial));

  const std::string name = ScratchName("file");
  {
    const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || !WriteAll(fd, model.Bytes)) std::abort();
    ::close(fd);
  }
  // The source of kernel copies, written once per process: the pattern from its start.
  const uint8_t* source = pattern.data();
  static const std::string sourceName = [&] {
    const std::string n = ScratchName("source");
    const int fd = ::open(n.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || !WriteAll(fd, std::vector<uint8_t>(source, source + kMaxIo))) std::abort();
    ::close(fd);
    std::atexit([] { ::unlink(ScratchName("source").c_str()); });
    return n;
  }();

  static std::vector<uint8_t> got(static_cast<size_t>(kMaxIo)), want(got.size());
  {
    THgBufferedFileStreamW file(name, fmOpenReadWrite);
    THgBufferedFileStreamW copySource(sourceName, fmOpenRead);
    std::optional<TBufferedWriteStream> behind;
    if (writeBehind) behind.emplace(file);
    TStream64& stream = writeBehind ? static_cast<TStream64&>(*behind) : file;
    for (size_t step = 0; Data < end; ++step) {
      const uint32_t op = Take(Data, end, 1) % 7;
      const uint32_t arg = Take(Data, end, 3);
      const int64_t signedArg = int64_t(arg) - (1 << 23);
      switch (op) {
      case 0: { // read
        const int64_t count = arg % kMaxIo;
        const int64_t n = stream.Read(got.data(), count);
        const int64_t m = model.Read(want.data(), count);
        if (n != m) return Mismatch("read count", step, n, m);
        if (n > 0 && std::memcmp(got.data(), want.data(), size_t(n)) != 0)
          return Mismatch("read bytes", step, n, m);
        // What the file stream's window shows in place, from a little behind the position.
        if (!writeBehind && model.Position >= 0) {
          const int64_t at = std::max<int64_t>(0, model.Position - (arg >> 12) % 4096);
          int64_t length = 0;
          const uint8_t* held = file.Held(at, count, length);
          const int64_t size = int64_t(model.Bytes.size());
          if (length < 0 || length > count || (length > 0 && at + length > size) ||
              (length > 0 && std::memcmp(held, model.Bytes.data() + at, size_t(length)) != 0))
            return Mismatch("held bytes", step, length, std::min(count, size - at));
        }
        break;
      }
      case 1: { // write
        const int64_t count = arg % kMaxIo;
        const uint8_t* bytes = pattern.data() + kMaxFile + (step & 255);
        const int64_t n = stream.Write(bytes, count);
        const int64_t m = model.Write(bytes, count);
        if (n != m) return Mismatch("write count", step, n, m);
        break;
      }
      case 2:
      case 3:
      case 4: { // seek from the start, the current position or the end
        const uint16_t origin = uint16_t(op - 2);
        const int64_t offset =
            origin == soBeginning ? int64_t(arg % (kMaxFile + kMaxIo)) : signedArg;
        const int64_t base = origin == soBeginning ? 0
                             : origin == soCurrent ? model.Position
                                                   : int64_t(model.Bytes.size());
        const int64_t target = base + offset;
        // Positions stay within a few MiB, so the file (and the model, and the fuzzer's
        // memory over a long run) never grows past that.
        if (target > kMaxFile + kMaxIo) break;
        const int64_t n = stream.Seek(offset, origin);
        // The write-behind stream refuses a seek before the start and stays; the file
        // stream takes the failure as its position, from which nothing is read or written.
        if (target < 0 && writeBehind) {
          if (n != -1) return Mismatch("seek before the start", step, n, -1);
          break;
        }
        if (target < 0 && origin == soCurrent && model.Position < 0) break; // undefined base
        model.Position = target < 0 ? -1 : target;
        if (n != model.Position) return Mismatch("seek", step, n, model.Position);
        break;
      }
      case 5: { // cut or extend
        if (model.Position < 0) break;
        const int64_t size = arg % kMaxFile;
        stream.SetSize(size);
        model.Bytes.resize(size_t(size), 0);
        model.Position = writeBehind ? std::min(model.Position, size) : size;
        const int64_t at = stream.Seek(0, soCurrent);
        if (at != model.Position) return Mismatch("position after a cut", step, at, model.Position);
        break;
      }
      case 6: { // size, or a kernel copy into the write-behind stream
        if (!writeBehind) {
          const int64_t n = stream.Size();
          if (n != int64_t(model.Bytes.size()))
            return Mismatch("size", step, n, int64_t(model.Bytes.size()));
          const int64_t at = stream.Seek(0, soCurrent);
          if (at != model.Position)
            return Mismatch("position after size", step, at, model.Position);
          break;
        }
        const int64_t offset = arg % kMaxIo;
        const int64_t count = (arg >> 4) % kMaxIo;
        const int64_t n = behind->CopyFrom(copySource, offset, count);
        const int64_t m =
            count <= 0 ? 0 : model.Write(source + offset, std::min(count, kMaxIo - offset));
        if (n != m) return Mismatch("copy count", step, n, m);
        break;
      }
      }
    }
    if (writeBehind && !behind->Flush()) return Mismatch("flush", 0, 0, 1);
  }
  static std::vector<uint8_t> written;
  ReadFileInto(name, written);
  if (written != model.Bytes)
    return Mismatch("file size or bytes at the end", 0, int64_t(written.size()),
                    int64_t(model.Bytes.size()));
  ::unlink(name.c_str());
  return nullptr;
}

} // namespace clw::test
