// Writes a large, well-formed MPEG-4 Part 2 AVI with synthetic frame payloads for the
// check and repair benchmarks: one video stream (a key frame every 25 frames) and one
// audio stream, interleaved, with "idx1".
//   make_bench_avi OUTPUT SIZE_MIB
#include "streams/Endian.h"
#include "streams/FourCC.h"

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace clw;

void Put32(std::vector<uint8_t>& Out, uint32_t V) {
  uint8_t b[4];
  WriteLE32(b, V);
  Out.insert(Out.end(), b, b + 4);
}

void PutChunk(std::vector<uint8_t>& Out, const char* Id, const std::vector<uint8_t>& Data) {
  Put32(Out, MakeFourCC(Id[0], Id[1], Id[2], Id[3]));
  Put32(Out, uint32_t(Data.size()));
  Out.insert(Out.end(), Data.begin(), Data.end());
  if (Data.size() & 1) Out.push_back(0);
}

std::vector<uint8_t> StreamList(const char* Type, const char* Handler, std::vector<uint8_t> strf) {
  std::vector<uint8_t> strh(56, 0), list;
  std::copy(Type, Type + 4, strh.begin());
  std::copy(Handler, Handler + 4, strh.begin() + 4);
  WriteLE32(strh.data() + 20, 1);
  WriteLE32(strh.data() + 24, 25);
  Put32(list, MakeFourCC("strl"));
  PutChunk(list, "strh", strh);
  PutChunk(list, "strf", strf);
  return list;
}

} // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: make_bench_avi OUTPUT SIZE_MIB\n");
    return 2;
  }
  const int64_t target = std::atoll(argv[2]) * 1048576;
  FILE* out = std::fopen(argv[1], "wb");
  if (!out) return 1;

  std::vector<uint8_t> hdrl;
  Put32(hdrl, MakeFourCC("hdrl"));
  std::vector<uint8_t> avih(56, 0);
  WriteLE32(avih.data() + 32, 640);
  WriteLE32(avih.data() + 36, 480);
  PutChunk(hdrl, "avih", avih);
  // BITMAPINFOHEADER of 640x480 XVID, WAVEFORMATEX of 16-bit mono PCM at 44.1 kHz.
  std::vector<uint8_t> bitmap(40, 0), wave(16, 0);
  WriteLE32(bitmap.data(), 40);
  WriteLE32(bitmap.data() + 4, 640);
  WriteLE32(bitmap.data() + 8, 480);
  WriteLE16(bitmap.data() + 12, 1);
  WriteLE16(bitmap.data() + 14, 24);
  WriteLE32(bitmap.data() + 16, MakeFourCC("XVID"));
  WriteLE16(wave.data(), 1);
  WriteLE16(wave.data() + 2, 1);
  WriteLE32(wave.data() + 4, 44100);
  WriteLE32(wave.data() + 8, 88200);
  WriteLE16(wave.data() + 12, 2);
  WriteLE16(wave.data() + 14, 16);
  for (const auto& list : {StreamList("vids", "XVID", bitmap), StreamList("auds", "\0\0\0\0", wave)})
    PutChunk(hdrl, "LIST", list);

  std::vector<uint8_t> head;
  Put32(head, MakeFourCC("RIFF"));
  Put32(head, 0); // patched at the end
  Put32(head, MakeFourCC("AVI "));
  PutChunk(head, "LIST", hdrl);
  const int64_t moviHeader = int64_t(head.size());
  Put32(head, MakeFourCC("LIST"));
  Put32(head, 0);
  Put32(head, MakeFourCC("movi"));
  std::fwrite(head.data(), 1, head.size(), out);

  std::mt19937 random(1);
  std::vector<uint8_t> payload(200000), index, chunk;
  for (auto& b : payload) b = uint8_t(random());
  int64_t position = int64_t(head.size());
  for (int64_t frame = 0; position < target; ++frame) {
    const bool key = frame % 25 == 0;
    const uint32_t size = key ? 60000 + random() % 20000 : 15000 + random() % 20000;
    chunk.assign(payload.begin(), payload.begin() + size);
    const uint8_t vop[] = {0, 0, 1, 0xB6, uint8_t(key ? 0x00 : 0x40)};
    std::copy(std::begin(vop), std::end(vop), chunk.begin());
    const std::vector<uint8_t> audio(payload.begin(), payload.begin() + 1152);
    struct TPart {
      const char* Id;
      const std::vector<uint8_t>& Data;
      uint32_t Flags;
    };
    for (const TPart& part : {TPart{"00dc", chunk, key ? 0x10u : 0u}, TPart{"01wb", audio, 0x10u}}) {
      const char* id = part.Id;
      const std::vector<uint8_t>& data = part.Data;
      const uint32_t flags = part.Flags;
      std::vector<uint8_t> bytes;
      PutChunk(bytes, id, data);
      Put32(index, MakeFourCC(id[0], id[1], id[2], id[3]));
      Put32(index, flags);
      Put32(index, uint32_t(position - (moviHeader + 8)));
      Put32(index, uint32_t(data.size()));
      std::fwrite(bytes.data(), 1, bytes.size(), out);
      position += int64_t(bytes.size());
    }
  }
  const int64_t moviEnd = position;
  std::vector<uint8_t> idx1;
  PutChunk(idx1, "idx1", index);
  std::fwrite(idx1.data(), 1, idx1.size(), out);
  position += int64_t(idx1.size());
  uint8_t size[4];
  WriteLE32(size, uint32_t(position - 8));
  std::fseek(out, 4, SEEK_SET);
  std::fwrite(size, 1, 4, out);
  WriteLE32(size, uint32_t(moviEnd - moviHeader - 8));
  std::fseek(out, long(moviHeader + 4), SEEK_SET);
  std::fwrite(size, 1, 4, out);
  std::fclose(out);
  std::printf("%s: %lld bytes, %zu chunks\n", argv[1], (long long)position, index.size() / 16);
  return 0;
}
