// POSIX backend of the memory budget's setting (Linux, macOS): the file
// printgate/memory-budget in the user's configuration folder, then in /etc,
// read as the allowlist files are.
#include "api/budget_config.h"

#include "common/home_folder.h"

std::vector<OriginSource> ReadBudgetSources() {
  std::vector<OriginSource> sources;
  std::vector<std::string> paths;
  std::string user = UserConfigFolder();
  if (!user.empty()) paths.push_back(user + "/printgate/memory-budget");
  paths.push_back("/etc/printgate/memory-budget");
  for (const std::string& path : paths) {
    OriginSource source;
    if (ReadOriginFile(path, &source)) sources.push_back(source);
  }
  return sources;
}
