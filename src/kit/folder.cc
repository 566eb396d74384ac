#include "kit/folder.h"

#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/io.h"
#include "kit/folder-platform.h"

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

int openstill(const std::string& name, uint64_t limit, stillstamp* stamp, std::string* reason,
              const std::function<void()>& afterlook) {
  auto fail = [&](int kind, const std::string& why) {
    *reason = why;
    return kind;
  };
  auto cannotopen = [&] {
    const int err = errno;
    const std::string why = std::string("could not open file (") + std::strerror(err) + ")";
    // Out of descriptors or memory: the run's fault, not the still's.
    return fail(err == EMFILE || err == ENFILE || err == ENOMEM ? runfault : stillfault, why);
  };
  // Looked at first, so that a FIFO or a device is never opened at all.
  stillstamp seen;
  switch (examine(name, &seen)) {
    case entrykind::none: return cannotopen();
    case entrykind::folder: return fail(stillfault, std::strerror(EISDIR));
    case entrykind::other: return fail(stillfault, "not a regular file");
    case entrykind::file: break;
  }
  if (afterlook) afterlook();
  const int fd = openforreading(name);
  if (fd < 0) return cannotopen();
  // Looked at again on what was opened: the name may have changed hands.
  if (examine(fd, &seen) != entrykind::file) {
    closefile(fd);
    return fail(stillfault, "not a regular file");
  }
  if (seen.size > limit) {
    closefile(fd);
    return fail(stillfault, "too large: a file of " + std::to_string(seen.size >> 20) + " MiB (at most " +
                                std::to_string(limit >> 20) + " MiB)");
  }
  *stamp = seen;
  return fd;
}

bool stillchanged(const std::string& name, const stillstamp& stamp) {
  stillstamp now;
  return examine(name, &now) != entrykind::file || now.size != stamp.size || now.written != stamp.written;
}

namespace {

// Makes way for a new file under name: a file or a link there goes. 0, or
// the errno of why it could not (none being there is no reason).
int makeway(const std::string& name) { return removefile(name) || errno == ENOENT ? 0 : errno; }

// The reason a new file could not be created: where something was in the
// way and could not go, why it could not.
std::string whynotcreated(int err, int blocked) { return std::strerror(err == EEXIST && blocked ? blocked : err); }

}  // namespace

bool writeframe(const std::string& name, const std::string& jpeg, std::string* reason) {
  const int blocked = makeway(name);
  const int fd = createnew(name, false);
  if (fd < 0) {
    *reason = whynotcreated(errno, blocked);
    return false;
  }
  int error = writeall(fd, jpeg.data(), jpeg.size());
  if (error == 0) error = syncfile(fd);
  const int closed = closefile(fd);
  if (error == 0) error = closed;
  if (error == 0) return true;
  // Whatever part of the frame was written is not a usable frame.
  removefile(name);
  *reason = std::strerror(error);
  return false;
}

int createfile(const std::string& name, bool text, std::string* reason) {
  const int blocked = makeway(name);
  const int fd = createnew(name, text);
  if (fd < 0) *reason = whynotcreated(errno, blocked);
  return fd;
}

bool readsmallfile(const std::string& name, size_t limit, std::string* text, std::string* reason) {
  // Not through a link: only a file of the folder's own.
  if (lookup(name) != entrykind::file) {
    *reason = "not a regular file";
    return false;
  }
  stillstamp seen;
  const int fd = openforreading(name);
  if (fd < 0) {
    *reason = std::strerror(errno);
    return false;
  }
  bool ok = examine(fd, &seen) == entrykind::file && seen.size <= limit;
  if (ok) {
    text->resize(static_cast<size_t>(seen.size));
    ok = readall(fd, text->data(), text->size());
    *reason = ok ? "" : "cannot read it whole";
  } else {
    *reason = "not a regular file of at most " + std::to_string(limit >> 20) + " MiB";
  }
  closefile(fd);
  return ok;
}

bool readpieces(const std::string& name, const std::function<void(const char* data, size_t size)>& each,
                std::string* reason) {
  if (lookup(name) != entrykind::file) {
    *reason = "not a regular file";
    return false;
  }
  const int fd = openforreading(name);
  if (fd < 0) {
    *reason = std::strerror(errno);
    return false;
  }
  stillstamp seen;
  bool ok = examine(fd, &seen) == entrykind::file;
  std::string piece;
  for (uint64_t left = seen.size; ok && left > 0;) {
    piece.resize(static_cast<size_t>(std::min<uint64_t>(left, iochunk)));
    ok = readall(fd, piece.data(), piece.size());
    if (ok) each(piece.data(), piece.size());
    left -= piece.size();
  }
  if (!ok) *reason = "cannot read it whole";
  closefile(fd);
  return ok;
}

bool removefile(const std::string& name) { return removefile(name.c_str()); }

std::string folderof(const std::string& file) {
  const size_t slash = file.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : file.substr(0, slash);
}
