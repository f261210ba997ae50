// The fakes' shared call log; passes and controls run on different threads.
#include "tests/fakes/watch/fake_log.h"

#include <mutex>

static std::mutex logLock;
static std::vector<std::string> logEntries;

void FakeLogAdd(const std::string& entry) {
  std::lock_guard<std::mutex> guard(logLock);
  logEntries.push_back(entry);
}

std::vector<std::string> FakeLogEntries() {
  std::lock_guard<std::mutex> guard(logLock);
  return logEntries;
}

void FakeLogClear() {
  std::lock_guard<std::mutex> guard(logLock);
  logEntries.clear();
}
