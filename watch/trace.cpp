// TraceOut discards by default: nothing reaches a file, a debugger or the
// event log. A sink, when installed, receives each formatted text.
#include "watch/trace.h"

#include "base/format.h"

#include <atomic>
#include <cstdarg>

static std::atomic<TraceSink> traceSink{nullptr};

void SetTraceSink(TraceSink sink) { traceSink.store(sink); }

void TraceOut(const char* format, ...) {
  TraceSink sink = traceSink.load();
  if (sink == nullptr) return;
  va_list args;
  va_start(args, format);
  std::string text = FormatV(format, args);
  va_end(args);
  sink(text.c_str());
}
