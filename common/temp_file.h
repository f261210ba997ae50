// Platform seam for the temporary image file: where the all-users Documents
// folder is, and writing a file by wide path. Backends: temp_file_win.cpp
// (shell and C runtime), temp_file_fake.cpp (in memory, for tests).
#pragma once
#include <cstddef>
#include <string>

// The all-users Documents folder (SHGetFolderPathW, CSIDL_COMMON_DOCUMENTS,
// SHGFP_TYPE_CURRENT), without a trailing backslash. True only when the
// lookup returned S_OK; S_FALSE and errors give false. Does not block.
bool GetCommonDocumentsFolder(std::wstring* folder);

enum WriteFileResult {
  kFileWritten,     // created or truncated, every byte written, closed
  kFileNotOpened,   // could not be opened for writing; the file is untouched
  kFileIncomplete,  // opened (so truncated) but not every byte reached it
};

// Opens path in mode "wb" (created, or truncated to zero), writes size bytes
// in one block and closes it. Blocks for the write.
WriteFileResult WriteWholeFile(const std::wstring& path, const char* data, size_t size);
