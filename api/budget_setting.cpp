// The memory budget an administrator set: the environment variable
// PRINTGATE_MEMORY_BUDGET_MIB, else the first place of the platform's that
// holds a setting. A setting that is not a budget is said and skipped; the
// default stands when none is left.
#include "api/budget_setting.h"

#include <cstdlib>

#include "api/budget_config.h"
#include "common/diag.h"
#include "common/memory_budget.h"

uint64_t ChooseMemoryBudget(const char* environment, const std::vector<OriginSource>& sources,
                            std::string* said) {
  std::vector<OriginSource> places;
  if (environment != nullptr) {
    OriginSource variable;
    variable.where = kBudgetVariable;
    variable.readable = true;
    variable.texts.push_back(environment);
    places.push_back(variable);
  }
  places.insert(places.end(), sources.begin(), sources.end());
  for (const OriginSource& place : places) {
    std::string why = place.why;
    uint64_t bytes = 0;
    if (place.readable && !place.texts.empty() && ParseMemoryBudgetMiB(place.texts[0], &bytes, &why)) {
      *said += "memory budget: " + std::to_string(bytes >> 20) + " MiB (" + place.where + ")";
      return bytes;
    }
    *said += "memory budget: " + place.where + " skipped: " + why + "\n";
  }
  *said += "memory budget: " + std::to_string(kDefaultMemoryBudget >> 20) + " MiB (the default)";
  return kDefaultMemoryBudget;
}

void LoadMemoryBudget() {
  std::string said;
  SetMemoryBudget(ChooseMemoryBudget(std::getenv(kBudgetVariable), ReadBudgetSources(), &said));
  DiagLine(said);
}
