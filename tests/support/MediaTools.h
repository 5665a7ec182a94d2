#pragma once
// Real encoder output for end-to-end tests: clips made by ffmpeg at test time into the
// build tree (kept between runs), or into the folder CLIPWRIGHT_TEST_MEDIA names, and what
// ffprobe and ffmpeg say of a file.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace clw::test {

// Runs a shell command; returns its exit status and, when Output is given, what it
// printed on standard output and standard error.
int RunCommand(const std::string& Command, std::string* Output = nullptr);

// Makes Name under the media cache with "ffmpeg -y <Arguments> <path>" unless it already
// exists; returns the path, or "" when ffmpeg failed.
std::string MakeClip(const std::string& Name, const std::string& Arguments);

struct TProbe {
  bool Opened = false;      // ffprobe read the container
  int VideoPackets = 0;     // packets of the first video stream
  int DecodeErrorLines = 0; // lines "ffmpeg -v error" printed while decoding everything
  bool StartsWithKeyFrame = false;
};
// With FrameHashes, the same decoding also gives what DecodedFrameHashes would.
TProbe ProbeVideo(const std::string& Path, std::vector<std::string>* FrameHashes = nullptr);

std::string ShellQuote(const std::string& Text);

// The first video stream's packets as ffprobe sees them: where each lies in the file.
struct TPacket {
  int64_t Position = 0, Size = 0;
  bool Key = false;
};
std::vector<TPacket> VideoPackets(const std::string& Path);
std::vector<TPacket> StreamPackets(const std::string& Path, const std::string& Stream);

// The MD5 of every decoded picture of the first video stream, in output order
// ("-f framemd5"); empty when ffmpeg cannot decode the file.
std::vector<std::string> DecodedFrameHashes(const std::string& Path);

// The packets of a stream ("v:0", "a:0") by the MD5 of their bytes, with their key flag.
struct TPacketHash {
  std::string Hash;
  bool Key = false;
  double Seconds = 0; // presentation time
};
std::vector<TPacketHash> PacketHashes(const std::string& Path, const std::string& Stream);

// The duration ffprobe gives a stream ("a:0"), in seconds; -1 without that stream.
double StreamSeconds(const std::string& Path, const std::string& Stream);

// A stream's packets in decoding order: where each lies, its key flag, and its presentation
// time and duration in milliseconds.
struct TTimedPacket {
  int64_t Position = 0, Size = 0;
  bool Key = false;
  int64_t Ms = 0, DurationMs = 0;
};
std::vector<TTimedPacket> TimedPackets(const std::string& Path, const std::string& Stream);

// The MD5 of every decoded picture of the first video stream by its presentation time in
// milliseconds, every picture the decoder gives (none dropped or repeated for a frame rate).
std::map<int64_t, std::string> DecodedFramesByTime(const std::string& Path);

} // namespace clw::test
