// Seam: the file system, clock and text conversion under the log writer
// (base/log_file.cpp). Backends: log_io_win.cpp (kernel32, shell32),
// log_io_posix.cpp (POSIX, iconv), tests/fakes/base/log_io_fake.cpp.
// Paths are UTF-8 throughout; the Windows backend widens them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

typedef void* LogIoHandle;  // null: not open

// Wall-clock time in the machine's local zone, as a person reads it.
struct LogIoTime {
  int year = 0;
  int month = 0;  // 1 to 12
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
};

// Local time now (GetLocalTime). Never fails, never blocks.
LogIoTime LogIoNow();

// Milliseconds of a clock that only moves forward (GetTickCount64); for
// pacing retries, never shown. Never blocks.
uint64_t LogIoTicks();

// The calling process's id, to tell apart two copies writing one file.
uint32_t LogIoProcessId();

// Opens `path` for appending, creating it when missing, shared so that
// other programs (and other copies of this one) may read, append, rename
// and delete it while it is open. *size receives its size before anything
// is written. Null on failure, with the system error code in *error: 3
// (folder missing), 5 (access denied), 32 (locked by another program),
// 112 (disk full) and the like. Blocks only on the file system; a failing
// local disk answers at once.
LogIoHandle LogIoOpenAppend(const std::string& path, uint64_t* size, uint32_t* error);

// Appends all `length` bytes at the file's end in one write, so that lines
// of two writers never interleave inside a line. False when not all bytes
// were written (112 disk full, 33 part locked), with the code in *error.
bool LogIoAppend(LogIoHandle handle, const char* data, size_t length, uint32_t* error);

// Closes a handle. Accepts null.
void LogIoClose(LogIoHandle handle);

// Renames `from` to `to`, replacing `to` when it exists (MoveFileExW with
// MOVEFILE_REPLACE_EXISTING). False with the code in *error: 2 (`from` is
// gone, e.g. another writer renamed it first), 5, 32.
bool LogIoReplace(const std::string& from, const std::string& to, uint32_t* error);

// Creates `folder` and any missing parents. True when it exists afterwards;
// false with the code of the step that failed in *error.
bool LogIoMakeFolders(const std::string& folder, uint32_t* error);

// The per-user folder for programs' local data (%LOCALAPPDATA% on Windows,
// $XDG_STATE_HOME or ~/.local/state on POSIX), without a trailing
// separator; empty when it can't be found.
std::string LogIoUserDataFolder();

// Text in code page 936 (GBK; also the ANSI code page of Chinese Windows)
// as UTF-8. A byte sequence that isn't GBK becomes U+FFFD.
std::string LogIoGbkToUtf8(const std::string& bytes);
