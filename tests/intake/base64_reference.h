// A plain transcription of the lenient base64 rules, one character at a
// time, for differential checks of DecodeBase64 (unit test and fuzzer).
#pragma once
#include <string>

// The rules written out as plainly as possible, with the alphabet searched
// rather than looked up in a table.
inline std::string ReferenceDecode(const std::string& text) {
  static const std::string kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  auto value = [](unsigned char c) -> unsigned {
    size_t at = kAlphabet.find(static_cast<char>(c));
    return c != 0 && at != std::string::npos ? static_cast<unsigned>(at) : 0;
  };
  // The text is followed by its terminator, which counts as a character of
  // value 0 (and is not "=").
  auto at = [&](size_t i) -> unsigned char {
    return i < text.size() ? static_cast<unsigned char>(text[i]) : 0;
  };
  std::string out;
  size_t length = text.size();
  size_t pos = 0;
  size_t count = 0;
  while (count < length) {
    if (at(pos) == '\r' || at(pos) == '\n') {
      ++pos;
      ++count;
      continue;
    }
    size_t left = length - pos;
    if (left == 1) break;
    unsigned v = value(at(pos)) * 262144 + value(at(pos + 1)) * 4096;
    out += static_cast<char>((v >> 16) & 0xFF);
    if (left == 2) break;
    if (at(pos + 2) == '=') {
      pos += 2;
      count += 4;
      continue;
    }
    v += value(at(pos + 2)) * 64;
    out += static_cast<char>((v >> 8) & 0xFF);
    if (at(pos + 3) == '=') {
      pos += 3;
      count += 4;
      continue;
    }
    v += value(at(pos + 3));
    out += static_cast<char>(v & 0xFF);
    pos += 4;
    count += 4;
  }
  return out;
}
