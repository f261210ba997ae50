// The log writer's seam over POSIX files (Linux; the text conversion is in
// gbk_posix.cpp). Error codes are translated to the Windows codes the
// writer and its notices name, so that one text serves both.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "base/log_io.h"

namespace {

uint32_t WindowsCode(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR: return 3;
    case EACCES:
    case EPERM:
    case EROFS: return 5;
    case ENOSPC:
    case EDQUOT: return 112;
    default: return static_cast<uint32_t>(error);
  }
}

}  // namespace

LogIoTime LogIoNow() {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  tm local;
  localtime_r(&now.tv_sec, &local);
  return LogIoTime{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                   local.tm_min, local.tm_sec, static_cast<int>(now.tv_nsec / 1000000)};
}

uint64_t LogIoTicks() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec / 1000000);
}

uint32_t LogIoProcessId() { return static_cast<uint32_t>(getpid()); }

LogIoHandle LogIoOpenAppend(const std::string& path, uint64_t* size, uint32_t* error) {
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = WindowsCode(errno);
    return nullptr;
  }
  struct stat info;
  *size = fstat(fd, &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0;
  return reinterpret_cast<LogIoHandle>(static_cast<intptr_t>(fd) + 1);
}

bool LogIoAppend(LogIoHandle handle, const char* data, size_t length, uint32_t* error) {
  int fd = static_cast<int>(reinterpret_cast<intptr_t>(handle) - 1);
  ssize_t written;
  do {
    written = write(fd, data, length);
  } while (written < 0 && errno == EINTR);
  if (written < 0 || static_cast<size_t>(written) != length) {
    *error = written < 0 ? WindowsCode(errno) : 112;
    return false;
  }
  return true;
}

void LogIoClose(LogIoHandle handle) {
  if (handle != nullptr) close(static_cast<int>(reinterpret_cast<intptr_t>(handle) - 1));
}

bool LogIoReplace(const std::string& from, const std::string& to, uint32_t* error) {
  if (std::rename(from.c_str(), to.c_str()) != 0) {
    *error = errno == ENOENT ? 2 : WindowsCode(errno);
    return false;
  }
  return true;
}

bool LogIoMakeFolders(const std::string& folder, uint32_t* error) {
  for (size_t i = 1; i <= folder.size(); ++i) {
    if (i < folder.size() && folder[i] != '/') continue;
    mkdir(folder.substr(0, i).c_str(), 0755);
  }
  struct stat info;
  if (stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    *error = WindowsCode(errno == 0 ? ENOTDIR : errno);
    return false;
  }
  return true;
}

std::string LogIoUserDataFolder() {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return state;
  const char* home = std::getenv("HOME");
  return home != nullptr && home[0] == '/' ? std::string(home) + "/.local/state" : std::string();
}
