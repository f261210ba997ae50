// The one log file of a program: timestamped lines appended to a file of
// bounded size with one predecessor, for the administrator who asks what
// happened. Writing it never fails the caller: a file that can't be opened
// or written is skipped (retried now and then), and the program is told
// once through its notice hook. Both programs use it; each has one log.
#pragma once

#include <cstdint>
#include <string>

// The file grows to about this size before it becomes the predecessor.
constexpr uint64_t kLogFileBytes = 1024 * 1024;
// Longer texts are cut, so that no name or origin can make a line unbounded.
constexpr size_t kLogLineBytes = 1024;
// While the file can't be written, one attempt per this many milliseconds;
// the lines in between are counted, not written.
constexpr uint64_t kLogRetryMs = 10000;
// The open file is opened afresh after this many milliseconds, so that a
// file another copy rotated or someone deleted doesn't keep the lines.
constexpr uint64_t kLogReopenMs = 60000;

// Where the writer says that the file can't be written (once per file).
typedef void (*LogNotice)(const std::string& text);

// Sets the file (UTF-8 path; empty: lines go nowhere) and its size bound;
// a different file starts without an earlier one's failure. The file's folder is created at
// the first line. Safe to call again, e.g. when a setting changes.
void LogFileOpen(const std::string& path, uint64_t maxBytes = kLogFileBytes);

// The predecessor's path: "x.log" keeps "x.1.log", so that both open in
// the editor a double-click picks for .log files.
std::string LogFilePredecessor(const std::string& path);

void LogFileSetNotice(LogNotice notice);

// Appends UTF-8 text. Each line ("\n" or "\r\n" ends one) gets the local
// time and the process id; a text without a line end waits for the rest
// of its line. Empty lines are left out; control characters are shown as
// \xNN; a line longer than kLogLineBytes is cut with a note of how much.
// Thread-safe. Blocks only as long as one append to a local file.
void LogFileWrite(const std::string& text);

// Text in the programs' own narrow form as UTF-8: valid UTF-8 (ASCII,
// names from CUPS) stays; anything else is read as GBK, the code page of
// the programs' Chinese messages.
std::string LogTextUtf8(const std::string& bytes);

// How many lines were skipped since the file last took one (for tests and
// the bench).
uint64_t LogFileSkippedLines();
