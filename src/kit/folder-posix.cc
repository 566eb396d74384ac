#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "kit/folder-platform.h"

const char heldname[] = "";  // the folder itself is locked

namespace {

entrykind kindof(const struct stat& st, stillstamp* stamp) {
  if (stamp) *stamp = {static_cast<uint64_t>(st.st_size), int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec};
  return S_ISREG(st.st_mode) ? entrykind::file : S_ISDIR(st.st_mode) ? entrykind::folder : entrykind::other;
}

}  // namespace

entrykind examine(const std::string& path, stillstamp* stamp) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? kindof(st, stamp) : entrykind::none;
}

entrykind examine(int fd, stillstamp* stamp) {
  struct stat st {};
  return fstat(fd, &st) == 0 ? kindof(st, stamp) : entrykind::none;
}

int openforreading(const std::string& name) { return open(name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC); }

int createnew(const std::string& name, bool) {
  // No link followed: a link left under the name is an error, not a way out.
  return open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
}

bool enterfolder(const std::string& path, std::string* reason) {
  if (chdir(path.c_str()) == 0) return true;
  *reason = std::strerror(errno);
  return false;
}

std::string currentfolder() {
  char* path = getcwd(nullptr, 0);
  const std::string text = path ? path : ".";
  std::free(path);
  return text;
}

struct folderlock::platform {
  int fd = -1;
};

folderlock::folderlock() : native_(std::make_unique<platform>()) {}

folderlock::~folderlock() {
  if (native_->fd >= 0) close(native_->fd);
}

folderlock::outcome folderlock::acquire(std::string* reason) {
  native_->fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (native_->fd < 0) {
    if (errno != EMFILE && errno != ENFILE && errno != ENOMEM) return outcome::held;
    *reason = std::strerror(errno);
    return outcome::failed;
  }
  int locked;
  do locked = flock(native_->fd, LOCK_EX | LOCK_NB);
  while (locked != 0 && errno == EINTR);
  return locked != 0 && errno == EWOULDBLOCK ? outcome::busy : outcome::held;
}

entrykind lookup(const std::string& name, stillstamp* stamp) {
  struct stat st {};
  return lstat(name.c_str(), &st) == 0 ? kindof(st, stamp) : entrykind::none;
}

bool replacefile(const std::string& from, const std::string& to, std::string* reason) {
  if (rename(from.c_str(), to.c_str()) == 0) return true;
  *reason = std::strerror(errno);
  return false;
}

bool removefile(const char* name) { return unlink(name) == 0; }

bool syncfolder(std::string* reason) {
  const int fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int error = fd < 0 ? errno : fsync(fd) == 0 ? 0 : errno;
  if (fd >= 0) close(fd);
  // Some file systems cannot flush a folder (EINVAL); their renames are
  // what they are.
  if (error == 0 || error == EINVAL || error == ENOTSUP) return true;
  *reason = std::strerror(error);
  return false;
}
