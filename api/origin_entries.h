// Entry splitting of the site allowlist: the entries a configuration place
// holds, each with where it was found, before anything judges them.
#pragma once
#include <string>
#include <vector>

#include "api/origin_config.h"

struct RawEntry {
  std::string text;   // blanks around it removed; never empty
  std::string where;  // the place, and for a file ":" and the line number
};

// The entries of one place in stored order: a file's lines without their
// comments ("#" at a line's start or after a blank), a REG_MULTI_SZ's
// strings, a REG_SZ's pieces between blanks and semicolons.
std::vector<RawEntry> SplitEntries(const OriginSource& source);
