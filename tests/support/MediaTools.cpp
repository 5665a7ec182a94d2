#include "support/MediaTools.h"

#include "support/TempDir.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace clw::test {

std::string ShellQuote(const std::string& Text) {
  std::string quoted = "'";
  for (char c : Text)
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

int RunCommand(const std::string& Command, std::string* Output) {
  FILE* pipe = ::popen((Command + " 2>&1 </dev/null").c_str(), "r");
  if (!pipe) return -1;
  std::array<char, 4096> buffer;
  size_t n;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
    if (Output) Output->append(buffer.data(), n);
  const int status = ::pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

namespace {

// The clip cache: the build tree's own, or the one CLIPWRIGHT_TEST_MEDIA names (another build
// of the same tree, whose clips need not be made again).
std::filesystem::path MediaDir() {
  if (const char* shared = std::getenv("CLIPWRIGHT_TEST_MEDIA"); shared && *shared)
    return std::filesystem::path(shared);
  return std::filesystem::path(CLIPWRIGHT_TEST_WORK_DIR) / "media";
}

// A name beside Path that this process alone writes.
std::filesystem::path PartialPath(const std::filesystem::path& Path) {
  return Path.string() + "." + std::to_string(::getpid()) + ".part" + Path.extension().string();
}

// Runs Command about the file at Path. The clips of the media cache never change, so what
// a command said of one is kept beside it under Kind, and decoding a clip again for every
// test that compares a copy with it is saved.
int RunAbout(const std::string& Path, const std::string& Kind, const std::string& Command,
             std::string& Output) {
  const std::filesystem::path file(Path);
  if (file.parent_path() != MediaDir()) return RunCommand(Command, &Output);
  const std::filesystem::path kept = Path + "." + Kind;
  if (std::filesystem::exists(kept)) {
    Output = ReadFile(kept);
    return 0;
  }
  const int status = RunCommand(Command, &Output);
  if (status != 0) return status;
  const auto partial = PartialPath(kept);
  std::ofstream(partial, std::ios::binary) << Output;
  std::error_code ignored;
  std::filesystem::rename(partial, kept, ignored);
  return 0;
}

// What RunAbout keeps a command's output on a stream ("v:0") under.
std::string KindOf(const std::string& What, std::string Stream) {
  std::replace(Stream.begin(), Stream.end(), ':', '_');
  return What + "_" + Stream;
}

std::vector<std::string> FrameHashLines(const std::string& Framemd5) {
  std::vector<std::string> hashes;
  std::istringstream lines(Framemd5);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    const size_t comma = line.rfind(',');
    if (comma != std::string::npos) hashes.push_back(line.substr(comma + 1));
  }
  return hashes;
}

} // namespace

std::string MakeClip(const std::string& Name, const std::string& Arguments) {
  const auto dir = MediaDir();
  std::filesystem::create_directories(dir);
  const auto path = dir / Name;
  if (std::filesystem::exists(path)) return path.string();
  // Written under a name of this process so that an interrupted run leaves no half clip
  // behind and tests running side by side do not write into one file.
  const auto partial = PartialPath(path);
  std::string output;
  if (RunCommand("ffmpeg -nostdin -v error -y " + Arguments + " " + ShellQuote(partial.string()),
                 &output) != 0)
    return "";
  std::error_code error;
  std::filesystem::rename(partial, path, error);
  return error ? "" : path.string();
}

TProbe ProbeVideo(const std::string& Path, std::vector<std::string>* FrameHashes) {
  TProbe probe;
  std::string output;
  const std::string file = ShellQuote(Path);
  if (RunCommand("ffprobe -v error -select_streams v:0 -count_packets -show_entries "
                 "stream=nb_read_packets -of csv=p=0 " +
                     file,
                 &output) != 0)
    return probe;
  probe.Opened = true;
  probe.VideoPackets = std::atoi(output.c_str());
  output.clear();
  RunCommand("ffprobe -v error -select_streams v:0 -show_entries packet=flags -of csv=p=0 "
             "-read_intervals %+#1 " +
                 file,
             &output);
  probe.StartsWithKeyFrame = !output.empty() && output[0] == 'K';
  output.clear();
  // The pictures' hashes come from the same decoding, as a second output, into a file of
  // this process (never the name RunAbout keeps a clip's hashes under).
  const std::string hashes = PartialPath(Path + ".framemd5").string();
  const std::string hashOutput =
      FrameHashes ? " -map 0:v:0 -f framemd5 " + ShellQuote(hashes) : std::string();
  RunCommand("ffmpeg -nostdin -v error -y -i " + file + hashOutput + " -f null -", &output);
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);)
    if (!line.empty()) ++probe.DecodeErrorLines;
  if (FrameHashes) {
    *FrameHashes = FrameHashLines(ReadFile(hashes));
    std::filesystem::remove(hashes);
  }
  return probe;
}

std::vector<TPacket> VideoPackets(const std::string& Path) {
  return StreamPackets(Path, "v:0");
}

std::vector<TPacket> StreamPackets(const std::string& Path, const std::string& Stream) {
  std::string output;
  RunAbout(Path, KindOf("positions", Stream),
           "ffprobe -v error -select_streams " + Stream +
               " -show_entries packet=pos,size,flags -of csv=p=0 " + ShellQuote(Path),
           output);
  std::vector<TPacket> packets;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    TPacket p;
    long long size = 0, position = 0;
    char flags[8] = {};
    if (std::sscanf(line.c_str(), "%lld,%lld,%7s", &size, &position, flags) == 3) {
      p.Size = size;
      p.Position = position;
      p.Key = flags[0] == 'K';
      packets.push_back(p);
    }
  }
  return packets;
}

std::vector<std::string> DecodedFrameHashes(const std::string& Path) {
  std::string output;
  if (RunAbout(Path, "framemd5",
               "ffmpeg -nostdin -v error -i " + ShellQuote(Path) +
                   " -map 0:v:0 -f framemd5 - 2>/dev/null",
               output) != 0)
    return {};
  return FrameHashLines(output);
}

std::vector<TPacketHash> PacketHashes(const std::string& Path, const std::string& Stream) {
  std::string output;
  RunAbout(Path, KindOf("packets", Stream),
           "ffprobe -v error -select_streams " + Stream +
               " -show_packets -show_data_hash md5 -show_entries packet=pts_time,flags,data_hash"
               " -of csv=p=0 " +
               ShellQuote(Path),
           output);
  std::vector<TPacketHash> packets;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    const size_t first = line.find(',');
    const size_t second = first == std::string::npos ? first : line.find(',', first + 1);
    if (second == std::string::npos) continue;
    packets.push_back({line.substr(second + 1), line[first + 1] == 'K',
                       std::atof(line.substr(0, first).c_str())});
  }
  return packets;
}

double StreamSeconds(const std::string& Path, const std::string& Stream) {
  std::string output;
  if (RunCommand("ffprobe -v error -select_streams " + Stream +
                     " -show_entries stream=duration -of csv=p=0 " + ShellQuote(Path),
                 &output) != 0 ||
      output.empty())
    return -1;
  return std::atof(output.c_str());
}

std::vector<TTimedPacket> TimedPackets(const std::string& Path, const std::string& Stream) {
  std::string output;
  RunAbout(Path, KindOf("timed", Stream),
           "ffprobe -v error -select_streams " + Stream +
               " -show_entries packet=pts_time,duration_time,size,pos,flags -of csv=p=0 " +
               ShellQuote(Path),
           output);
  std::vector<TTimedPacket> packets;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    double seconds = 0, duration = 0;
    long long size = 0, position = 0;
    char flags[8] = {};
    if (std::sscanf(line.c_str(), "%lf,%lf,%lld,%lld,%7s", &seconds, &duration, &size, &position,
                    flags) == 5)
      packets.push_back({position, size, flags[0] == 'K', std::llround(seconds * 1000),
                         std::llround(duration * 1000)});
  }
  return packets;
}

std::map<int64_t, std::string> DecodedFramesByTime(const std::string& Path) {
  std::string output;
  if (RunAbout(Path, "framemd5_passthrough",
               "ffmpeg -nostdin -v error -i " + ShellQuote(Path) +
                   " -map 0:v:0 -fps_mode passthrough -f framemd5 - 2>/dev/null",
               output) != 0)
    return {};
  std::map<int64_t, std::string> frames;
  long long num = 1, den = 1;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    if (std::sscanf(line.c_str(), "#tb 0: %lld/%lld", &num, &den) == 2 || line.empty() ||
        line[0] == '#')
      continue;
    long long stream = 0, dts = 0, pts = 0;
    const size_t comma = line.rfind(',');
    if (std::sscanf(line.c_str(), "%lld, %lld, %lld", &stream, &dts, &pts) == 3 &&
        comma != std::string::npos && den > 0)
      frames[std::llround(double(pts) * double(num) * 1000.0 / double(den))] =
          line.substr(line.find_first_not_of(' ', comma + 1));
  }
  return frames;
}

} // namespace clw::test
