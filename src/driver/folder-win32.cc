// The folder on Windows. Names are UTF-8 throughout: the program's manifest
// makes UTF-8 its code page (Windows 10 1903 and later), so the C library's
// narrow calls and the ...A calls of Windows take and give UTF-8.
#include "driver/folder.h"

#include <dirent.h>
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstring>

#include "worker/wire.h"

namespace {

// The lock a run holds on its folder: this file, open with no sharing and
// gone when it is closed, however the process ends. The listing leaves it out.
constexpr char lockfilename[] = ".vantrel.lock";

std::string lasterror() {
  char text[512] = "";
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, GetLastError(), 0, text,
                 sizeof text, nullptr);
  std::string out = text;
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == '.')) out.pop_back();
  return out;
}

}  // namespace

bool isfolder(const std::string& path, std::string* reason) {
  struct _stat64 st {};
  if (_stat64(path.c_str(), &st) != 0) {
    *reason = std::strerror(errno);
    return false;
  }
  if ((st.st_mode & _S_IFDIR) == 0) *reason = "not a folder";
  return (st.st_mode & _S_IFDIR) != 0;
}

bool enterfolder(const std::string& path, std::string* reason) {
  if (_chdir(path.c_str()) == 0) return true;
  *reason = std::strerror(errno);
  return false;
}

std::string currentfolder() {
  char* path = _getcwd(nullptr, 0);
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
  for (;;) {
    if (!native_->dir) return false;
    errno = 0;
    const dirent* entry = readdir(native_->dir);
    if (!entry) {
      if (errno != 0) error_ = std::strerror(errno);
      return false;
    }
    if (std::strcmp(entry->d_name, lockfilename) == 0) continue;
    name->assign(entry->d_name);
    return true;
  }
}

const std::string& folderlisting::error() const { return error_; }

struct folderlock::platform {
  HANDLE file = INVALID_HANDLE_VALUE;
};

folderlock::folderlock() : native_(std::make_unique<platform>()) {}

folderlock::~folderlock() {
  if (native_->file != INVALID_HANDLE_VALUE) CloseHandle(native_->file);
}

bool folderlock::acquire() {
  native_->file = CreateFileA(lockfilename, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  // Held by another run; anything else (a read-only folder) leaves the run
  // unlocked, as where a file system cannot lock.
  return native_->file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION;
}

entrykind lookup(const std::string& name) {
  const DWORD attributes = GetFileAttributesA(name.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return entrykind::none;
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return entrykind::other;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return entrykind::folder;
  return entrykind::file;
}

int openstill(const std::string& name, uint64_t* size, std::string* reason) {
  auto fail = [&](const std::string& why) {
    *reason = why;
    return -1;
  };
  struct _stat64 st {};
  if (_stat64(name.c_str(), &st) != 0)
    return fail(std::string("could not open file (") + std::strerror(errno) + ")");
  if (st.st_mode & _S_IFDIR) return fail(std::strerror(EISDIR));
  if ((st.st_mode & _S_IFREG) == 0) return fail("not a regular file");
  const int fd = _open(name.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
  if (fd < 0) return fail(std::string("could not open file (") + std::strerror(errno) + ")");
  if (_fstat64(fd, &st) != 0 || (st.st_mode & _S_IFREG) == 0) {
    _close(fd);
    return fail("not a regular file");
  }
  if (static_cast<uint64_t>(st.st_size) > stillfilelimit) {
    _close(fd);
    return fail("too large: a file of " + std::to_string(st.st_size >> 20) + " MiB (at most " +
                std::to_string(stillfilelimit >> 20) + " MiB)");
  }
  *size = static_cast<uint64_t>(st.st_size);
  return fd;
}

bool writeframe(const std::string& name, const std::string& jpeg, std::string* reason) {
  _unlink(name.c_str());
  // Binary: a frame's bytes are not text.
  const int fd = _open(name.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
  if (fd < 0) {
    *reason = std::strerror(errno);
    return false;
  }
  int error = writeall(fd, jpeg.data(), jpeg.size());
  const int closed = closefile(fd);
  if (error == 0) error = closed;
  if (error == 0) return true;
  _unlink(name.c_str());
  *reason = std::strerror(error);
  return false;
}

int createtext(const std::string& name, std::string* reason) {
  _unlink(name.c_str());
  // Text: every line break is written as CR LF, as Windows programs read them.
  const int fd = _open(name.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_TEXT | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
  if (fd < 0) *reason = std::strerror(errno);
  return fd;
}

bool replacefile(const std::string& from, const std::string& to, std::string* reason) {
  if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
  *reason = lasterror();
  return false;
}

bool removefile(const std::string& name) { return _unlink(name.c_str()) == 0; }

int syncfile(int fd) { return _commit(fd) == 0 ? 0 : errno; }

int closefile(int fd) { return _close(fd) == 0 ? 0 : errno; }
