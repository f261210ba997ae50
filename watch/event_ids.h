// The ids of printerwatch's events, as the message compiler numbers the
// messages of win/printerwatch_events.mc (severity in the top two bits;
// the viewer shows the low 16 as the event id). A bench test formats each
// from the built program's own table, so the two can't drift apart.
#pragma once

#include <cstdint>

constexpr uint32_t kEventStarted = 0x40000001;        // %1 service, %2 log file
constexpr uint32_t kEventStopped = 0x40000002;        // %1 service
constexpr uint32_t kEventPassFailed = 0xC0000003;     // %1 service, %2 count, %3 first failure, %4 log file
constexpr uint32_t kEventLogUnwritable = 0x80000004;  // %1 service, %2 why
constexpr uint32_t kEventHandlerFailed = 0xC0000005;  // %1 service, %2 error code
