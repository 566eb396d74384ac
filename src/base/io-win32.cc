#include "base/io.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

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

int openregular(const std::string& path, std::string* reason) {
  // Windows has no FIFO or device among a folder's files; a folder, which
  // the C library does not open, is refused as on POSIX.
  auto refuse = [&](int fd, const char* why) {
    if (fd >= 0) _close(fd);
    *reason = why;
    return -1;
  };
  struct _stat64 st {};
  if (_stat64(path.c_str(), &st) != 0) return refuse(-1, std::strerror(errno));
  if ((st.st_mode & _S_IFMT) == _S_IFDIR) return refuse(-1, std::strerror(EISDIR));
  if ((st.st_mode & _S_IFMT) != _S_IFREG) return refuse(-1, "not a regular file");
  const int fd = _open(path.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
  if (fd < 0) return refuse(-1, std::strerror(errno));
  if (_fstat64(fd, &st) != 0) return refuse(fd, std::strerror(errno));
  if ((st.st_mode & _S_IFMT) != _S_IFREG) return refuse(fd, "not a regular file");
  return fd;
}

int writablefolder(const std::string& path) {
  struct _stat64 st {};
  if (_stat64(path.c_str(), &st) != 0) return errno;
  if ((st.st_mode & _S_IFMT) != _S_IFDIR) return ENOTDIR;
  // A folder's read-only attribute does not keep files out of it; its
  // access control list does, which only an attempt would tell.
  return 0;
}
