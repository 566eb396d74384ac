#include "base/io.h"

#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>

bool readallat(int fd, uint64_t offset, void* data, size_t size) {
  return seekto(fd, offset) == 0 && readall(fd, data, size);
}

int readat(int fd, uint64_t offset, void* data, size_t size, size_t* got) {
  *got = 0;
  if (seekto(fd, offset) != 0) return errno;
  const int n = _read(fd, data, static_cast<unsigned>(size < iochunk ? size : iochunk));
  if (n < 0) return errno;
  *got = static_cast<size_t>(n);
  return 0;
}

int writeallat(int fd, uint64_t offset, const void* data, size_t size) {
  return seekto(fd, offset) == 0 ? writeall(fd, data, size) : errno;
}

int filesize(int fd, uint64_t* size) {
  struct _stati64 st;
  if (_fstati64(fd, &st) != 0) return errno;
  *size = static_cast<uint64_t>(st.st_size);
  return 0;
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
