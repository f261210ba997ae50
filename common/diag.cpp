// Standard output (or a test's sink) for printgate's diagnostic lines.
#include "common/diag.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <vector>

namespace {
std::mutex diagMutex;
DiagSink diagSink = nullptr;

void Emit(const std::string& bytes) {
  std::lock_guard<std::mutex> lock(diagMutex);
  if (diagSink) {
    diagSink(bytes);
    return;
  }
  std::fwrite(bytes.data(), 1, bytes.size(), stdout);
  std::fflush(stdout);
}
}  // namespace

void DiagLine(const std::string& text) { Emit(text + "\n"); }

void DiagText(const std::string& text) { Emit(text); }

void DiagPrintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int needed = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (needed < 0) {
    va_end(args);
    return;
  }
  std::vector<char> buffer(static_cast<size_t>(needed) + 1);
  std::vsnprintf(buffer.data(), buffer.size(), format, args);
  va_end(args);
  Emit(std::string(buffer.data(), static_cast<size_t>(needed)));
}

void SetDiagSink(DiagSink sink) {
  std::lock_guard<std::mutex> lock(diagMutex);
  diagSink = sink;
}
