// Fuzzes DecodeBase64 against the plain transcription of its rules: the
// bytes must agree exactly, and the decoder must read nothing outside its
// text (the text sits in a buffer of its exact size, so ASan sees any read
// past it, the terminator's place included).
//
// Input: a mode byte, then the text. Mode bit 0 clear: the rest is the text
// as it stands. Set: each byte picks a character from the alphabet or from
// the awkward ones ("=", CR, LF, NUL, space, URL-safe and high bytes), so the
// fuzzer reaches padding and line-break paths in almost every input.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "intake/base64.h"
#include "tests/intake/base64_reference.h"

namespace {
// Names the failing check's line, so a crash report says which rule broke.
void Check(bool condition, int line = __builtin_LINE()) {
  if (condition) return;
  std::fprintf(stderr, "check failed at line %d\n", line);
  std::abort();
}

std::string Awkward(const uint8_t* data, size_t size) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  static const char kOdd[] = {'=', '=', '=', '=', '\r', '\n', '\r', '\n', '\0', ' ', '-', '_',
                              '{', '~', '\x7f', '\x80', '\xc8', '\xff', '\t', ','};
  std::string text;
  text.reserve(size);
  for (size_t i = 0; i < size; ++i) {
    uint8_t b = data[i];
    text += b < 128 ? kAlphabet[b % 64] : kOdd[b % sizeof(kOdd)];
  }
  return text;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string text = (data[0] & 1) ? Awkward(data + 1, size - 1)
                                   : std::string(reinterpret_cast<const char*>(data + 1), size - 1);
  // Exactly sized, not terminated: the decoder must not look past the end.
  std::unique_ptr<char[]> exact(new char[text.size() ? text.size() : 1]);
  std::memcpy(exact.get(), text.data(), text.size());

  std::string decoded = DecodeBase64(exact.get(), text.size());
  std::string expected = ReferenceDecode(text);
  Check(decoded == expected);
  // Every group consumes four of the count and yields at most three bytes.
  Check(decoded.size() <= (text.size() + 3) / 4 * 3);
  return 0;
}
