// The base64 decoder of the PrintImage endpoint: lenient rules, table-driven
// fast path for the ordinary four-character group.
#include "intake/base64.h"

#include <cstdint>

namespace {

constexpr uint32_t ValueOf(unsigned code) {
  return (code >= 'A' && code <= 'Z')   ? code - 'A'
         : (code >= 'a' && code <= 'z') ? code - 'a' + 26
         : (code >= '0' && code <= '9') ? code - '0' + 52
         : code == '+'                  ? 62
         : code == '/'                  ? 63
                                        : 0;
}

// A group whose characters all look up without this bit is an ordinary one:
// no line break in first place, no "=" in third or fourth place.
constexpr uint32_t kUnusual = 0x80000000u;

struct GroupTables {
  uint32_t first[256];
  uint32_t second[256];
  uint32_t third[256];
  uint32_t fourth[256];
  uint8_t value[256];
};

constexpr GroupTables MakeGroupTables() {
  GroupTables tables{};
  for (unsigned code = 0; code < 256; ++code) {
    uint32_t value = ValueOf(code);
    bool lineBreak = code == '\r' || code == '\n';
    bool padding = code == '=';
    tables.first[code] = (value << 18) | (lineBreak ? kUnusual : 0);
    tables.second[code] = value << 12;
    tables.third[code] = (value << 6) | (padding ? kUnusual : 0);
    tables.fourth[code] = value | (padding ? kUnusual : 0);
    tables.value[code] = static_cast<uint8_t>(value);
  }
  return tables;
}

constexpr GroupTables kTables = MakeGroupTables();

inline void PutThree(char* out, uint32_t v) {
  out[0] = static_cast<char>(v >> 16);
  out[1] = static_cast<char>(v >> 8);
  out[2] = static_cast<char>(v);
}

}  // namespace

std::string DecodeBase64(const char* text, size_t length) {
  std::string decoded;
  if (length == 0) return decoded;
  // Every group consumes four of the count and yields at most three bytes.
  decoded.resize((length + 3) / 4 * 3);
  char* out = &decoded[0];
  const unsigned char* in = reinterpret_cast<const unsigned char*>(text);
  const GroupTables& t = kTables;

  // The position never runs ahead of the count, so while count + 8 <= length
  // two whole groups lie inside the text.
  size_t pos = 0;
  size_t count = 0;
  while (count < length) {
    while (count + 8 <= length) {
      const unsigned char* g = in + pos;
      uint32_t a = t.first[g[0]] | t.second[g[1]] | t.third[g[2]] | t.fourth[g[3]];
      uint32_t b = t.first[g[4]] | t.second[g[5]] | t.third[g[6]] | t.fourth[g[7]];
      if ((a | b) & kUnusual) break;
      PutThree(out, a);
      PutThree(out + 3, b);
      out += 6;
      pos += 8;
      count += 8;
    }
    if (count >= length) break;

    size_t available = length - pos;
    unsigned char c0 = in[pos];
    if (c0 == '\r' || c0 == '\n') {
      ++pos;
      ++count;
      continue;
    }
    count += 4;
    if (available == 1) break;  // a lone final character carries no whole byte
    uint32_t v = (uint32_t{t.value[c0]} << 18) | (uint32_t{t.value[in[pos + 1]]} << 12);
    *out++ = static_cast<char>(v >> 16);
    if (available == 2) break;  // two final characters carry one byte
    unsigned char c2 = in[pos + 2];
    if (c2 == '=') {
      pos += 2;
      continue;
    }
    v |= uint32_t{t.value[c2]} << 6;
    *out++ = static_cast<char>(v >> 8);
    // A final group of three reads the terminator after the text: value 0.
    unsigned char c3 = available >= 4 ? in[pos + 3] : 0;
    if (c3 == '=') {
      pos += 3;
      continue;
    }
    v |= t.value[c3];
    *out++ = static_cast<char>(v);
    pos += 4;
  }
  decoded.resize(static_cast<size_t>(out - decoded.data()));
  return decoded;
}
