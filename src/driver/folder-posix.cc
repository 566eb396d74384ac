#include "driver/folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "worker/wire.h"

bool isfolder(const std::string& path, std::string* reason) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    *reason = std::strerror(errno);
    return false;
  }
  if (!S_ISDIR(st.st_mode)) *reason = "not a folder";
  return S_ISDIR(st.st_mode);
}

bool enterfolder(const std::string& path, std::string* reason) {
  if (chdir(path.c_str()) == 0) return true;
  *reason = std::strerror(errno);
  return false;
}

std::string currentfolder() {
  char* path = getcwd(nullptr, 0);
  const std::string text = path ? path : ".";
  free(path);
  return text;
}

struct folderlisting::platform {
  DIR* dir = nullptr;
};

folderlisting::folderlisting(const std::string& path) : native_(std::make_unique<platform>()) {
  native_->dir = opendir(path.c_str());
  if (!native_->dir) error_ = std::strerror(errno);
}

folderlisting::~folderlisting() {
  if (native_->dir) closedir(native_->dir);
}

bool folderlisting::ok() const { return native_->dir != nullptr; }

bool folderlisting::next(std::string* name) {
  if (!native_->dir) return false;
  errno = 0;
  const dirent* entry = readdir(native_->dir);
  if (!entry) {
    if (errno != 0) error_ = std::strerror(errno);
    return false;
  }
  name->assign(entry->d_name);
  return true;
}

const std::string& folderlisting::error() const { return error_; }

struct folderlock::platform {
  int fd = -1;
};

folderlock::folderlock() : native_(std::make_unique<platform>()) {}

folderlock::~folderlock() {
  if (native_->fd >= 0) close(native_->fd);
}

bool folderlock::acquire() {
  native_->fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (native_->fd < 0) return true;
  int locked;
  do locked = flock(native_->fd, LOCK_EX | LOCK_NB);
  while (locked != 0 && errno == EINTR);
  return locked == 0 || errno != EWOULDBLOCK;
}

entrykind lookup(const std::string& name) {
  struct stat st {};
  if (lstat(name.c_str(), &st) != 0) return entrykind::none;
  if (S_ISREG(st.st_mode)) return entrykind::file;
  if (S_ISDIR(st.st_mode)) return entrykind::folder;
  return entrykind::other;
}

int openstill(const std::string& name, uint64_t* size, std::string* reason) {
  auto fail = [&](const std::string& why) {
    *reason = why;
    return -1;
  };
  // stat first, so that a FIFO or a device is never opened at all.
  struct stat st {};
  if (stat(name.c_str(), &st) != 0) return fail(std::string("could not open file (") + std::strerror(errno) + ")");
  if (S_ISDIR(st.st_mode)) return fail(std::strerror(EISDIR));
  if (!S_ISREG(st.st_mode)) return fail("not a regular file");
  const int fd = open(name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return fail(std::string("could not open file (") + std::strerror(errno) + ")");
  // Checked again on what was opened: the name may have changed hands.
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return fail("not a regular file");
  }
  if (static_cast<uint64_t>(st.st_size) > stillfilelimit) {
    close(fd);
    return fail("too large: a file of " + std::to_string(st.st_size >> 20) + " MiB (at most " +
                std::to_string(stillfilelimit >> 20) + " MiB)");
  }
  *size = static_cast<uint64_t>(st.st_size);
  return fd;
}

bool writeframe(const std::string& name, const std::string& jpeg, std::string* reason) {
  unlink(name.c_str());
  const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) {
    *reason = std::strerror(errno);
    return false;
  }
  int error = writeall(fd, jpeg.data(), jpeg.size());
  const int closed = closefile(fd);
  if (error == 0) error = closed;
  if (error == 0) return true;
  // Whatever part of the frame was written is not a usable frame.
  ::unlink(name.c_str());
  *reason = std::strerror(error);
  return false;
}

int createtext(const std::string& name, std::string* reason) {
  unlink(name.c_str());
  const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) *reason = std::strerror(errno);
  return fd;
}

bool replacefile(const std::string& from, const std::string& to, std::string* reason) {
  if (rename(from.c_str(), to.c_str()) == 0) return true;
  *reason = std::strerror(errno);
  return false;
}

bool removefile(const std::string& name) { return unlink(name.c_str()) == 0; }

int syncfile(int fd) { return fsync(fd) == 0 ? 0 : errno; }

int closefile(int fd) { return ::close(fd) == 0 ? 0 : errno; }
