// Platform seam for the administrator's list of web sites that may call
// printgate: where the raw list is kept and reading it, nothing more. What
// the entries mean is decided in origin_list.cpp.
//
// Backends (one per target):
// - origin_config_win.cpp: the value AllowedOrigins under HKLM (Windows);
// - origin_config_posix.cpp: /etc/printgate/allowed-origins and the user's
//   printgate/allowed-origins (Linux, macOS);
// - tests/fakes/api/origin_config_fake.cpp: places set by the tests.
#pragma once
#include <string>
#include <vector>

// How a place holds its entries.
enum OriginSourceFormat {
  kOriginLines,      // a file: one entry a line, "#" starts a comment
  kOriginStrings,    // one entry a string (REG_MULTI_SZ)
  kOriginSeparated,  // entries separated by blanks or semicolons (REG_SZ)
};

// One place that exists. Places that don't exist are not reported at all.
struct OriginSource {
  std::string where;  // shown in diagnostics: a path or a registry value
  bool readable = false;
  std::string why;  // readable == false: what went wrong, for a diagnostic
  OriginSourceFormat format = kOriginLines;
  std::vector<std::string> texts;  // the raw texts (UTF-8), in stored order
};

// Reads every place the list may be kept, in a fixed order (the system's
// place first, then the user's). A place that doesn't exist (no file, no key
// or no value) is left out; one that exists but can't be read (no access, a
// folder in the file's place, a value of another type, too large) comes
// back with readable == false. Blocks for the reads; called once at start.
std::vector<OriginSource> ReadOriginSources();

// POSIX backend only: reads one list file as ReadOriginSources() reads
// each of its places. False when the file doesn't exist.
bool ReadOriginFile(const std::string& path, OriginSource* source);
