#include "base/io.h"

#include <unistd.h>

#include <cerrno>

bool readallat(int fd, uint64_t offset, void* data, size_t size) {
  char* p = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t n = pread(fd, p, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    offset += static_cast<uint64_t>(n);
    size -= static_cast<size_t>(n);
  }
  return true;
}

int seekto(int fd, uint64_t offset) {
  return lseek(fd, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset) ? 0 : errno;
}

int syncfile(int fd) { return fsync(fd) == 0 ? 0 : errno; }

int closefile(int fd) { return close(fd) == 0 ? 0 : errno; }
