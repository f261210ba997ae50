// Test controls of the in-memory file system and clock under the log
// writer. Like Windows': an append goes whole or not at all, a rename over
// an existing file replaces it, a file in a missing folder can't be opened
// (3), and a full disk refuses the write but keeps the file (112).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "base/log_io.h"

// Which calls fail, and with which system error code (0: they work).
struct FakeLogIoFaults {
  uint32_t openError = 0;     // every LogIoOpenAppend (5 denied, 32 locked)
  uint32_t appendError = 0;   // every LogIoAppend (112 disk full)
  uint32_t replaceError = 0;  // every LogIoReplace
  uint32_t foldersError = 0;  // LogIoMakeFolders
};

void FakeLogIoReset();
void FakeLogIoSetFaults(const FakeLogIoFaults& faults);
// The clock: local time and the tick counter move only when a test says.
void FakeLogIoSetTime(const LogIoTime& time);
void FakeLogIoAdvance(uint64_t milliseconds);
// Folders that exist (all others are missing); "" is the current folder.
void FakeLogIoAddFolder(const std::string& folder);
std::map<std::string, std::string> FakeLogIoFiles();
// "open PATH", "append PATH N", "replace FROM TO", "folders F", in order.
std::vector<std::string> FakeLogIoCalls();
