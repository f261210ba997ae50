// Choosing the memory budget at start from the administrator's setting.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "api/origin_config.h"

constexpr char kBudgetVariable[] = "PRINTGATE_MEMORY_BUDGET_MIB";

// The budget in bytes from the environment variable's value (null: unset)
// and then the platform's places in order; the first that holds a budget
// wins. *said gets the lines to show: each place skipped and why, then the
// budget chosen and where from.
uint64_t ChooseMemoryBudget(const char* environment, const std::vector<OriginSource>& sources,
                            std::string* said);
// Reads every place and sets the process's budget; says which.
void LoadMemoryBudget();
