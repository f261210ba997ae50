// TraceOut discards by default: nothing reaches a file, a debugger or the
// event log. A sink, when installed, receives each formatted text.
#include "watch/trace.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <vector>

static std::atomic<TraceSink> traceSink{nullptr};

void SetTraceSink(TraceSink sink) { traceSink.store(sink); }

void TraceOut(const char* format, ...) {
  TraceSink sink = traceSink.load();
  if (sink == nullptr) return;
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  int length = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  if (length < 0) {
    va_end(again);
    return;
  }
  std::vector<char> text(static_cast<size_t>(length) + 1);
  std::vsnprintf(text.data(), text.size(), format, again);
  va_end(again);
  sink(text.data());
}
