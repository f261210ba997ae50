// ASCII letter case, the way the spooler, the registry and URL schemes and
// hosts compare names: only A-Z fold, so bytes of other code pages (GBK,
// UTF-8) pass unchanged whatever the process's locale.
#pragma once
#include <string>

inline char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

inline std::string AsciiLower(std::string text) {
  for (char& c : text) c = AsciiLower(c);
  return text;
}
