// POSIX backend of the policy files: open/read/write/rename/unlink.
#include "policies/policy_files.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace {

constexpr off_t kMaxFileBytes = 1 << 20;

bool MakeFolders(const std::string& path, std::string* why) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    if (mkdir(path.substr(0, slash).c_str(), 0755) != 0 && errno != EEXIST) {
      *why = path.substr(0, slash) + ": " + std::strerror(errno);
      return false;
    }
  }
  return true;
}

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t wrote = write(fd, text.data() + done, text.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    done += static_cast<size_t>(wrote);
  }
  return true;
}

}  // namespace

PolicyFileRead ReadPolicyFile(const std::string& path, std::string* text, std::string* why) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return kPolicyFileMissing;
    *why = std::strerror(errno);
    return kPolicyFileFailed;
  }
  struct stat info;
  PolicyFileRead result = kPolicyFileFailed;
  if (fstat(fd, &info) != 0) {
    *why = std::strerror(errno);
  } else if (!S_ISREG(info.st_mode)) {
    *why = "not a regular file";
  } else if (info.st_size > kMaxFileBytes) {
    *why = "larger than 1 MiB";
  } else {
    text->clear();
    char chunk[4096];
    ssize_t got;
    while ((got = read(fd, chunk, sizeof(chunk))) > 0) text->append(chunk, static_cast<size_t>(got));
    if (got < 0) *why = std::strerror(errno);
    else result = kPolicyFileRead;
  }
  close(fd);
  return result;
}

bool WritePolicyFile(const std::string& path, const std::string& text, std::string* why) {
  if (!MakeFolders(path, why)) return false;
  std::string temporary = path + ".printgate-new";
  int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) {
    *why = temporary + ": " + std::strerror(errno);
    return false;
  }
  bool written = fchmod(fd, 0644) == 0 && WriteAll(fd, text) && fsync(fd) == 0;
  if (!written) *why = temporary + ": " + std::strerror(errno);
  if (close(fd) != 0 && written) {
    *why = temporary + ": " + std::strerror(errno);
    written = false;
  }
  if (written && rename(temporary.c_str(), path.c_str()) != 0) {
    *why = path + ": " + std::strerror(errno);
    written = false;
  }
  if (!written) unlink(temporary.c_str());
  return written;
}

bool RemovePolicyFile(const std::string& path, std::string* why) {
  if (unlink(path.c_str()) == 0 || errno == ENOENT || errno == ENOTDIR) return true;
  *why = path + ": " + std::strerror(errno);
  return false;
}
