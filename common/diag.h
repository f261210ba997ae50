// printgate's diagnostic lines. Every message of the server, the intake and
// the print job goes through here, so a test can read them byte for byte.
// Each call writes and flushes at once (a redirected stdout on Windows is
// fully buffered, and a line must not wait for the next one), unless the
// program has asked for batches: then a writer thread of their own writes
// the lines at most every 100 ms, so a request never waits for a console
// or a pipe, and a busy server makes one write where it made two per
// request. The bytes and their order stay the same. On Windows, where
// nobody sees standard output, every line also goes to a log file.
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
// a sink that collects them. Calls are serialised, so a sink needs no lock;
// in batches it is called with several whole lines at once.
typedef void (*DiagSink)(const std::string& bytes);
void SetDiagSink(DiagSink sink);

// From now on lines are written in batches: each waits at most 100 ms, and
// the rest are written by DiagFlush and at a normal exit. For an output no
// person watches (standard output not a terminal): one who does sees each
// line as it comes. Starts the writer thread, which sleeps while nothing is
// pending.
void DiagWriteInBatches();
// Writes the lines still pending, and returns once they are out. Called
// before anything else is written to standard error, so the two streams
// keep their order.
void DiagFlush();

// From now on every line also goes, stamped and as UTF-8, to the log file
// at `path` (base/log_file.h); empty (the default) means none. A log that
// can't be written is said once, on standard output, and then skipped:
// it never delays or fails a request.
void DiagOpenLogFile(const std::string& path);

// The log file's path under the user's local data folder; empty when the
// folder is unknown.
std::string PrintgateLogPath(const std::string& userDataFolder);

// A line for the log file alone: what an administrator needs (the page's
// origin of a print) while standard output stays as it always was.
void DiagLogOnly(const std::string& text);
