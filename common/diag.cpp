// Standard output (or a test's sink) for printgate's diagnostic lines, and
// the log file beside it. Lines are written at once, or in batches by a
// writer thread of their own once DiagWriteInBatches has been called.
#include "common/diag.h"

#include "base/format.h"
#include "base/log_file.h"

#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <system_error>
#include <thread>

namespace {
// The longest a line waits in a batch.
constexpr std::chrono::milliseconds kBatchInterval(100);
// Past this much pending, a line waits for the writer, as a blocking write
// did: a reader that stops reading must not make the program grow for ever.
constexpr size_t kMostPending = 1 << 20;

// Never destroyed: the writer thread may still wait on them while the
// program's static objects go at exit.
struct DiagState {
  // Guards everything below and orders the lines.
  std::mutex mutex;
  // Held while a batch is written, taken before `mutex` is let go, so that
  // batches reach the output in the order they were taken.
  std::mutex outMutex;
  std::condition_variable lineWaiting;
  std::condition_variable batchTaken;
  DiagSink sink = nullptr;
  bool batching = false;
  std::string pending;
};
DiagState& State() {
  static DiagState* state = new DiagState;
  return *state;
}

// Called with outMutex held, and never with `mutex` held while batching.
void WriteOut(DiagSink sink, const std::string& bytes) {
  if (sink) {
    sink(bytes);
    return;
  }
  std::fwrite(bytes.data(), 1, bytes.size(), stdout);
  std::fflush(stdout);
}

// Called with `mutex` held: the lines leave now, or join the batch.
void Output(const std::string& bytes) {
  DiagState& s = State();
  if (s.batching) {
    bool wasEmpty = s.pending.empty();
    s.pending += bytes;
    if (wasEmpty) s.lineWaiting.notify_one();
    return;
  }
  std::lock_guard<std::mutex> out(s.outMutex);
  WriteOut(s.sink, bytes);
}

// Takes the batch and writes it, letting new lines in meanwhile.
void WritePending(std::unique_lock<std::mutex>& lock) {
  DiagState& s = State();
  if (s.pending.empty()) return;
  std::string batch;
  batch.swap(s.pending);
  s.batchTaken.notify_all();
  DiagSink sink = s.sink;
  std::unique_lock<std::mutex> out(s.outMutex);
  lock.unlock();
  WriteOut(sink, batch);
  out.unlock();
  lock.lock();
}

// Sleeps while nothing is pending, so an idle program never wakes for it.
void BatchWriter() {
  DiagState& s = State();
  std::unique_lock<std::mutex> lock(s.mutex);
  for (;;) {
    s.lineWaiting.wait(lock, [&] { return !s.pending.empty(); });
    // The lines of the next 100 ms join this one's batch.
    auto due = std::chrono::steady_clock::now() + kBatchInterval;
    while (std::chrono::steady_clock::now() < due) s.lineWaiting.wait_until(lock, due);
    WritePending(lock);
  }
}

// The log writer calls this only from inside LogFileWrite, which runs
// under the state's mutex.
void SayLogSkipped(const std::string& text) { Output(text + "\n"); }

void Emit(const std::string& bytes) {
  DiagState& s = State();
  std::unique_lock<std::mutex> lock(s.mutex);
  s.batchTaken.wait(lock, [&] { return s.pending.size() < kMostPending; });
  Output(bytes);
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
  std::unique_lock<std::mutex> lock(State().mutex);
  // Lines already taken go where they were meant to.
  WritePending(lock);
  State().sink = sink;
}

void DiagWriteInBatches() {
  DiagState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.batching) return;
  try {
    std::thread(BatchWriter).detach();
  } catch (const std::system_error&) {
    return;  // no writer: each line is written as it comes, as before
  }
  s.batching = true;
  // A normal exit writes what is still pending.
  std::atexit(DiagFlush);
}

void DiagFlush() {
  std::unique_lock<std::mutex> lock(State().mutex);
  WritePending(lock);
  // A batch the writer took before this call is out once its write is.
  std::lock_guard<std::mutex> out(State().outMutex);
}

void DiagOpenLogFile(const std::string& path) {
  std::lock_guard<std::mutex> lock(State().mutex);
  LogFileSetNotice(SayLogSkipped);
  LogFileOpen(path);
}

std::string PrintgateLogPath(const std::string& userDataFolder) {
  return userDataFolder.empty() ? std::string() : userDataFolder + "\\VELQ\\printgate\\printgate.log";
}

void DiagLogOnly(const std::string& text) {
  std::lock_guard<std::mutex> lock(State().mutex);
  LogFileWrite(LogTextUtf8(text) + "\n");
}
