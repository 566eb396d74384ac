#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "kit/folder-platform.h"
#include "kit/names.h"

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

namespace {

// Flushes a folder's entries to the disk.
bool flushfolder(const std::string& path, std::string* reason) {
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int error = fd < 0 ? errno : fsync(fd) == 0 ? 0 : errno;
  if (fd >= 0) close(fd);
  // Some file systems cannot flush a folder (EINVAL); their renames are
  // what they are.
  if (error == 0 || error == EINVAL || error == ENOTSUP) return true;
  *reason = std::strerror(error);
  return false;
}

// A path's last part.
std::string lastpart(const std::string& file) { return file.substr(file.rfind('/') + 1); }

}  // namespace

bool syncfolder(std::string* reason) { return flushfolder(".", reason); }

struct draftfile::platform {
  int fd = -1;
  std::string name;  // the temporary copy's, once it has one
};

int scratchfile(const std::string& folder, std::string* reason) {
  int fd = -1;
#if defined(O_TMPFILE)
  fd = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
#endif
  if (fd < 0) {
    // A file system without files of no name: one, named for a moment.
    std::string name = folder + "/.vantrel-scratch.XXXXXX";
    fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd >= 0) unlink(name.c_str());
  }
  if (fd < 0) *reason = std::strerror(errno);
  return fd;
}

draftfile::draftfile(const std::string& file) : native_(std::make_unique<platform>()), file_(file) {
  int& fd = native_->fd;
#if defined(O_TMPFILE)
  fd = open(folderof(file).c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
#endif
  for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
    const std::string name = folderof(file) + "/" + copyname(lastpart(file), getpid(), attempt);
    fd = open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0)
      native_->name = name;
    else if (errno != EEXIST)
      break;
  }
  if (fd < 0) {
    error_ = std::strerror(errno);
    return;
  }
  // Held for the process's life: removeleftcopies passes a held copy by.
  flock(fd, LOCK_EX | LOCK_NB);
}

draftfile::~draftfile() {
  // The name first: a copy under its name is never left unheld.
  if (!native_->name.empty()) unlink(native_->name.c_str());
  if (native_->fd >= 0) close(native_->fd);
}

int draftfile::fd() const { return native_->fd; }

const std::string& draftfile::error() const { return error_; }

bool draftfile::commit(std::string* reason) {
  auto fail = [&] {
    *reason = std::strerror(errno);
    return false;
  };
  if (fsync(native_->fd) != 0) return fail();
  // A file of no name gets the temporary copy's, to be renamed from.
  const std::string self = "/proc/self/fd/" + std::to_string(native_->fd);
  for (int attempt = 0; native_->name.empty() && attempt < 100; ++attempt) {
    const std::string name = folderof(file_) + "/" + copyname(lastpart(file_), getpid(), attempt);
    if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0)
      native_->name = name;
    else if (errno != EEXIST)
      return fail();
  }
  if (native_->name.empty()) return fail();
  if (rename(native_->name.c_str(), file_.c_str()) != 0) return fail();
  native_->name.clear();
  if (flushfolder(folderof(file_), reason)) return true;
  *reason = "its folder cannot be flushed to the disk: " + *reason;
  return false;
}

std::vector<std::string> removeleftcopies(const std::string& file) {
  std::vector<std::string> removed;
  const std::string folder = folderof(file), name = lastpart(file);
  DIR* dir = opendir(folder.c_str());
  if (!dir) return removed;
  while (const dirent* entry = readdir(dir)) {
    if (!iscopyname(entry->d_name, name)) continue;
    const std::string path = folder + "/" + entry->d_name;
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat st {};
    // Held by no process: its run is gone.
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && flock(fd, LOCK_EX | LOCK_NB) == 0 && unlink(path.c_str()) == 0)
      removed.push_back(entry->d_name);
    close(fd);
  }
  closedir(dir);
  return removed;
}
