// POSIX backend of the memory budget's setting (Linux, macOS): the file
// printgate/memory-budget in the user's configuration folder, then in /etc,
// read as the allowlist files are.
#include "api/budget_config.h"

#include <cstdlib>

#include "common/home_folder.h"

namespace {

std::string UserConfigFolder() {
#if defined(__APPLE__)
  std::string home = HomeFolder();
  return home.empty() ? home : home + "/Library/Application Support";
#else
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config != nullptr && config[0] == '/') return config;
  std::string home = HomeFolder();
  return home.empty() ? home : home + "/.config";
#endif
}

}  // namespace

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
