// In-memory event log for printerwatch's unit tests.
#include "tests/fakes/watch/event_log_fake.h"

#include <mutex>

#include "watch/event_log.h"

namespace {
std::mutex fakeLock;
std::vector<FakeEvent> events;
uint32_t failWith = 0;
}  // namespace

void FakeEventLogReset() {
  std::lock_guard<std::mutex> guard(fakeLock);
  events.clear();
  failWith = 0;
}

void FakeEventLogSetError(uint32_t error) {
  std::lock_guard<std::mutex> guard(fakeLock);
  failWith = error;
}

std::vector<FakeEvent> FakeEventLogEvents() {
  std::lock_guard<std::mutex> guard(fakeLock);
  return events;
}

bool EventLogReport(const char* source, uint16_t type, uint32_t eventId, const std::vector<std::string>& strings,
                    uint32_t* error) {
  std::lock_guard<std::mutex> guard(fakeLock);
  if (failWith != 0) {
    *error = failWith;
    return false;
  }
  events.push_back(FakeEvent{source, type, eventId, strings});
  return true;
}
