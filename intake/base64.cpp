// The base64 decoder of the PrintImage endpoint: lenient rules, with a
// table-driven fast path for runs of ordinary four-character groups.
#include "intake/base64.h"

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// Each character's value already shifted to its place in the group's 24 bits.
struct GroupTables {
  uint32_t first[256];
  uint32_t second[256];
  uint32_t third[256];
  uint32_t fourth[256];
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
  }
  return tables;
}

constexpr GroupTables kTables = MakeGroupTables();

inline uint32_t Group(const unsigned char* g) {
  return kTables.first[g[0]] | kTables.second[g[1]] | kTables.third[g[2]] | kTables.fourth[g[3]];
}

inline uint64_t BigEndian64(uint64_t value) {
#if defined(__GNUC__)
  return __builtin_bswap64(value);
#else
  uint64_t swapped = 0;
  for (int i = 0; i < 8; ++i) swapped = (swapped << 8) | ((value >> (8 * i)) & 0xFF);
  return swapped;
#endif
}

// Writes two groups' six bytes in one store, plus two bytes of slack that
// the next write (or the final resize) covers.
inline void PutSix(char* out, uint32_t first, uint32_t second) {
  uint64_t bytes = BigEndian64((uint64_t{first} << 40) | (uint64_t{second} << 16));
  std::memcpy(out, &bytes, 8);
}

#if defined(__SSE2__)
// Decodes sixteen characters (four groups) and writes their twelve bytes
// plus two of slack, when every character is in the alphabet, so that no
// line break, "=" or foreign character needs the rules. Otherwise writes
// nothing and returns false.
inline bool DecodeSixteen(const unsigned char* in, char* out) {
  __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
  auto between = [&c](char low, char high) {  // low <= c <= high, signed bytes
    return _mm_and_si128(_mm_cmpgt_epi8(c, _mm_set1_epi8(static_cast<char>(low - 1))),
                         _mm_cmpgt_epi8(_mm_set1_epi8(static_cast<char>(high + 1)), c));
  };
  __m128i upper = between('A', 'Z');
  __m128i lower = between('a', 'z');
  __m128i digit = between('0', '9');
  __m128i plus = _mm_cmpeq_epi8(c, _mm_set1_epi8('+'));
  __m128i slash = _mm_cmpeq_epi8(c, _mm_set1_epi8('/'));
  __m128i valid =
      _mm_or_si128(_mm_or_si128(upper, lower), _mm_or_si128(digit, _mm_or_si128(plus, slash)));
  if (_mm_movemask_epi8(valid) != 0xFFFF) return false;
  // Value = code + an offset per class: A-Z -65, a-z -71, 0-9 +4, + +19, / +16.
  __m128i offset = _mm_or_si128(
      _mm_or_si128(_mm_and_si128(upper, _mm_set1_epi8(-65)), _mm_and_si128(lower, _mm_set1_epi8(-71))),
      _mm_or_si128(_mm_and_si128(digit, _mm_set1_epi8(4)),
                   _mm_or_si128(_mm_and_si128(plus, _mm_set1_epi8(19)),
                                _mm_and_si128(slash, _mm_set1_epi8(16)))));
  __m128i sextets = _mm_add_epi8(c, offset);
  // Characters a b c d of a group: a<<6|b and c<<6|d in its two 16-bit
  // halves, then (a<<6|b)<<12 | (c<<6|d) in its 32-bit lane.
  __m128i even = _mm_slli_epi16(_mm_and_si128(sextets, _mm_set1_epi16(0x00FF)), 6);
  __m128i odd = _mm_srli_epi16(sextets, 8);
  __m128i groups = _mm_madd_epi16(_mm_or_si128(even, odd), _mm_set1_epi32(0x00011000));
  uint64_t low = static_cast<uint64_t>(_mm_cvtsi128_si64(groups));
  uint64_t high = static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(groups, groups)));
  PutSix(out, static_cast<uint32_t>(low), static_cast<uint32_t>(low >> 32));
  PutSix(out + 6, static_cast<uint32_t>(high), static_cast<uint32_t>(high >> 32));
  return true;
}
#endif

// Whole runs of sixteen characters without line breaks, padding or stray
// bytes: the bulk of any image. Stops at the first run that holds one.
inline void DecodeRuns(const unsigned char* in, size_t length, size_t* pos, size_t* count, char** out) {
#if defined(__SSE2__)
  while (*count + 16 <= length && DecodeSixteen(in + *pos, *out)) {
    *out += 12;
    *pos += 16;
    *count += 16;
  }
#endif
  while (*count + 16 <= length) {
    const unsigned char* g = in + *pos;
    uint32_t v0 = Group(g);
    uint32_t v1 = Group(g + 4);
    uint32_t v2 = Group(g + 8);
    uint32_t v3 = Group(g + 12);
    if ((v0 | v1 | v2 | v3) & kUnusual) break;
    PutSix(*out, v0, v1);
    PutSix(*out + 6, v2, v3);
    *out += 12;
    *pos += 16;
    *count += 16;
  }
}

// One group of four ordinary characters; false (nothing written) when it
// holds padding, a line break or a stray byte.
inline bool DecodeGroup(const unsigned char* g, char** out) {
  uint32_t v = Group(g);
  if (v & kUnusual) return false;
  (*out)[0] = static_cast<char>(v >> 16);
  (*out)[1] = static_cast<char>(v >> 8);
  (*out)[2] = static_cast<char>(v);
  *out += 3;
  return true;
}

// A group the faster paths refused: padding, the text's short end, or a
// byte outside the alphabet (read as 0). Writes the bytes it carries and
// returns how far the position moves; 0 when the text ends in it.
inline size_t DecodeOddGroup(const unsigned char* g, size_t available, char** out) {
  if (available == 1) return 0;  // a lone final character carries no whole byte
  uint32_t v = (ValueOf(g[0]) << 18) | (ValueOf(g[1]) << 12);
  *(*out)++ = static_cast<char>(v >> 16);
  if (available == 2) return 0;  // two final characters carry one byte
  if (g[2] == '=') return 2;
  v |= ValueOf(g[2]) << 6;
  *(*out)++ = static_cast<char>(v >> 8);
  // A final group of three reads the terminator after the text: value 0.
  unsigned char c3 = available >= 4 ? g[3] : 0;
  if (c3 == '=') return 3;
  v |= ValueOf(c3);
  *(*out)++ = static_cast<char>(v);
  return 4;
}

}  // namespace

std::string DecodeBase64(const char* text, size_t length) {
  std::string decoded;
  if (length == 0) return decoded;
  // Every group consumes four of the count and yields at most three bytes;
  // two more bytes of room for PutSix's slack.
  decoded.resize((length + 3) / 4 * 3 + 2);
  char* out = &decoded[0];
  const unsigned char* in = reinterpret_cast<const unsigned char*>(text);

  // The position never runs ahead of the count, so while count + 16 <= length
  // four whole groups lie inside the text.
  size_t pos = 0;
  size_t count = 0;
  while (count < length) {
    DecodeRuns(in, length, &pos, &count, &out);
    if (count >= length) break;
    if (count + 4 <= length && DecodeGroup(in + pos, &out)) {
      pos += 4;
      count += 4;
      continue;
    }
    if (in[pos] == '\r' || in[pos] == '\n') {
      ++pos;
      ++count;
      continue;
    }
    count += 4;
    size_t advance = DecodeOddGroup(in + pos, length - pos, &out);
    if (advance == 0) break;
    pos += advance;
  }
  decoded.resize(static_cast<size_t>(out - decoded.data()));
  return decoded;
}
