// The sizes an image's header announces, for each format the job reads: the
// numbers a decoder takes at their word before it has seen a pixel.
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <set>

#include "render/image_whole.h"

namespace {

uint32_t Byte(const std::string& b, size_t at) { return static_cast<unsigned char>(b[at]); }
uint32_t Be16(const std::string& b, size_t at) { return (Byte(b, at) << 8) | Byte(b, at + 1); }
uint32_t Be32(const std::string& b, size_t at) { return (Be16(b, at) << 16) | Be16(b, at + 2); }
uint32_t Le16(const std::string& b, size_t at) { return Byte(b, at) | (Byte(b, at + 1) << 8); }
uint32_t Le32(const std::string& b, size_t at) { return Le16(b, at) | (Le16(b, at + 2) << 16); }

// IHDR, whole and with its CRC: a flipped bit there must not pass for a
// size.
bool PngSize(const std::string& b, long long* w, long long* h) {
  if (b.size() < 33 || Be32(b, 8) != 13 || b.compare(12, 4, "IHDR") != 0) return false;
  uint32_t crc = crc32(0, reinterpret_cast<const Bytef*>(b.data() + 12), 17);
  if (crc != Be32(b, 29)) return false;
  *w = Be32(b, 16);
  *h = Be32(b, 20);
  return true;
}

bool BmpSize(const std::string& b, long long* w, long long* h) {
  if (b.size() < 26) return false;
  uint32_t headerSize = Le32(b, 14);
  if (headerSize == 12) {
    *w = Le16(b, 18);
    *h = static_cast<int16_t>(Le16(b, 20));
  } else if (headerSize >= 40) {
    *w = static_cast<int32_t>(Le32(b, 18));
    *h = static_cast<int32_t>(Le32(b, 22));
  } else {
    return false;
  }
  if (*h < 0) *h = -*h;  // rows stored top-down
  return true;
}

bool GifSize(const std::string& b, long long* w, long long* h) {
  if (b.size() < 10) return false;
  *w = Le16(b, 6);
  *h = Le16(b, 8);
  return true;
}

// The first frame header (SOFn), walking the segments before it.
bool JpegSize(const std::string& b, long long* w, long long* h) {
  size_t at = 2;
  while (at + 4 <= b.size()) {
    if (Byte(b, at) != 0xFF) return false;
    uint32_t marker = Byte(b, at + 1);
    if (marker == 0xFF) {  // fill byte
      ++at;
      continue;
    }
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {  // no length
      at += 2;
      continue;
    }
    if (marker == 0xDA || marker == 0xD9) return false;  // a scan before any frame
    uint32_t length = Be16(b, at + 2);
    bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
    if (frame) {
      if (length < 8 || at + 9 > b.size()) return false;
      *h = Be16(b, at + 5);
      *w = Be16(b, at + 7);
      return true;
    }
    if (length < 2) return false;
    at += 2 + length;
  }
  return false;
}

// A TIFF's numbers in its byte order ("II" little-endian, else big).
uint32_t TiffU16(const std::string& b, uint64_t at) { return b[0] == 'I' ? Le16(b, at) : Be16(b, at); }
uint32_t TiffU32(const std::string& b, uint64_t at) { return b[0] == 'I' ? Le32(b, at) : Be32(b, at); }

// Tags 256 and 257 of the directory at `directory`; a side whose tag is
// absent is -1. A tag given twice counts at its larger value: libtiff reads
// the first, other readers the last (a 142-byte TIFF whose first width was
// 39202 and its second 200 passed as 200 wide, and its decoder took 1.5 GB).
// False when the directory's entries run past the bytes, or a size is in a
// form no decoder agrees on (more than one value, or not an integer type
// held in the entry), so that its size is never guessed.
bool TiffDirectorySize(const std::string& b, uint64_t directory, long long* w, long long* h) {
  *w = *h = -1;
  uint64_t entries = TiffU16(b, directory);
  if (directory + 2 + 12 * entries > b.size()) return false;
  for (uint64_t i = 0; i < entries; ++i) {
    uint64_t entry = directory + 2 + 12 * i;
    uint32_t tag = TiffU16(b, entry);
    if (tag != 256 && tag != 257) continue;
    if (TiffU32(b, entry + 4) != 1) return false;
    long long value = 0;
    switch (TiffU16(b, entry + 2)) {
      case 1: value = Byte(b, entry + 8); break;                              // BYTE
      case 6: value = static_cast<int8_t>(Byte(b, entry + 8)); break;         // SBYTE
      case 3: value = TiffU16(b, entry + 8); break;                           // SHORT
      case 8: value = static_cast<int16_t>(TiffU16(b, entry + 8)); break;     // SSHORT
      case 4: case 13: value = TiffU32(b, entry + 8); break;                  // LONG, IFD
      case 9: value = static_cast<int32_t>(TiffU32(b, entry + 8)); break;     // SLONG
      default: return false;
    }
    long long* side = tag == 256 ? w : h;
    *side = std::max(*side, value);
  }
  return true;
}

// The first directory's size.
bool TiffSize(const std::string& b, long long* w, long long* h) {
  if (b.size() < 8) return false;
  uint64_t directory = TiffU32(b, 4);
  if (directory < 8 || directory + 2 > b.size()) return false;
  return TiffDirectorySize(b, directory, w, h) && *w >= 0 && *h >= 0;
}

// An area that cannot overflow: any side past 2^31 is far past every limit.
long long Area(long long width, long long height) {
  const long long cap = 1ll << 31;
  return std::min(std::max(width, 0ll), cap) * std::min(std::max(height, 0ll), cap);
}

// The GIF's screen and every frame: a decoder composes the frames on a
// canvas reaching the farthest frame's edge and keeps each frame's pixels.
// Walks the blocks until the trailer or the first that is not one.
void GifExtent(const std::string& b, ImageExtent* extent) {
  long long screenWidth = Le16(b, 6);
  long long screenHeight = Le16(b, 8);
  extent->width = screenWidth;
  extent->height = screenHeight;
  long long framePixels = 0;
  size_t at = 13;
  unsigned flags = Byte(b, 10);
  if (flags & 0x80) at += 3u << ((flags & 7) + 1);
  auto skipSubBlocks = [&b](size_t* from) {
    while (*from < b.size()) {
      size_t length = Byte(b, *from);
      *from += 1 + length;
      if (length == 0) return true;
    }
    return false;
  };
  while (at < b.size()) {
    uint32_t kind = Byte(b, at++);
    if (kind == 0x21) {
      ++at;  // the extension's label
      if (!skipSubBlocks(&at)) break;
      continue;
    }
    if (kind != 0x2C || b.size() - at < 9) break;
    long long left = Le16(b, at);
    long long top = Le16(b, at + 2);
    long long width = Le16(b, at + 4);
    long long height = Le16(b, at + 6);
    extent->width = std::max(extent->width, left + width);
    extent->height = std::max(extent->height, top + height);
    framePixels += width * height;
    unsigned local = Byte(b, at + 8);
    at += 9;
    if (local & 0x80) at += 3u << ((local & 7) + 1);
    ++at;  // the LZW code size
    if (!skipSubBlocks(&at)) break;
  }
  extent->pixels = Area(extent->width, extent->height) + framePixels;
}

// Every directory of the chain: a decoder reads the first, but another may
// be asked for any. Each directory's size is judged; the pixels held are
// the largest one's.
void TiffExtent(const std::string& b, ImageExtent* extent) {
  std::set<uint64_t> seen;
  uint64_t directory = TiffU32(b, 4);
  // A chain of more directories than a label could hold is a loop or a
  // trap; the first few are what any decoder reads.
  for (int count = 0; count < 64 && directory >= 8 && directory + 2 <= b.size(); ++count) {
    if (!seen.insert(directory).second) break;
    long long width = 0, height = 0;
    if (!TiffDirectorySize(b, directory, &width, &height)) break;
    extent->width = std::max(extent->width, width);
    extent->height = std::max(extent->height, height);
    extent->pixels = std::max(extent->pixels, Area(width, height));
    uint64_t next = directory + 2 + 12 * static_cast<uint64_t>(TiffU16(b, directory));
    if (next + 4 > b.size()) break;
    directory = TiffU32(b, next);
  }
}

}  // namespace

bool AnnouncedImageExtent(const std::string& bytes, ImageExtent* extent) {
  *extent = ImageExtent{};
  long long width = 0, height = 0;
  if (!AnnouncedImageSize(bytes, &width, &height)) return false;
  extent->width = width;
  extent->height = height;
  extent->pixels = Area(width, height);
  if (bytes.compare(0, 3, "GIF") == 0) GifExtent(bytes, extent);
  if (bytes.compare(0, 2, "II") == 0 || bytes.compare(0, 2, "MM") == 0) TiffExtent(bytes, extent);
  return true;
}

bool AnnouncedImageSize(const std::string& bytes, long long* width, long long* height) {
  auto starts = [&bytes](const char* magic, size_t n) {
    return bytes.size() >= n && memcmp(bytes.data(), magic, n) == 0;
  };
  *width = 0;
  *height = 0;
  bool known = false;
  if (starts("\x89PNG\r\n\x1a\n", 8)) known = PngSize(bytes, width, height);
  else if (starts("\xff\xd8", 2)) known = JpegSize(bytes, width, height);
  else if (starts("GIF87a", 6) || starts("GIF89a", 6)) known = GifSize(bytes, width, height);
  else if (starts("BM", 2)) known = BmpSize(bytes, width, height);
  else if (starts("II*\0", 4) || starts("MM\0*", 4)) known = TiffSize(bytes, width, height);
  if (!known) *width = *height = 0;
  return known;
}
