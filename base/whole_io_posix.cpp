// EINTR-safe loops around read(2) and write(2), kept in one place.
#include "base/whole_io.h"

#include <cerrno>
#include <unistd.h>

bool WriteWhole(int fd, const void* data, size_t size) {
  const char* bytes = static_cast<const char*>(data);
  size_t written = 0;
  while (written < size) {
    ssize_t n = write(fd, bytes + written, size - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    written += static_cast<size_t>(n);
  }
  return true;
}

ssize_t ReadWhole(int fd, void* data, size_t size) {
  char* bytes = static_cast<char*>(data);
  size_t got = 0;
  while (got < size) {
    ssize_t n = read(fd, bytes + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return got == 0 ? -1 : static_cast<ssize_t>(got);
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(got);
}
