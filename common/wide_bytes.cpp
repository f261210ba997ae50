// Byte strings in wide strings and back, one byte to a character.
#include "common/wide_bytes.h"

std::wstring WidenBytes(const std::string& bytes) {
  std::wstring wide;
  wide.reserve(bytes.size());
  for (unsigned char byte : bytes) wide += static_cast<wchar_t>(byte);
  return wide;
}

bool NarrowBytes(const std::wstring& wide, std::string* bytes) {
  bytes->clear();
  for (wchar_t c : wide) {
    if (c <= 0 || c > 0xFF) return false;
    bytes->push_back(static_cast<char>(c));
  }
  return true;
}

bool NarrowPosixPath(const std::wstring& path, std::string* bytes) {
  if (!NarrowBytes(path, bytes)) return false;
  for (char& c : *bytes) {
    if (c == '\\') c = '/';
  }
  return true;
}
