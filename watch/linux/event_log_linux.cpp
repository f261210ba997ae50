// Event log seam on Linux: nothing to do. systemd's journal already holds
// the unit's start and stop and everything the service writes.
#include "watch/event_log.h"

bool EventLogReport(const char*, uint16_t, uint32_t, const std::vector<std::string>&, uint32_t*) { return true; }
