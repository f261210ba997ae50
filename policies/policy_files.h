// Platform seam for the browsers' policy files: reading, replacing and
// removing one whole file. Backends: policy_files_posix.cpp (Linux).
#pragma once
#include <string>

enum PolicyFileRead {
  kPolicyFileRead,     // text holds the whole file
  kPolicyFileMissing,  // no file (or no folder) at path
  kPolicyFileFailed,   // exists but can't be read: why says so
};

// Reads a file of at most 1 MiB. Blocks for the read; a FIFO in the file's
// place fails instead of blocking.
PolicyFileRead ReadPolicyFile(const std::string& path, std::string* text, std::string* why);

// Replaces path with text, mode 0644, creating missing folders (0755): a
// temporary file beside it renamed over it, so a browser starting meanwhile
// reads the old file or the new one, never half of one. False with why.
bool WritePolicyFile(const std::string& path, const std::string& text, std::string* why);

// Removes path; a missing file is success. Folders stay. False with why.
bool RemovePolicyFile(const std::string& path, std::string* why);
