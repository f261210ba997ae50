// Seam: the Application event log, where an administrator looks first.
// Events are reported under the service's own event source, whose
// registration (by the MSI) names printerwatch.exe's message table, so the
// viewer shows the message's text with the strings filled in. Backends:
// win/event_log_win.cpp (RegisterEventSourceA, ReportEventA,
// DeregisterEventSource), linux/event_log_linux.cpp (none: systemd's
// journal records the unit's start, stop and output),
// tests/fakes/watch/event_log_fake.cpp.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The event types of ReportEvent.
constexpr uint16_t kEventError = 1;
constexpr uint16_t kEventWarning = 2;
constexpr uint16_t kEventInformation = 4;

// Reports event `eventId` (a message id of the table, severity bits
// included) of `type` under `source`, with its insertion strings (ANSI,
// %1 to %n). False with the system error code in *error when the source
// can't be opened or the event can't be written (1502 log full, 5 denied).
// Blocks for one local call to the event log service, normally well under
// a millisecond; the service's calls are rare (start, stop, failed pass).
bool EventLogReport(const char* source, uint16_t type, uint32_t eventId, const std::vector<std::string>& strings,
                    uint32_t* error);
