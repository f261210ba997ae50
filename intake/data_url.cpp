// Strict reading of data URLs: the checks that make their base64 text safe
// to hand to the lenient decoder, and percent-decoding.
#include "intake/data_url.h"

#include "base/ascii.h"
#include "intake/base64.h"

namespace {

bool IsBase64Character(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         c == '+' || c == '/';
}

// Base64 as data URLs carry it: the standard alphabet in whole groups of
// four, "=" only as the last one or two characters.
bool IsStrictBase64(const char* text, size_t length) {
  if (length % 4 != 0) return false;
  size_t padding = 0;
  if (length >= 1 && text[length - 1] == '=') ++padding;
  if (length >= 2 && text[length - 2] == '=') ++padding;
  for (size_t i = 0; i < length - padding; ++i) {
    if (!IsBase64Character(text[i])) return false;
  }
  return true;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool PercentDecode(const char* text, size_t length, std::string* bytes) {
  bytes->clear();
  bytes->reserve(length);
  for (size_t i = 0; i < length; ++i) {
    if (text[i] != '%') {
      bytes->push_back(text[i]);
      continue;
    }
    int high = i + 1 < length ? HexValue(text[i + 1]) : -1;
    int low = i + 2 < length ? HexValue(text[i + 2]) : -1;
    if (high < 0 || low < 0) return false;
    bytes->push_back(static_cast<char>(high * 16 + low));
    i += 2;
  }
  return true;
}

}  // namespace

DataUrlResult DecodeDataUrl(const std::string& text, std::string* bytes) {
  if (text.size() < 5 || AsciiLower(text.substr(0, 5)) != "data:") return kDataUrlNotOne;
  size_t comma = text.find(',');
  if (comma == std::string::npos) return kDataUrlNoComma;
  std::string meta = AsciiLower(text.substr(5, comma - 5));
  const char* data = text.data() + comma + 1;
  size_t length = text.size() - comma - 1;
  bool base64 = meta.size() >= 7 && meta.compare(meta.size() - 7, 7, ";base64") == 0;
  if (!base64) return PercentDecode(data, length, bytes) ? kDataUrlDecoded : kDataUrlBadPercent;
  if (!IsStrictBase64(data, length)) return kDataUrlBadBase64;
  *bytes = DecodeBase64(data, length);
  return kDataUrlDecoded;
}
