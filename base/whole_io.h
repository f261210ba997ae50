// Whole-buffer reads and writes on POSIX descriptors: a signal or a short
// transfer never leaves a file half written without the caller knowing.
#pragma once
#include <cstddef>
#include <sys/types.h>

// Writes all size bytes of data to fd, retrying after EINTR and short
// writes. Returns true when every byte went; false on the first other
// failure (errno tells which) or a write of 0 bytes. Blocks as write(2)
// does on fd; never longer by itself.
bool WriteWhole(int fd, const void* data, size_t size);

// Reads from fd into data until size bytes came, the end of the file was
// met or a failure other than EINTR occurred. Returns the count read, or -1
// when a failure came before any byte (errno tells which). Blocks as
// read(2) does on fd.
ssize_t ReadWhole(int fd, void* data, size_t size);
