// Event log seam over advapi32. The source is opened for each event: the
// service reports a handful a day, and a source registered while it runs
// (a repair of the MSI) is then used at once.
#include <windows.h>

#include "watch/event_log.h"

bool EventLogReport(const char* source, uint16_t type, uint32_t eventId, const std::vector<std::string>& strings,
                    uint32_t* error) {
  HANDLE log = RegisterEventSourceA(nullptr, source);
  if (log == nullptr) {
    *error = GetLastError();
    return false;
  }
  std::vector<const char*> pointers;
  for (const std::string& text : strings) pointers.push_back(text.c_str());
  BOOL ok = ReportEventA(log, type, 0, eventId, nullptr, static_cast<WORD>(pointers.size()), 0,
                         pointers.empty() ? nullptr : pointers.data(), nullptr);
  if (!ok) *error = GetLastError();
  DeregisterEventSource(log);
  return ok != FALSE;
}
