// GBK messages into the locale's encoding, with iconv.
#include "common/locale_text.h"

#include <iconv.h>
#include <langinfo.h>

#include <cstring>

static bool IsUtf8(const std::string& text) {
  size_t i = 0;
  while (i < text.size()) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    size_t length = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xe ? 3 : (c >> 3) == 0x1e ? 4 : 0;
    if (length == 0 || (length == 2 && c < 0xc2) || i + length > text.size()) return false;
    for (size_t k = 1; k < length; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xc0) != 0x80) return false;
    }
    i += length;
  }
  return true;
}

static bool Convert(const char* to, const char* from, const std::string& in, std::string* out) {
  iconv_t converter = iconv_open(to, from);
  if (converter == reinterpret_cast<iconv_t>(-1)) return false;
  std::string source = in;
  std::string target(in.size() * 4 + 16, '\0');
  char* inPtr = &source[0];
  size_t inLeft = source.size();
  char* outPtr = &target[0];
  size_t outLeft = target.size();
  bool done = iconv(converter, &inPtr, &inLeft, &outPtr, &outLeft) != static_cast<size_t>(-1) &&
              iconv(converter, nullptr, nullptr, &outPtr, &outLeft) != static_cast<size_t>(-1);
  iconv_close(converter);
  if (!done) return false;
  out->assign(target.data(), target.size() - outLeft);
  return true;
}

std::string GbkToLocale(const std::string& bytes) {
  if (bytes.empty()) return bytes;
  std::string utf8 = bytes;
  if (!IsUtf8(bytes) && !Convert("UTF-8", "GBK", bytes, &utf8)) return bytes;
  const char* codeset = nl_langinfo(CODESET);
  if (codeset == nullptr || std::strcmp(codeset, "UTF-8") == 0 || std::strcmp(codeset, "ANSI_X3.4-1968") == 0 ||
      std::strcmp(codeset, "US-ASCII") == 0 || IsUtf8(utf8) == false) {
    return utf8;
  }
  std::string local;
  std::string target = std::string(codeset) + "//TRANSLIT";
  return Convert(target.c_str(), "UTF-8", utf8, &local) ? local : utf8;
}
