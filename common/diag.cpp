// Standard output (or a test's sink) for printgate's diagnostic lines.
#include "common/diag.h"

#include "base/format.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

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
  std::string text = FormatV(format, args);
  va_end(args);
  Emit(text);
}

void SetDiagSink(DiagSink sink) {
  std::lock_guard<std::mutex> lock(diagMutex);
  diagSink = sink;
}
