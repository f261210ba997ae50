// POSIX backend of the allowlist configuration (Linux, macOS): the file
// printgate/allowed-origins under the system's configuration folder /etc and
// under the user's ($XDG_CONFIG_HOME, default ~/.config; on macOS
// ~/Library/Application Support), read whole.
#include "api/origin_config.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "common/home_folder.h"

namespace {

// A list is a few lines; a larger file is not one.
constexpr off_t kMaxFileBytes = 1 << 20;

// False when the file doesn't exist; otherwise fills source.
bool ReadListFile(const std::string& path, OriginSource* source) {
  source->where = path;
  source->format = kOriginLines;
  // Non-blocking, so that a FIFO in the file's place can't hold the start.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return false;
    source->why = std::strerror(errno);
    return true;
  }
  struct stat info;
  if (fstat(fd, &info) != 0) {
    source->why = std::strerror(errno);
  } else if (!S_ISREG(info.st_mode)) {
    source->why = S_ISDIR(info.st_mode) ? "a folder, not a file" : "not a regular file";
  } else if (info.st_size > kMaxFileBytes) {
    source->why = "larger than 1 MiB";
  } else {
    std::string text;
    char chunk[4096];
    ssize_t got;
    while ((got = read(fd, chunk, sizeof(chunk))) > 0 && text.size() <= static_cast<size_t>(kMaxFileBytes)) {
      text.append(chunk, static_cast<size_t>(got));
    }
    if (got < 0) {
      source->why = std::strerror(errno);
    } else if (text.size() > static_cast<size_t>(kMaxFileBytes)) {
      source->why = "larger than 1 MiB";
    } else {
      source->readable = true;
      source->texts.push_back(text);
    }
  }
  close(fd);
  return true;
}

}  // namespace

std::vector<OriginSource> ReadOriginSources() {
  std::vector<OriginSource> sources;
  std::vector<std::string> paths = {"/etc/printgate/allowed-origins"};
  std::string user = UserConfigFolder();
  if (!user.empty()) paths.push_back(user + "/printgate/allowed-origins");
  for (const std::string& path : paths) {
    OriginSource source;
    if (ReadListFile(path, &source)) sources.push_back(source);
  }
  return sources;
}

bool ReadOriginFile(const std::string& path, OriginSource* source) {
  return ReadListFile(path, source);
}
