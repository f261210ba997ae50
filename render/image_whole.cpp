// The completeness check of PNG, GIF, BMP and TIFF files, and the choice of
// format; JPEG's walk of its scans is in image_whole_jpeg.cpp.
#include "render/image_whole.h"

#include <zlib.h>

#include <cstdint>
#include <cstring>

#include "render/image_whole_parts.h"

namespace {

uint32_t Be32(const std::string& b, size_t at) {
  return (uint32_t{static_cast<unsigned char>(b[at])} << 24) |
         (uint32_t{static_cast<unsigned char>(b[at + 1])} << 16) |
         (uint32_t{static_cast<unsigned char>(b[at + 2])} << 8) |
         uint32_t{static_cast<unsigned char>(b[at + 3])};
}

ImageWholeness Damaged(std::string* what, const std::string& text) {
  *what = text;
  return kImageDamaged;
}

ImageWholeness HeaderDamaged(std::string* what, const std::string& text) {
  *what = text;
  return kImageHeaderDamaged;
}

// A chunk's type as a message quotes it: the letters a type is made of as
// they are, any other byte as \xHH. The type comes from the posted bytes,
// and the message goes into a JSON answer, which must stay UTF-8.
std::string ChunkTypeText(const std::string& type) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (char c : type) {
    unsigned char u = static_cast<unsigned char>(c);
    if ((u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z')) {
      text += c;
    } else {
      text += "\\x";
      text += kHex[u >> 4];
      text += kHex[u & 15];
    }
  }
  return text;
}

// Bytes of filtered scan lines a PNG's header announces: one filter byte a
// row, and for interlaced images the seven passes' rows each.
uint64_t PngDataBytes(uint32_t width, uint32_t height, int bitsPerPixel, bool interlaced) {
  auto rows = [bitsPerPixel](uint64_t w, uint64_t h) -> uint64_t {
    uint64_t rowBytes = 1 + (w * bitsPerPixel + 7) / 8;
    if (w == 0 || h == 0) return 0;
    return h > UINT64_MAX / 8 / rowBytes ? UINT64_MAX / 8 : h * rowBytes;  // more than any file holds
  };
  if (!interlaced) return rows(width, height);
  static const int kPass[7][4] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                                  {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
  uint64_t total = 0;
  for (const auto& p : kPass) {
    uint64_t w = width > static_cast<uint32_t>(p[0]) ? (width - p[0] + p[2] - 1) / p[2] : 0;
    uint64_t h = height > static_cast<uint32_t>(p[1]) ? (height - p[1] + p[3] - 1) / p[3] : 0;
    total += rows(w, h);
  }
  return total;
}

// Bits a pixel takes for a colour type and bit depth; 0 for a combination
// the format does not allow.
int PngBitsPerPixel(int colourType, int depth) {
  switch (colourType) {
    case 0: return (depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16) ? depth : 0;
    case 3: return (depth == 1 || depth == 2 || depth == 4 || depth == 8) ? depth : 0;
    case 2: return (depth == 8 || depth == 16) ? 3 * depth : 0;
    case 4: return (depth == 8 || depth == 16) ? 2 * depth : 0;
    case 6: return (depth == 8 || depth == 16) ? 4 * depth : 0;
    default: return 0;
  }
}

// Inflates IDAT data as it comes, counting what comes out.
struct PngStream {
  z_stream z{};
  bool open = false;
  bool ended = false;
  uint64_t produced = 0;
};

bool FeedPng(PngStream* s, const std::string& b, size_t at, uint32_t length) {
  if (s->ended) return true;  // decoders skip data after the stream's end
  unsigned char sink[16384];
  s->z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(b.data() + at));
  s->z.avail_in = length;
  while (s->z.avail_in > 0 && !s->ended) {
    s->z.next_out = sink;
    s->z.avail_out = sizeof(sink);
    int status = inflate(&s->z, Z_NO_FLUSH);
    s->produced += sizeof(sink) - s->z.avail_out;
    if (status == Z_STREAM_END) s->ended = true;
    else if (status != Z_OK && status != Z_BUF_ERROR) return false;
    else if (status == Z_BUF_ERROR && s->z.avail_out != 0) return false;
  }
  return true;
}

// streams: false leaves the IDAT stream uninflated (the header's verdict
// stands: IHDR comes first).
ImageWholeness CheckPng(const std::string& b, std::string* what, bool streams) {
  PngStream stream;
  if (inflateInit(&stream.z) != Z_OK) return Damaged(what, "the PNG could not be checked");
  uint64_t expected = 0;
  bool haveHeader = false;
  ImageWholeness result = kImageDamaged;
  size_t at = 8;
  for (;;) {
    if (at + 8 > b.size()) {
      *what = haveHeader ? "the PNG ends before its IEND chunk" : "the PNG ends inside its header";
      break;
    }
    uint32_t length = Be32(b, at);
    std::string type = b.substr(at + 4, 4);
    if (length > 0x7fffffff || b.size() < at + 12 || b.size() - at - 12 < length) {
      *what = "the PNG ends inside its " + ChunkTypeText(type) + " chunk";
      break;
    }
    uint32_t crc = crc32(0, reinterpret_cast<const Bytef*>(b.data() + at + 4), length + 4);
    if (crc != Be32(b, at + 8 + length)) {
      *what = "the CRC of the PNG's " + ChunkTypeText(type) + " chunk does not match";
      break;
    }
    if (!haveHeader) {
      int bits = length == 13 && type == "IHDR" ? PngBitsPerPixel(b[at + 17], b[at + 16]) : 0;
      uint32_t width = Be32(b, at + 8);
      uint32_t height = Be32(b, at + 12);
      if (bits == 0 || width == 0 || height == 0 || b[at + 18] || b[at + 19] ||
          static_cast<unsigned char>(b[at + 20]) > 1) {
        *what = "the PNG's header is broken";
        break;
      }
      expected = PngDataBytes(width, height, bits, b[at + 20] == 1);
      haveHeader = true;
    } else if (type == "IDAT") {
      if (streams && !FeedPng(&stream, b, at + 8, length)) {
        *what = "the PNG's compressed image data is broken";
        break;
      }
    } else if (type == "IEND") {
      if (!stream.ended) *what = "the PNG's compressed image data ends early";
      else if (stream.produced < expected)
        *what = "the PNG's image data holds fewer rows than its header announces";
      else result = kImageWhole;
      break;
    }
    at += 12 + static_cast<size_t>(length);
  }
  inflateEnd(&stream.z);
  return result == kImageDamaged && !haveHeader ? kImageHeaderDamaged : result;
}

uint16_t Le16(const std::string& b, size_t at) {
  return static_cast<uint16_t>(static_cast<unsigned char>(b[at]) |
                               (static_cast<unsigned char>(b[at + 1]) << 8));
}

uint32_t Le32(const std::string& b, size_t at) {
  return uint32_t{Le16(b, at)} | (uint32_t{Le16(b, at + 2)} << 16);
}

// BMP: the pixel array (or the run-length codes up to their end mark)
// inside the file.
ImageWholeness CheckBmp(const std::string& b, std::string* what) {
  if (b.size() < 26) return HeaderDamaged(what, "the BMP ends inside its header");
  uint32_t offset = Le32(b, 10);
  uint32_t headerSize = Le32(b, 14);
  if (headerSize != 12 && headerSize < 40) return HeaderDamaged(what, "the BMP's header is broken");
  if (b.size() < 14 + static_cast<uint64_t>(headerSize))
    return HeaderDamaged(what, "the BMP ends inside its header");
  int64_t width, height;
  uint32_t bits, compression = 0;
  if (headerSize == 12) {
    width = Le16(b, 18);
    height = static_cast<int16_t>(Le16(b, 20));
    bits = Le16(b, 24);
  } else {
    width = static_cast<int32_t>(Le32(b, 18));
    height = static_cast<int32_t>(Le32(b, 22));
    bits = Le16(b, 28);
    compression = Le32(b, 30);
  }
  if (height < 0) height = -height;
  if (width <= 0 || height == 0 || bits == 0 || bits > 32)
    return HeaderDamaged(what, "the BMP's header is broken");
  // The colour table's count is the header's word too: gdk-pixbuf takes four
  // bytes an entry before it reads one, a count past 2^30 wrapping to
  // gigabytes. More entries than the depth can index is no sound header.
  if (headerSize >= 40 && bits <= 8 && Le32(b, 46) > (1u << bits))
    return HeaderDamaged(what, "the BMP's colour table is larger than its depth allows");
  // The pixels' offset is the header's word: gdk-pixbuf's loader grows its
  // buffer to it before it reads a pixel (gigabytes for a few bytes), so
  // bytes that end before it are not offered to a decoder at all.
  if (offset > b.size()) return HeaderDamaged(what, "the BMP ends before its pixels");
  if (compression == 0 || compression == 3 || compression == 6) {
    uint64_t stride = (static_cast<uint64_t>(width) * bits + 31) / 32 * 4;
    if (static_cast<uint64_t>(height) > (b.size() - offset) / stride)
      return Damaged(what, "the BMP's pixel array is shorter than its header announces");
    return kImageWhole;
  }
  if (compression != 1 && compression != 2) {
    *what = "the BMP's compression is not one printgate reads";
    return kImageUnknown;
  }
  // Run-length codes: pairs, escapes after a zero byte; the image ends at
  // the end-of-bitmap mark.
  size_t at = offset;
  while (at + 2 <= b.size()) {
    unsigned count = static_cast<unsigned char>(b[at]);
    unsigned code = static_cast<unsigned char>(b[at + 1]);
    at += 2;
    if (count != 0 || code == 0) continue;
    if (code == 1) return kImageWhole;
    if (code == 2) { at += 2; continue; }
    size_t bytes = compression == 1 ? code : (code + 1) / 2;
    at += bytes + (bytes & 1);
  }
  return Damaged(what, "the BMP's compressed pixels end before their end mark");
}

}  // namespace

const char* ImageEndToAdd(const std::string& bytes) {
  bool jpeg = bytes.size() >= 2 && bytes.compare(0, 2, "\xff\xd8", 2) == 0;
  bool ended = bytes.size() >= 4 && bytes.compare(bytes.size() - 2, 2, "\xff\xd9", 2) == 0;
  return jpeg && !ended ? "\xff\xd9" : "";
}

namespace {

// streams: whether the compressed streams whose decoding grows with the
// pixels (PNG's deflate, GIF's LZW) are checked too. The other formats'
// walks grow with their bytes alone.
ImageWholeness CheckWhole(const std::string& bytes, std::string* what, bool streams) {
  auto starts = [&bytes](const char* magic, size_t n) {
    return bytes.size() >= n && memcmp(bytes.data(), magic, n) == 0;
  };
  what->clear();
  if (starts("\x89PNG\r\n\x1a\n", 8)) return CheckPng(bytes, what, streams);
  if (starts("\xff\xd8", 2)) return CheckJpegWhole(bytes, what);
  if (starts("GIF87a", 6) || starts("GIF89a", 6)) return CheckGifWhole(bytes, what, streams);
  if (starts("BM", 2)) return CheckBmp(bytes, what);
  if (starts("II*\0", 4) || starts("MM\0*", 4)) return CheckTiffWhole(bytes, what);
  *what = "the body is not a PNG, JPEG, BMP, GIF or TIFF image";
  return kImageUnknown;
}

}  // namespace

ImageWholeness CheckImageWhole(const std::string& bytes, std::string* what) {
  return CheckWhole(bytes, what, true);
}

bool ImageHeaderDamaged(const std::string& bytes) {
  std::string what;
  return CheckWhole(bytes, &what, false) == kImageHeaderDamaged;
}
