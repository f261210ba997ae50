// JPEG's completeness. A sequential Huffman-coded JPEG (nearly every one a
// browser or a label program writes) is whole once every block of every
// component has come, which only walking the Huffman codes of its scans
// tells: decoders fill a cut scan with grey and report nothing. Its end
// marker is not needed, as viewers show such files whole. Progressive and
// other JPEGs are refined scan after scan, where a walk would need the
// whole coefficient history; they count as whole only with their end
// marker after the last scan.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "render/image_whole_parts.h"

namespace {

struct Huffman {
  bool defined = false;
  int32_t maxCode[18] = {};
  int32_t valuePointer[17] = {};
  int32_t minCode[17] = {};
  std::vector<unsigned char> symbols;
};

struct Component {
  int id, h, v, dcTable = 0, acTable = 0;
};

struct Jpeg {
  const std::string& b;
  size_t at = 2;
  bool frame = false;
  bool sequential = false;  // Huffman-coded baseline or extended
  uint32_t width = 0, height = 0;
  int hMax = 1, vMax = 1;
  std::vector<Component> components;
  std::vector<bool> scanned;
  Huffman tables[2][4];
  uint32_t restartInterval = 0;
};

// Entropy-coded bits, with stuffed zero bytes removed; -1 at a marker or
// the end of the file.
struct Bits {
  const std::string& b;
  size_t at;
  uint32_t byte = 0;
  int left = 0;
  int Next() {
    if (left == 0) {
      if (at >= b.size()) return -1;
      unsigned char c = static_cast<unsigned char>(b[at]);
      if (c == 0xFF) {
        if (at + 1 >= b.size() || b[at + 1] != 0) return -1;
        ++at;
      }
      ++at;
      byte = c;
      left = 8;
    }
    return (byte >> --left) & 1;
  }
  bool Skip(int n) {
    while (n-- > 0) {
      if (Next() < 0) return false;
    }
    return true;
  }
  int Decode(const Huffman& h) {
    int32_t code = 0;
    for (int length = 1; length <= 16; ++length) {
      int bit = Next();
      if (bit < 0) return -1;
      code = (code << 1) | bit;
      if (code <= h.maxCode[length]) return h.symbols[h.valuePointer[length] + code - h.minCode[length]];
    }
    return -2;  // no such code: the data is broken
  }
};

uint32_t Be16(const std::string& b, size_t at) {
  return (static_cast<unsigned>(static_cast<unsigned char>(b[at])) << 8) |
         static_cast<unsigned char>(b[at + 1]);
}

bool ReadTables(Jpeg* j, size_t at, size_t end) {
  while (at < end) {
    unsigned kind = static_cast<unsigned char>(j->b[at]);
    if ((kind >> 4) > 1 || (kind & 15) > 3 || end - at < 17) return false;
    Huffman& h = j->tables[kind >> 4][kind & 15];
    h = Huffman();
    size_t total = 0;
    int32_t code = 0;
    for (int length = 1; length <= 16; ++length) {
      unsigned count = static_cast<unsigned char>(j->b[at + length]);
      h.valuePointer[length] = static_cast<int32_t>(total);
      h.minCode[length] = code;
      code += count;
      total += count;
      h.maxCode[length] = count ? code - 1 : -1;
      code <<= 1;
    }
    if (end - at - 17 < total) return false;
    h.symbols.assign(j->b.begin() + at + 17, j->b.begin() + at + 17 + total);
    h.defined = true;
    at += 17 + total;
  }
  return true;
}

bool ReadFrame(Jpeg* j, size_t at, size_t end, unsigned marker) {
  if (end - at < 6) return false;
  j->frame = true;
  j->sequential = marker == 0xC0 || marker == 0xC1;
  j->height = Be16(j->b, at + 1);
  j->width = Be16(j->b, at + 3);
  unsigned count = static_cast<unsigned char>(j->b[at + 5]);
  if (count == 0 || end - at < 6 + 3 * count || j->width == 0 || j->height == 0) return false;
  for (unsigned i = 0; i < count; ++i) {
    unsigned factors = static_cast<unsigned char>(j->b[at + 7 + 3 * i]);
    Component c{static_cast<unsigned char>(j->b[at + 6 + 3 * i]), static_cast<int>(factors >> 4),
                static_cast<int>(factors & 15)};
    if (c.h < 1 || c.h > 4 || c.v < 1 || c.v > 4) return false;
    j->hMax = std::max(j->hMax, c.h);
    j->vMax = std::max(j->vMax, c.v);
    j->components.push_back(c);
  }
  j->scanned.assign(count, false);
  return true;
}

bool WalkBlock(Bits* bits, const Huffman& dc, const Huffman& ac) {
  int size = bits->Decode(dc);
  if (size < 0 || size > 16 || !bits->Skip(size)) return false;
  for (int k = 1; k < 64; ++k) {
    int rs = bits->Decode(ac);
    if (rs < 0) return false;
    if ((rs & 15) == 0) {
      if (rs != 0xF0) return true;  // end of block
      k += 15;
      continue;
    }
    k += rs >> 4;
    if (!bits->Skip(rs & 15)) return false;
  }
  return true;
}

// Walks one sequential scan's blocks from j->at; false with *what set when
// they are not all there. Leaves j->at past the data the walk read.
bool WalkScan(Jpeg* j, const std::vector<int>& scan, std::string* what) {
  uint64_t across, down;
  if (scan.size() == 1) {
    const Component& c = j->components[scan[0]];
    across = ((uint64_t{j->width} * c.h + j->hMax - 1) / j->hMax + 7) / 8;
    down = ((uint64_t{j->height} * c.v + j->vMax - 1) / j->vMax + 7) / 8;
  } else {
    across = (j->width + 8ull * j->hMax - 1) / (8ull * j->hMax);
    down = (j->height + 8ull * j->vMax - 1) / (8ull * j->vMax);
  }
  Bits bits{j->b, j->at};
  for (uint64_t unit = 0; unit < across * down; ++unit) {
    if (j->restartInterval && unit > 0 && unit % j->restartInterval == 0) {
      bits.left = 0;
      while (bits.at < j->b.size() && static_cast<unsigned char>(j->b[bits.at]) == 0xFF &&
             bits.at + 1 < j->b.size() && static_cast<unsigned char>(j->b[bits.at + 1]) == 0xFF) {
        ++bits.at;
      }
      if (bits.at + 2 > j->b.size()) break;
      unsigned marker = static_cast<unsigned char>(j->b[bits.at + 1]);
      if (static_cast<unsigned char>(j->b[bits.at]) != 0xFF || (marker & 0xF8) != 0xD0) break;
      bits.at += 2;
    }
    for (int index : scan) {
      const Component& c = j->components[index];
      int blocks = scan.size() == 1 ? 1 : c.h * c.v;
      for (int k = 0; k < blocks; ++k) {
        if (!WalkBlock(&bits, j->tables[0][c.dcTable], j->tables[1][c.acTable])) {
          *what = "the JPEG's image data ends before its last block";
          return false;
        }
      }
    }
    if (unit + 1 == across * down) {
      j->at = bits.at;
      return true;
    }
  }
  *what = "the JPEG's image data ends before its last block";
  return false;
}

// The scan header at [at, end): which components, checked against the
// frame and the tables it needs.
bool ReadScan(Jpeg* j, size_t at, size_t end, std::vector<int>* scan) {
  if (!j->frame || end - at < 1) return false;
  unsigned count = static_cast<unsigned char>(j->b[at]);
  if (count == 0 || end - at < 1 + 2 * count + 3) return false;
  for (unsigned i = 0; i < count; ++i) {
    int id = static_cast<unsigned char>(j->b[at + 1 + 2 * i]);
    unsigned tables = static_cast<unsigned char>(j->b[at + 2 + 2 * i]);
    int found = -1;
    for (size_t k = 0; k < j->components.size(); ++k) {
      if (j->components[k].id == id) found = static_cast<int>(k);
    }
    if (found < 0) return false;
    Component& c = j->components[found];
    c.dcTable = (tables >> 4) & 3;
    c.acTable = tables & 3;
    if (j->sequential && (!j->tables[0][c.dcTable].defined || !j->tables[1][c.acTable].defined))
      return false;
    scan->push_back(found);
  }
  return true;
}

// Past entropy-coded data to the next marker that is not a restart.
void SkipToMarker(Jpeg* j) {
  while (j->at + 1 < j->b.size()) {
    unsigned next = static_cast<unsigned char>(j->b[j->at + 1]);
    if (static_cast<unsigned char>(j->b[j->at]) == 0xFF && next != 0 && next != 0xFF &&
        (next & 0xF8) != 0xD0) {
      return;
    }
    ++j->at;
  }
  j->at = j->b.size();
}

}  // namespace

ImageWholeness CheckJpegWhole(const std::string& b, std::string* what) {
  Jpeg j{b, 2, false, false, 0, 0, 1, 1, {}, {}, {}, 0};
  bool anyScan = false;
  for (;;) {
    while (j.at < b.size() && static_cast<unsigned char>(b[j.at]) != 0xFF) ++j.at;
    while (j.at < b.size() && static_cast<unsigned char>(b[j.at]) == 0xFF) ++j.at;
    if (j.at >= b.size()) break;
    unsigned marker = static_cast<unsigned char>(b[j.at++]);
    if (marker == 0xD9) {
      bool all = anyScan;
      for (bool s : j.scanned) all = all && s;
      if (all || (anyScan && !j.sequential)) return kImageWhole;
      *what = "the JPEG ends before all of its scans";
      return anyScan ? kImageDamaged : kImageHeaderDamaged;
    }
    if ((marker & 0xF8) == 0xD0 || marker == 0x01 || marker == 0xD8) continue;
    if (j.at + 2 > b.size() || Be16(b, j.at) < 2 || b.size() - j.at < Be16(b, j.at)) {
      *what = anyScan ? "the JPEG ends inside a segment" : "the JPEG ends inside its header";
      return anyScan ? kImageDamaged : kImageHeaderDamaged;
    }
    size_t start = j.at + 2;
    size_t end = j.at + Be16(b, j.at);
    j.at = end;
    bool frameMarker = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 &&
                       marker != 0xCC;
    bool good = true;
    std::vector<int> scan;
    if (frameMarker) good = !j.frame && ReadFrame(&j, start, end, marker);
    else if (marker == 0xC4) good = ReadTables(&j, start, end);
    else if (marker == 0xDD && end - start >= 2) j.restartInterval = Be16(b, start);
    else if (marker == 0xDD) good = false;
    else if (marker == 0xDA) good = ReadScan(&j, start, end, &scan);
    if (!good) {
      *what = "the JPEG's header is broken";
      return anyScan ? kImageDamaged : kImageHeaderDamaged;
    }
    if (marker != 0xDA) continue;
    anyScan = true;
    if (!j.sequential) {
      SkipToMarker(&j);
      continue;
    }
    if (!WalkScan(&j, scan, what)) return kImageDamaged;
    for (int index : scan) j.scanned[index] = true;
    SkipToMarker(&j);
  }
  // The file ended without an end marker.
  bool all = anyScan && j.sequential;
  for (bool s : j.scanned) all = all && s;
  if (all) return kImageWhole;
  if (!anyScan) *what = "the JPEG ends inside its header";
  else if (j.sequential) *what = "the JPEG ends before all of its scans";
  else *what = "the JPEG ends inside its image data";
  return anyScan ? kImageDamaged : kImageHeaderDamaged;
}
