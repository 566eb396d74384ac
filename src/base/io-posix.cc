#include "base/io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

int readat(int fd, uint64_t offset, void* data, size_t size, size_t* got) {
  ssize_t n;
  do n = pread(fd, data, size, static_cast<off_t>(offset));
  while (n < 0 && errno == EINTR);
  *got = n < 0 ? 0 : static_cast<size_t>(n);
  return n < 0 ? errno : 0;
}

int writeallat(int fd, uint64_t offset, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = pwrite(fd, p, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return EIO;
    p += n;
    offset += static_cast<uint64_t>(n);
    size -= static_cast<size_t>(n);
  }
  return 0;
}

int filesize(int fd, uint64_t* size) {
  // By seeking, not fstat: the C library makes fstat the newfstatat call,
  // which the render's sandbox does not allow.
  const off_t here = lseek(fd, 0, SEEK_CUR);
  const off_t end = here < 0 ? -1 : lseek(fd, 0, SEEK_END);
  if (end < 0) return errno;
  if (lseek(fd, here, SEEK_SET) < 0) return errno;
  *size = static_cast<uint64_t>(end);
  return 0;
}

int seekto(int fd, uint64_t offset) {
  return lseek(fd, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset) ? 0 : errno;
}

int syncfile(int fd) { return fsync(fd) == 0 ? 0 : errno; }

int closefile(int fd) { return close(fd) == 0 ? 0 : errno; }

int openregular(const std::string& path, std::string* reason) {
  auto refuse = [&](int fd, const char* why) {
    if (fd >= 0) close(fd);
    *reason = why;
    return -1;
  };
  // Looked at first, so that a FIFO or a device is not even opened; then,
  // opened without waiting, what was opened is looked at again, for the
  // name may have changed hands in between.
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return refuse(-1, std::strerror(errno));
  if (S_ISDIR(st.st_mode)) return refuse(-1, std::strerror(EISDIR));
  if (!S_ISREG(st.st_mode)) return refuse(-1, "not a regular file");
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return refuse(-1, std::strerror(errno));
  if (fstat(fd, &st) != 0) return refuse(fd, std::strerror(errno));
  if (S_ISDIR(st.st_mode)) return refuse(fd, std::strerror(EISDIR));
  if (!S_ISREG(st.st_mode)) return refuse(fd, "not a regular file");
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return refuse(fd, std::strerror(errno));
  return fd;
}

int writablefolder(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return errno;
  if (!S_ISDIR(st.st_mode)) return ENOTDIR;
  return access(path.c_str(), W_OK | X_OK) == 0 ? 0 : errno;
}
