// printerwatch's account of itself for an administrator: one line for
// each change a pass makes to the queues and each failure it meets, in
// "printerwatch.log" in the data directory (the traces too while the
// settings' "Trace" value is 1), and the service's start, stop and failed
// passes in the event log under the service's own source.
#pragma once

#include <cstdint>
#include <string>

constexpr char kServiceLogName[] = "printerwatch.log";

// Reads "Data Directory" (where the log goes) and the settings key's
// "Trace" (DWORD 1, or the text 1: traces go to the log too). Run before
// each pass, so a change takes effect at the next one.
void ServiceLogLoadSettings();

// The log file's path, empty while "Data Directory" can't be read.
std::string ServiceLogPath();

// A change the pass made; printf-style, one line.
void LogChange(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// A failure the pass met; printf-style, one line. Counts toward the
// pass's event.
void LogFailure(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

void ServiceLogBeginPass();
// One error event when the pass met any failure, naming the first.
void ServiceLogEndPass();

void ServiceLogStarted();
void ServiceLogStopped();
void ServiceLogHandlerFailed(uint32_t error);
