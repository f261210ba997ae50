// GIF's completeness: every block up to the trailer, and each frame's LZW
// codes giving as many pixels as the frame has. A GIF cut anywhere loses
// its trailer; one whose codes stop early would leave part of the frame to
// the decoder's background.
#include <cstdint>
#include <vector>

#include "render/image_whole_parts.h"

namespace {

// The data sub-blocks from at, joined; at moves past their terminator.
bool ReadSubBlocks(const std::string& b, size_t* at, std::string* data) {
  for (;;) {
    if (*at >= b.size()) return false;
    size_t length = static_cast<unsigned char>(b[*at]);
    ++*at;
    if (length == 0) return true;
    if (b.size() - *at < length) return false;
    if (data) data->append(b, *at, length);
    *at += length;
  }
}

// The pixels an LZW code stream decodes to (only lengths are kept, not the
// strings), stopping at the end code or at need; -1 when a code names an
// entry that cannot exist yet.
int64_t LzwPixels(const std::string& data, int minimumSize, uint64_t need) {
  const int clear = 1 << minimumSize;
  const int end = clear + 1;
  std::vector<uint32_t> length(4096, 1);
  int size = minimumSize + 1;
  int next = clear + 2;
  int previous = -1;
  uint64_t pixels = 0;
  uint32_t buffer = 0;
  int bits = 0;
  size_t at = 0;
  while (pixels < need) {
    while (bits < size && at < data.size()) {
      buffer |= static_cast<uint32_t>(static_cast<unsigned char>(data[at++])) << bits;
      bits += 8;
    }
    if (bits < size) break;
    int code = static_cast<int>(buffer & ((1u << size) - 1));
    buffer >>= size;
    bits -= size;
    if (code == clear) {
      size = minimumSize + 1;
      next = clear + 2;
      previous = -1;
      continue;
    }
    if (code == end) break;
    uint32_t produced;
    if (code < clear) produced = 1;
    else if (code < next && code > end) produced = length[code];
    else if (code == next && previous >= 0) produced = length[previous] + 1;
    else return -1;
    if (previous >= 0 && next < 4096) {
      length[next] = length[previous] + 1;
      ++next;
      if (next == (1 << size) && size < 12) ++size;
    }
    pixels += produced;
    previous = code;
  }
  return static_cast<int64_t>(pixels);
}

// What is wrong with a frame's codes, or null when they give every pixel.
const char* FrameFault(const std::string& data, int minimumSize, uint64_t pixels) {
  if (minimumSize < 2 || minimumSize > 11) return "the GIF's compressed image data is broken";
  int64_t got = LzwPixels(data, minimumSize, pixels);
  if (got < 0) return "the GIF's compressed image data is broken";
  if (static_cast<uint64_t>(got) < pixels) return "the GIF's image data holds fewer pixels than its frame";
  return nullptr;
}

}  // namespace

ImageWholeness CheckGifWhole(const std::string& b, std::string* what, bool streams) {
  bool sized = false;  // the first frame's descriptor was read
  auto fail = [&](const char* text) {
    *what = text;
    return sized ? kImageDamaged : kImageHeaderDamaged;
  };
  if (b.size() < 13) {
    return fail("the GIF ends inside its header");
  }
  size_t at = 13;
  unsigned flags = static_cast<unsigned char>(b[10]);
  if (flags & 0x80) at += 3u << ((flags & 7) + 1);
  bool anyFrame = false;
  for (;;) {
    if (at >= b.size()) {
      return fail(anyFrame ? "the GIF ends without its trailer" : "the GIF ends before its image");
    }
    unsigned char kind = static_cast<unsigned char>(b[at++]);
    if (kind == 0x3B) {
      if (anyFrame) return kImageWhole;
      return fail("the GIF holds no image");
    }
    if (kind == 0x21) {
      bool labelled = at < b.size();
      ++at;  // past the extension's label
      if (!labelled || !ReadSubBlocks(b, &at, nullptr)) {
        return fail("the GIF ends inside an extension block");
      }
      continue;
    }
    if (kind != 0x2C) {
      return fail("the GIF holds a block of no known kind");
    }
    if (b.size() - at < 10) {
      return fail("the GIF ends inside an image descriptor");
    }
    auto le16 = [&b](size_t i) {
      return static_cast<unsigned>(static_cast<unsigned char>(b[i])) |
             (static_cast<unsigned>(static_cast<unsigned char>(b[i + 1])) << 8);
    };
    uint64_t pixels = static_cast<uint64_t>(le16(at + 4)) * le16(at + 6);
    unsigned local = static_cast<unsigned char>(b[at + 8]);
    at += 9;
    if (local & 0x80) at += 3u << ((local & 7) + 1);
    if (at >= b.size()) {
      return fail("the GIF ends before its image data");
    }
    int minimumSize = static_cast<unsigned char>(b[at++]);
    sized = true;
    std::string data;
    if (!ReadSubBlocks(b, &at, &data)) return fail("the GIF ends inside its image data");
    if (const char* fault = streams ? FrameFault(data, minimumSize, pixels) : nullptr) return fail(fault);
    anyFrame = true;
  }
}
