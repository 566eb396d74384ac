#include "base/io.h"

#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>

bool readallat(int fd, uint64_t offset, void* data, size_t size) {
  return seekto(fd, offset) == 0 && readall(fd, data, size);
}

int seekto(int fd, uint64_t offset) {
  return _lseeki64(fd, static_cast<__int64>(offset), SEEK_SET) == static_cast<__int64>(offset) ? 0 : errno;
}

int syncfile(int fd) {
  const HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  if (file == INVALID_HANDLE_VALUE) return EBADF;
  return FlushFileBuffers(file) ? 0 : EIO;
}

int closefile(int fd) { return _close(fd) == 0 ? 0 : errno; }
