// Platform seam for the temporary image file: where the all-users Documents
// folder is, and writing a file by wide path.
//
// Backends (one per target):
// - temp_file_win.cpp: the shell's folder lookup and the C runtime (Windows);
// - temp_file_posix.cpp: a per-user folder of mode 0700 in its place, paths
//   as bytes (Linux, macOS);
// - tests/fakes/common/temp_file_fake.cpp: a table of files in memory.
#pragma once
#include <cstddef>
#include <string>

// The all-users Documents folder (SHGetFolderPathW, CSIDL_COMMON_DOCUMENTS,
// SHGFP_TYPE_CURRENT), without a trailing backslash. True only when the
// lookup returned S_OK; S_FALSE and errors give false. POSIX: the per-user
// folder, created when missing; false when it cannot be made, or belongs to
// someone else or others may write into it. Does not block beyond the file
// system's own calls.
bool GetCommonDocumentsFolder(std::wstring* folder);

enum WriteFileResult {
  kFileWritten,     // created or truncated, every byte written, closed
  kFileNotOpened,   // could not be opened for writing; the file is untouched
  kFileIncomplete,  // opened (so truncated) but not every byte reached it
};

// Opens path in mode "wb" (created, or truncated to zero), writes size bytes
// in one block and closes it. POSIX: backslashes read as separators, the
// file never opened through a link or in a folder others may write; anything
// but a regular file in its place is not opened. Blocks for the write.
WriteFileResult WriteWholeFile(const std::wstring& path, const char* data, size_t size);
