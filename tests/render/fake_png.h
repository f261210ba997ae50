// A whole PNG of a given size (one bit a pixel, all black), which the fake
// printing backend takes its size from and the job's completeness check
// accepts; optional tail bytes after its end tell images apart. Sizes no
// test could print (past the paper fields) get the header alone.
#pragma once
#include <zlib.h>

#include <cstdint>
#include <string>

inline std::string FakePngChunk(const char* type, const std::string& data) {
  std::string chunk;
  for (int shift = 24; shift >= 0; shift -= 8) chunk += static_cast<char>((data.size() >> shift) & 0xFF);
  chunk += std::string(type, 4) + data;
  uint32_t crc = crc32(0, reinterpret_cast<const Bytef*>(chunk.data() + 4), data.size() + 4);
  for (int shift = 24; shift >= 0; shift -= 8) chunk += static_cast<char>((crc >> shift) & 0xFF);
  return chunk;
}

// Zero bytes (filter 0, black pixels) of every row, deflated as a stream.
inline std::string FakePngRows(uint64_t rawBytes) {
  static const unsigned char zeros[65536] = {};
  unsigned char out[65536];
  z_stream z{};
  deflateInit(&z, 1);
  std::string compressed;
  int status = Z_OK;
  while (status != Z_STREAM_END) {
    uint64_t chunk = rawBytes < sizeof(zeros) ? rawBytes : sizeof(zeros);
    rawBytes -= chunk;
    z.next_in = const_cast<Bytef*>(zeros);
    z.avail_in = static_cast<uInt>(chunk);
    do {
      z.next_out = out;
      z.avail_out = sizeof(out);
      status = deflate(&z, rawBytes == 0 ? Z_FINISH : Z_NO_FLUSH);
      compressed.append(reinterpret_cast<char*>(out), sizeof(out) - z.avail_out);
    } while (z.avail_out == 0);
  }
  deflateEnd(&z);
  return compressed;
}

inline std::string FakePng(uint32_t width, uint32_t height, const std::string& tail = "") {
  std::string header;
  for (uint32_t value : {width, height}) {
    for (int shift = 24; shift >= 0; shift -= 8) header += static_cast<char>((value >> shift) & 0xFF);
  }
  header += std::string("\x01\x00\0\0\0", 5);  // 1 bit, greyscale
  std::string png = std::string("\x89PNG\r\n\x1a\n", 8) + FakePngChunk("IHDR", header);
  if (width > 0 && height > 0 && width <= 26083 && height <= 26214) {
    png += FakePngChunk("IDAT", FakePngRows(uint64_t{height} * (1 + (width + 7) / 8)));
    png += FakePngChunk("IEND", "");
  }
  return png + tail;
}
