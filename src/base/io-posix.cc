#include <unistd.h>

#include <cerrno>

#include "base/io.h"

int seekto(int fd, uint64_t offset) {
  return lseek(fd, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset) ? 0 : errno;
}

int syncfile(int fd) { return fsync(fd) == 0 ? 0 : errno; }

int closefile(int fd) { return close(fd) == 0 ? 0 : errno; }
