#include "driver/folder.h"

#include <dirent.h>

#include <cerrno>
#include <cstring>

#include "driver/folder-platform.h"
#include "worker/wire.h"

bool isfolder(const std::string& path, std::string* reason) {
  const entrykind kind = examine(path, nullptr);
  if (kind != entrykind::folder) *reason = kind == entrykind::none ? std::strerror(errno) : "not a folder";
  return kind == entrykind::folder;
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
  while (native_->dir) {
    errno = 0;
    const dirent* entry = readdir(native_->dir);
    if (!entry) {
      if (errno != 0) error_ = std::strerror(errno);
      return false;
    }
    if (heldname[0] != '\0' && std::strcmp(entry->d_name, heldname) == 0) continue;
    name->assign(entry->d_name);
    return true;
  }
  return false;
}

const std::string& folderlisting::error() const { return error_; }

int openstill(const std::string& name, uint64_t* size, std::string* reason) {
  auto fail = [&](const std::string& why) {
    *reason = why;
    return -1;
  };
  // Looked at first, so that a FIFO or a device is never opened at all.
  uint64_t bytes = 0;
  switch (examine(name, &bytes)) {
    case entrykind::none: return fail(std::string("could not open file (") + std::strerror(errno) + ")");
    case entrykind::folder: return fail(std::strerror(EISDIR));
    case entrykind::other: return fail("not a regular file");
    case entrykind::file: break;
  }
  const int fd = openforreading(name);
  if (fd < 0) return fail(std::string("could not open file (") + std::strerror(errno) + ")");
  // Looked at again on what was opened: the name may have changed hands.
  if (examine(fd, &bytes) != entrykind::file) {
    closefile(fd);
    return fail("not a regular file");
  }
  if (bytes > stillfilelimit) {
    closefile(fd);
    return fail("too large: a file of " + std::to_string(bytes >> 20) + " MiB (at most " +
                std::to_string(stillfilelimit >> 20) + " MiB)");
  }
  *size = bytes;
  return fd;
}

bool writeframe(const std::string& name, const std::string& jpeg, std::string* reason) {
  removefile(name);
  const int fd = createnew(name, false);
  if (fd < 0) {
    *reason = std::strerror(errno);
    return false;
  }
  int error = writeall(fd, jpeg.data(), jpeg.size());
  const int closed = closefile(fd);
  if (error == 0) error = closed;
  if (error == 0) return true;
  // Whatever part of the frame was written is not a usable frame.
  removefile(name);
  *reason = std::strerror(error);
  return false;
}

int createtext(const std::string& name, std::string* reason) {
  removefile(name);
  const int fd = createnew(name, true);
  if (fd < 0) *reason = std::strerror(errno);
  return fd;
}
