// Platform seam for the administrator's memory budget: where the setting is
// kept and reading its raw text, nothing more. What the text means is
// decided in budget_setting.cpp (the environment variable, read there, goes
// before every place below).
//
// Backends (one per target):
// - budget_config_win.cpp: the value MemoryBudgetMiB under
//   HKLM\Software\VELQ\printgate, a REG_DWORD or a REG_SZ (Windows);
// - budget_config_posix.cpp: printgate/memory-budget under the user's
//   configuration folder, then under /etc (Linux, macOS);
// - tests/fakes/api/origin_config_fake.cpp: places set by the tests.
#pragma once
#include <vector>

#include "api/origin_config.h"

// Each place the budget may be set that exists, the first to count first;
// one that exists but cannot be read comes back with readable == false and
// why. A place's text is in texts[0] (a REG_DWORD as decimal digits).
// Blocks for the reads; called once at start.
std::vector<OriginSource> ReadBudgetSources();
