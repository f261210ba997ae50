// Small whole images of every format the job reads, built byte by byte, for
// the completeness check's tests: what matters is their structure (chunks,
// blocks, strips, scans), not their pixels.
#pragma once
#include <cstdint>
#include <string>

#include "tests/render/fake_png.h"

inline void PutLe(std::string* s, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) *s += static_cast<char>((value >> (8 * i)) & 0xFF);
}

// A GIF of width x height pixels, all colour 1; its LZW codes keep 3 bits
// by clearing the table every two pixels.
inline std::string TestGif(int width, int height, int pixelsCoded = -1) {
  std::string g = "GIF89a";
  PutLe(&g, width, 2);
  PutLe(&g, height, 2);
  g += std::string("\x80\x00\x00", 3) + std::string("\0\0\0\xff\xff\xff", 6);
  g += ",";
  PutLe(&g, 0, 4);
  PutLe(&g, width, 2);
  PutLe(&g, height, 2);
  g += std::string("\0\x02", 2);
  std::string data;
  uint32_t buffer = 0;
  int bits = 0;
  auto put = [&](int code) {
    buffer |= static_cast<uint32_t>(code) << bits;
    for (bits += 3; bits >= 8; bits -= 8, buffer >>= 8) data += static_cast<char>(buffer & 0xFF);
  };
  int pixels = pixelsCoded < 0 ? width * height : pixelsCoded;
  for (int i = 0; i < pixels; ++i) {
    if (i % 2 == 0) put(4);
    put(1);
  }
  put(5);
  if (bits > 0) data += static_cast<char>(buffer & 0xFF);
  for (size_t at = 0; at < data.size(); at += 255) {
    std::string block = data.substr(at, 255);
    g += static_cast<char>(block.size()) + block;
  }
  return g + std::string("\0;", 2);
}

// A 24-bit bottom-up BMP with BI_RGB pixels.
inline std::string TestBmp(int width, int height) {
  int stride = (width * 3 + 3) / 4 * 4;
  std::string b = "BM";
  PutLe(&b, 54 + stride * height, 4);
  PutLe(&b, 0, 4);
  PutLe(&b, 54, 4);
  PutLe(&b, 40, 4);
  PutLe(&b, width, 4);
  PutLe(&b, height, 4);
  PutLe(&b, 1, 2);
  PutLe(&b, 24, 2);
  for (int i = 0; i < 6; ++i) PutLe(&b, 0, 4);
  return b + std::string(static_cast<size_t>(stride) * height, '\x80');
}

// An 8-bit run-length BMP: each row one run and an end of line, then the
// end-of-bitmap mark.
inline std::string TestRleBmp(int width, int height) {
  std::string b = "BM";
  PutLe(&b, 0, 4);
  PutLe(&b, 0, 4);
  PutLe(&b, 54 + 8, 4);
  PutLe(&b, 40, 4);
  PutLe(&b, width, 4);
  PutLe(&b, height, 4);
  PutLe(&b, 1, 2);
  PutLe(&b, 8, 2);
  PutLe(&b, 1, 4);  // BI_RLE8
  for (int i = 0; i < 5; ++i) PutLe(&b, 0, 4);
  b += std::string("\0\0\0\0\xff\xff\xff\0", 8);
  for (int y = 0; y < height; ++y) b += std::string(1, static_cast<char>(width)) + std::string("\x01\0\0", 3);
  return b + std::string("\0\x01", 2);
}

// An uncompressed greyscale TIFF, its strips of two rows before its
// directory, as most writers lay them out.
inline std::string TestTiff(int width, int height) {
  std::string t = "II*";
  t += '\0';
  int strips = (height + 1) / 2;
  std::string pixels(static_cast<size_t>(width) * height, '\x40');
  uint32_t directory = 8 + static_cast<uint32_t>(pixels.size()) + 8u * strips;
  PutLe(&t, directory, 4);
  t += pixels;
  for (int s = 0; s < strips; ++s) PutLe(&t, 8 + s * 2 * width, 4);
  for (int s = 0; s < strips; ++s) PutLe(&t, width * (s * 2 + 2 > height ? 1 : 2), 4);
  uint32_t offsetsAt = 8 + static_cast<uint32_t>(pixels.size());
  struct { int tag, type, count; uint32_t value; } entries[] = {
      {256, 3, 1, static_cast<uint32_t>(width)}, {257, 3, 1, static_cast<uint32_t>(height)},
      {258, 3, 1, 8}, {259, 3, 1, 1}, {262, 3, 1, 1},
      {273, 4, strips, strips == 1 ? 8 : offsetsAt}, {277, 3, 1, 1}, {278, 3, 1, 2},
      {279, 4, strips, strips == 1 ? static_cast<uint32_t>(width * height) : offsetsAt + 4 * strips}};
  PutLe(&t, sizeof(entries) / sizeof(entries[0]), 2);
  for (const auto& e : entries) {
    PutLe(&t, e.tag, 2);
    PutLe(&t, e.type, 2);
    PutLe(&t, e.count, 4);
    PutLe(&t, e.value, 4);
  }
  PutLe(&t, 0, 4);
  return t;
}

// A baseline JPEG whose Huffman tables have one code each ("0": DC size 0,
// AC end of block), so every block is two zero bits. Three components at
// 4:2:0 with restart markers every restart MCUs (0: none), or greyscale.
// progressive: the same frame marked SOF2 (its scan is not walked).
inline std::string TestJpeg(int width, int height, bool colour, int restart = 0,
                            bool progressive = false) {
  std::string j("\xff\xd8", 2);
  j += std::string("\xff\xdb\x00\x43\x00", 5) + std::string(64, '\x01');
  j += std::string(progressive ? "\xff\xc2" : "\xff\xc0", 2);
  int components = colour ? 3 : 1;
  j += static_cast<char>(0) + std::string(1, static_cast<char>(8 + 3 * components)) + '\x08';
  j += static_cast<char>(height >> 8) + std::string(1, static_cast<char>(height & 0xFF));
  j += static_cast<char>(width >> 8) + std::string(1, static_cast<char>(width & 0xFF));
  j += static_cast<char>(components);
  for (int c = 1; c <= components; ++c) {
    j += static_cast<char>(c) + std::string(1, colour && c == 1 ? '\x22' : '\x11') + '\0';
  }
  std::string counts = std::string("\x01", 1) + std::string(15, '\0');
  j += std::string("\xff\xc4\x00\x26", 4) + '\x00' + counts + '\x00' + '\x10' + counts + '\x00';
  if (restart) j += std::string("\xff\xdd\x00\x04\x00", 5) + static_cast<char>(restart);
  j += std::string("\xff\xda\x00", 3) + static_cast<char>(6 + 2 * components) + static_cast<char>(components);
  for (int c = 1; c <= components; ++c) j += static_cast<char>(c) + std::string(1, '\0');
  j += std::string("\x00\x3f\x00", 3);
  int unit = colour ? 16 : 8;
  int units = ((width + unit - 1) / unit) * ((height + unit - 1) / unit);
  int bitsPerUnit = 2 * (colour ? 6 : 1);
  std::string data;
  int pending = 0;
  for (int u = 0; u < units; ++u) {
    pending += bitsPerUnit;
    bool marker = restart && (u + 1) % restart == 0 && u + 1 < units;
    if (marker || u + 1 == units) {
      int bytes = (pending + 7) / 8;
      std::string chunk(static_cast<size_t>(bytes), '\0');
      if (pending % 8) chunk.back() = static_cast<char>(0xFF >> (pending % 8));  // pad with ones
      data += chunk;
      pending = 0;
      if (marker) data += std::string("\xff", 1) + static_cast<char>(0xD0 + ((u + 1) / restart - 1) % 8);
    }
  }
  return j + data + std::string("\xff\xd9", 2);
}
