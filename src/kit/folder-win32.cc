// The folder on Windows. Names are UTF-8 throughout: the program's manifest
// makes UTF-8 its code page (Windows 10 1903 and later), so the C library's
// narrow calls and the ...A calls of Windows take and give UTF-8.
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "kit/folder-platform.h"

// The lock a run holds on its folder: this file, open with no sharing and
// gone when it is closed, however the process ends.
const char heldname[] = ".vantrel.lock";

namespace {

std::string lasterror() {
  char text[512] = "";
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, GetLastError(), 0, text,
                 sizeof text, nullptr);
  std::string out = text;
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == '.')) out.pop_back();
  return out;
}

entrykind kindof(const struct _stat64& st, stillstamp* stamp) {
  if (stamp) *stamp = {static_cast<uint64_t>(st.st_size), static_cast<int64_t>(st.st_mtime)};
  return (st.st_mode & _S_IFREG) ? entrykind::file : (st.st_mode & _S_IFDIR) ? entrykind::folder : entrykind::other;
}

}  // namespace

entrykind examine(const std::string& path, stillstamp* stamp) {
  // The C library finds no folder under a name that ends in a separator
  // ("photos\", as a shell completes it), unless it is a root ("C:\", "\").
  std::string name = path;
  while (name.size() > 1 && (name.back() == '\\' || name.back() == '/') && name[name.size() - 2] != ':')
    name.pop_back();
  struct _stat64 st {};
  return _stat64(name.c_str(), &st) == 0 ? kindof(st, stamp) : entrykind::none;
}

entrykind examine(int fd, stillstamp* stamp) {
  struct _stat64 st {};
  return _fstat64(fd, &st) == 0 ? kindof(st, stamp) : entrykind::none;
}

int openforreading(const std::string& name) { return _open(name.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT); }

int createnew(const std::string& name, bool text) {
  // Text writes every line break as CR LF, as Windows programs read them;
  // a frame's bytes are binary.
  return _open(name.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_NOINHERIT | (text ? _O_TEXT : _O_BINARY),
               _S_IREAD | _S_IWRITE);
}

bool enterfolder(const std::string& path, std::string* reason) {
  if (_chdir(path.c_str()) == 0) return true;
  *reason = std::strerror(errno);
  return false;
}

std::string currentfolder() {
  char* path = _getcwd(nullptr, 0);
  const std::string text = path ? path : ".";
  std::free(path);
  return text;
}

struct folderlock::platform {
  HANDLE file = INVALID_HANDLE_VALUE;
};

folderlock::folderlock() : native_(std::make_unique<platform>()) {}

folderlock::~folderlock() {
  if (native_->file != INVALID_HANDLE_VALUE) CloseHandle(native_->file);
}

folderlock::outcome folderlock::acquire(std::string* reason) {
  native_->file = CreateFileA(heldname, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (native_->file != INVALID_HANDLE_VALUE) return outcome::held;
  // Held by another run; out of handles or memory, the run cannot go on;
  // anything else (a read-only folder) leaves the run unlocked, as where a
  // file system cannot lock.
  const DWORD error = GetLastError();
  if (error == ERROR_SHARING_VIOLATION) return outcome::busy;
  if (error != ERROR_TOO_MANY_OPEN_FILES && error != ERROR_NOT_ENOUGH_MEMORY && error != ERROR_OUTOFMEMORY)
    return outcome::held;
  *reason = lasterror();
  return outcome::failed;
}

entrykind lookup(const std::string& name, stillstamp* stamp) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExA(name.c_str(), GetFileExInfoStandard, &data)) return entrykind::none;
  const DWORD attributes = data.dwFileAttributes;
  if (stamp) {
    // As _stat64 has them: the size, and seconds since 1970 (from 100 ns
    // ticks since 1601).
    const uint64_t ticks = uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32 | data.ftLastWriteTime.dwLowDateTime;
    *stamp = {uint64_t{data.nFileSizeHigh} << 32 | data.nFileSizeLow,
              static_cast<int64_t>(ticks / 10000000) - int64_t{11644473600}};
  }
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return entrykind::other;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return entrykind::folder;
  return entrykind::file;
}

bool replacefile(const std::string& from, const std::string& to, std::string* reason) {
  if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
  *reason = lasterror();
  return false;
}

bool removefile(const char* name) { return _unlink(name) == 0; }

// Every rename writes through (MOVEFILE_WRITE_THROUGH), and files are
// flushed with FlushFileBuffers (syncfile): a folder has nothing more.
bool syncfolder(std::string*) { return true; }

// No video is rendered on Windows: its scratch file and its draft are
// refused.
int scratchfile(const std::string&, std::string* reason) {
  *reason = "not on Windows";
  return -1;
}

struct draftfile::platform {};

draftfile::draftfile(const std::string& file)
    : native_(std::make_unique<platform>()), file_(file), error_("not on Windows") {}

draftfile::~draftfile() = default;

int draftfile::fd() const { return -1; }

const std::string& draftfile::error() const { return error_; }

bool draftfile::commit(std::string* reason) {
  *reason = error_;
  return false;
}

std::vector<std::string> removeleftcopies(const std::string&) { return {}; }
