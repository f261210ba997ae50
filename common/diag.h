// printgate's diagnostic lines. Every message of the server, the intake and
// the print job goes through here, so a test can read them byte for byte.
// Each call writes and flushes at once: a redirected stdout on Windows is
// fully buffered, and a line must not wait for the next one.
#pragma once
#include <string>

// Writes text and a line break, then flushes.
void DiagLine(const std::string& text);
// Writes text as it stands (printf-style messages carry their own "\n").
void DiagText(const std::string& text);
// printf-style; the formatted text is written as it stands.
void DiagPrintf(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Where the lines go: null (the default) is standard output. Tests install
// a sink that collects them. Calls are serialised, so a sink needs no lock.
typedef void (*DiagSink)(const std::string& bytes);
void SetDiagSink(DiagSink sink);
