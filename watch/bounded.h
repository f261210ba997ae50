// Copies and formats into the fixed, zero-filled buffers printerwatch uses.
// A text that doesn't fit is refused (the buffer is left empty), never cut
// or written past the end: a cut name or path would address the wrong queue
// or file.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>

inline bool CopyBounded(char* buffer, size_t capacity, const char* text) {
  size_t length = std::strlen(text);
  if (length >= capacity) {
    std::memset(buffer, 0, capacity);
    return false;
  }
  std::memcpy(buffer, text, length + 1);
  return true;
}

inline bool FormatBounded(char* buffer, size_t capacity, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

inline bool FormatBounded(char* buffer, size_t capacity, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int length = std::vsnprintf(buffer, capacity, format, args);
  va_end(args);
  if (length < 0 || static_cast<size_t>(length) >= capacity) {
    std::memset(buffer, 0, capacity);
    return false;
  }
  return true;
}
