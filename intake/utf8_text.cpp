// UTF-8 validation of posted text.
#include "intake/utf8_text.h"

namespace {

// The length of the well-formed sequence at text[i], or 0 when none starts
// there.
size_t SequenceAt(const std::string& text, size_t i) {
  unsigned char c = static_cast<unsigned char>(text[i]);
  size_t extra = 0;
  unsigned long code = 0;
  if (c < 0x80) {
    return 1;
  } else if (c >= 0xC2 && c <= 0xDF) {
    extra = 1;
    code = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    extra = 2;
    code = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    extra = 3;
    code = c & 0x07;
  } else {
    return 0;
  }
  if (i + extra >= text.size()) return 0;
  for (size_t k = 1; k <= extra; ++k) {
    unsigned char next = static_cast<unsigned char>(text[i + k]);
    if ((next & 0xC0) != 0x80) return 0;
    code = (code << 6) | (next & 0x3F);
  }
  if ((extra == 2 && code < 0x800) || (extra == 3 && code < 0x10000) || code > 0x10FFFF ||
      (code >= 0xD800 && code <= 0xDFFF)) {
    return 0;
  }
  return extra + 1;
}

}  // namespace

bool IsUtf8(const std::string& text) {
  for (size_t i = 0; i < text.size();) {
    size_t length = SequenceAt(text, i);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

std::string Utf8OrReplaced(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    size_t length = SequenceAt(text, i);
    if (length == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out.append(text, i, length);
      i += length;
    }
  }
  return out;
}
