// A PNG header just complete enough for the fake printing backend to take
// an image size from it; optional tail bytes tell images apart.
#pragma once
#include <cstdint>
#include <string>

inline std::string FakePng(uint32_t width, uint32_t height, const std::string& tail = "") {
  std::string png("\x89PNG\r\n\x1a\n", 8);
  png += std::string("\0\0\0\x0d", 4) + "IHDR";
  for (uint32_t value : {width, height}) {
    for (int shift = 24; shift >= 0; shift -= 8) png += static_cast<char>((value >> shift) & 0xFF);
  }
  png += std::string("\x08\x06\0\0\0", 5);
  return png + tail;
}
