// TIFF's completeness for the first image (the one printed): its directory
// and every value it points at inside the file, and as many strips (or
// tiles) as the image needs, each of them inside the file.
#include <cstdint>
#include <vector>

#include "render/image_whole_parts.h"

namespace {

struct Tiff {
  const std::string& b;
  bool little;
  uint32_t U16(uint64_t at) const {
    unsigned x = static_cast<unsigned char>(b[at]), y = static_cast<unsigned char>(b[at + 1]);
    return little ? (x | (y << 8)) : ((x << 8) | y);
  }
  uint32_t U32(uint64_t at) const {
    return little ? (U16(at) | (U16(at + 2) << 16)) : ((U16(at) << 16) | U16(at + 2));
  }
};

// Bytes one value of a field type takes; 0 for a type classic TIFF lacks.
uint32_t TypeSize(uint32_t type) {
  static const uint32_t kSizes[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4};
  return type < sizeof(kSizes) / sizeof(kSizes[0]) ? kSizes[type] : 0;
}

struct Field {
  uint32_t type = 0;
  uint32_t count = 0;
  uint64_t at = 0;  // where the values are: inside the entry or at its offset
};

// The field's values as numbers (SHORT or LONG); false for other types.
bool Values(const Tiff& t, const Field& f, std::vector<uint64_t>* out) {
  if (f.type != 3 && f.type != 4) return false;
  for (uint32_t i = 0; i < f.count; ++i) {
    out->push_back(f.type == 3 ? t.U16(f.at + 2ull * i) : t.U32(f.at + 4ull * i));
  }
  return true;
}

ImageWholeness Damaged(std::string* what, const char* text) {
  *what = text;
  return kImageDamaged;
}

ImageWholeness HeaderDamaged(std::string* what, const char* text) {
  *what = text;
  return kImageHeaderDamaged;
}

}  // namespace

ImageWholeness CheckTiffWhole(const std::string& b, std::string* what) {
  if (b.size() < 8) return HeaderDamaged(what, "the TIFF ends inside its header");
  Tiff t{b, b[0] == 'I'};
  uint64_t directory = t.U32(4);
  if (directory < 8 || directory + 2 > b.size()) return HeaderDamaged(what, "the TIFF ends before its directory");
  uint32_t entries = t.U16(directory);
  // The directory ends with the offset of the next one.
  if (directory + 2 + 12ull * entries + 4 > b.size()) return HeaderDamaged(what, "the TIFF ends inside its directory");
  Field fields[5];  // width, length, rows per strip, offsets, byte counts
  bool tiled = false;
  for (uint32_t i = 0; i < entries; ++i) {
    uint64_t entry = directory + 2 + 12ull * i;
    Field f;
    uint32_t tag = t.U16(entry);
    f.type = t.U16(entry + 2);
    f.count = t.U32(entry + 4);
    uint64_t size = static_cast<uint64_t>(TypeSize(f.type)) * f.count;
    f.at = size <= 4 ? entry + 8 : t.U32(entry + 8);
    if (TypeSize(f.type) != 0 && f.at + size > b.size())
      return HeaderDamaged(what, "a value of the TIFF's directory lies past the end of the file");
    int slot = -1;
    switch (tag) {
      case 256: slot = 0; break;
      case 257: slot = 1; break;
      case 278: slot = 2; break;
      case 273: case 324: slot = 3; tiled = tiled || tag == 324; break;
      case 279: case 325: slot = 4; break;
    }
    if (slot >= 0) fields[slot] = f;
  }
  std::vector<uint64_t> width, length, rows, offsets, counts;
  if (!Values(t, fields[0], &width) || !Values(t, fields[1], &length) || width.empty() ||
      length.empty() || width[0] == 0 || length[0] == 0) {
    return HeaderDamaged(what, "the TIFF's directory gives no image size");
  }
  if (!Values(t, fields[3], &offsets) || offsets.empty())
    return HeaderDamaged(what, "the TIFF's directory names no image data");
  if (!tiled) {
    uint64_t perStrip = Values(t, fields[2], &rows) && !rows.empty() && rows[0] > 0 ? rows[0] : length[0];
    if (offsets.size() < (length[0] + perStrip - 1) / perStrip)
      return Damaged(what, "the TIFF has fewer strips than its image needs");
  }
  bool haveCounts = Values(t, fields[4], &counts);
  for (size_t i = 0; i < offsets.size(); ++i) {
    uint64_t count = haveCounts && i < counts.size() ? counts[i] : 1;
    if (offsets[i] + count > b.size()) return Damaged(what, "the TIFF's image data ends early");
  }
  return kImageWhole;
}
