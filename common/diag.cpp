// Standard output (or a test's sink) for printgate's diagnostic lines, and
// the log file beside it.
#include "common/diag.h"

#include "base/format.h"
#include "base/log_file.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace {
std::mutex diagMutex;
DiagSink diagSink = nullptr;

// Called with diagMutex held.
void WriteOut(const std::string& bytes) {
  if (diagSink) {
    diagSink(bytes);
    return;
  }
  std::fwrite(bytes.data(), 1, bytes.size(), stdout);
  std::fflush(stdout);
}

// The log writer calls this only from inside LogFileWrite, which runs
// under diagMutex.
void SayLogSkipped(const std::string& text) { WriteOut(text + "\n"); }

void Emit(const std::string& bytes) {
  std::lock_guard<std::mutex> lock(diagMutex);
  WriteOut(bytes);
  LogFileWrite(LogTextUtf8(bytes));
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

void DiagOpenLogFile(const std::string& path) {
  std::lock_guard<std::mutex> lock(diagMutex);
  LogFileSetNotice(SayLogSkipped);
  LogFileOpen(path);
}

std::string PrintgateLogPath(const std::string& userDataFolder) {
  return userDataFolder.empty() ? std::string() : userDataFolder + "\\VELQ\\printgate\\printgate.log";
}

void DiagLogOnly(const std::string& text) {
  std::lock_guard<std::mutex> lock(diagMutex);
  LogFileWrite(LogTextUtf8(text) + "\n");
}
