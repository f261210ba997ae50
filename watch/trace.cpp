// TraceOut discards by default: nothing reaches a file, a debugger or the
// event log. A sink, when installed, receives each formatted text, and the
// log file does while tracing is on.
#include "watch/trace.h"

#include "base/format.h"
#include "base/log_file.h"

#include <atomic>
#include <cstdarg>
#include <string>

static std::atomic<TraceSink> traceSink{nullptr};
static std::atomic<bool> traceToLog{false};

void SetTraceToLog(bool on) { traceToLog.store(on); }

static void TraceToLog(const std::string& text) {
  std::string line = LogTextUtf8(text);
  if (!line.empty() && line.back() != '\n' && line[0] != ' ') line += '\n';
  LogFileWrite(line);
}

void SetTraceSink(TraceSink sink) { traceSink.store(sink); }

void TraceOut(const char* format, ...) {
  TraceSink sink = traceSink.load();
  bool toLog = traceToLog.load();
  if (sink == nullptr && !toLog) return;
  va_list args;
  va_start(args, format);
  std::string text = FormatV(format, args);
  va_end(args);
  if (sink != nullptr) sink(text.c_str());
  if (toLog) TraceToLog(text);
}
