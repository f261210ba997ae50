// The user's home folder, from the environment or the password database,
// and the configuration folder under it.
#include "common/home_folder.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return home;
  struct passwd entry;
  struct passwd* found = nullptr;
  char buffer[4096];
  if (getpwuid_r(getuid(), &entry, buffer, sizeof(buffer), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr && found->pw_dir[0] == '/') {
    return found->pw_dir;
  }
  return std::string();
}

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
